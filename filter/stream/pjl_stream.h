// Beginning and end of the printer stream: the preamble with the PJL job
// header, and the PJL trailer.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstddef>
#include <string>

#include "printer_port.h"
#include "wintypes.h"

// Fixed command strings. ESC is 0x1B; UEL is the 9-byte universal exit
// ESC "%-12345X". The terminating zero is never written.
inline constexpr char UELStr[] = "\x1b%-12345X";
inline constexpr char EndOfJobStr[] =
    "\x1b"
    "E"
    "\x1b%-12345X"
    "@PJL\r\n";
inline constexpr char DrvCancelStr[] =
    "\x1b"
    "E"
    "\x1b%-12345X"
    "@PJL CANCEL\r\n@PJL EOJ\r\n"
    "\x1b%-12345X";
inline constexpr char DrvZeroJobStr[] =
    "\x1b"
    "E"
    "\x1b%-12345X"
    "@PJL SHORT\r\n@PJL SET TIMEOUT=5\r\n@PJL EOJ\r\n"
    "\x1b%-12345X";
inline constexpr char DrvCancelStr2[] =
    "\x1b"
    "E"
    "\x1b%-12345X"
    "@PJL HOST_CANCEL\r\n@PJL CANCEL\r\n@PJL EOJ\r\n"
    "\x1b%-12345X";
static_assert(sizeof UELStr - 1 == 9 && sizeof EndOfJobStr - 1 == 17 && sizeof DrvCancelStr - 1 == 43);
static_assert(sizeof DrvZeroJobStr - 1 == 62 && sizeof DrvCancelStr2 - 1 == 61);

inline constexpr std::size_t kPreambleSize = 679;   // cancel, short job, 512 zeros, short job
inline constexpr std::size_t kPjlHeaderBuf = 2048;  // job header text, terminator included
inline constexpr std::size_t kPjlTrailerBuf = 1024;
inline constexpr char kPjlEnterLanguage[] = "@PJL ENTER LANGUAGE=KRGDI\r\n";
inline constexpr char kPjlAlignComment[] = "@PJL COMMENT DATA ALIGNMENT 512\r\n";

// The job's authorization values (BCP Mode 0), as read from its
// authorization file.
inline constexpr int kJsonSlots = 7;        // AUTHCODE ... CHECKAUTHCODEURL
inline constexpr int kJsonMaxTokens = 50;   // strings kept from the file
inline constexpr int kJsonTokenSize = 128;  // bytes per string, terminator included

// Slots of the values in outputJsonInfo.
enum JsonSlot {
  JSON_AUTHCODE,
  JSON_USERNAME,
  JSON_ACCTPASS,
  JSON_DUPLEX,
  JSON_DUPLEXTYPE,
  JSON_NOTIFYURL,
  JSON_CHECKAUTHCODEURL
};

// The values a raster header slot takes in the PPD's choices for it;
// empty (lo > hi) when no choice sets the slot.
struct SlotRange {
  int lo = 1, hi = 0;
  bool Empty() const { return lo > hi; }
};
// What the PPD lets the job header take from the timeout (cupsInteger[6])
// and density (cupsInteger[11]) slots: a value outside is brought to the
// nearest end, and a slot no choice sets counts as 0.
struct PjlSlotRanges {
  SlotRange timeout, density;
};

// What the authorization file (BCP Mode 0) decides about two-sided
// printing, once, before the job header is written: its DUPLEX and
// DUPLEXTYPE values, when not empty, are sent instead of the first page's,
// and the job prints two-sided only when DUPLEX is "ON" (an empty value
// included: then one-sided).
struct DuplexOverride {
  bool active = false;         // BCP Mode 0: the file decides
  bool duplex = false;         // the job's duplex flag from then on
  std::string duplexText;      // DUPLEX line value; empty: from the page
  std::string duplexTypeText;  // DUPLEXTYPE line value; empty: from the page
};
// The decision of an authorization file's values (kJsonMaxTokens strings,
// see JsonSlot).
DuplexOverride DuplexFromAuthorization(const char (*json)[kJsonTokenSize]);

// Everything the job header says, as the job knows it when its first page
// has been read. Strings are never NULL.
struct JobHeader {
  const cups_page_header2_t* page = nullptr;  // the first page's header
  int numUP = 1;                              // traced only
  const char* PrinterName = "";               // queue (argv[0])
  const char* szUserName = "";
  const char* szDocName = "";
  const char* PrinterLocation = "";  // the destination's "printer-location"
  const char* PrinterPortName = "";  // the queue's device URI
  const char* DriverVersion = "";
  const char* AccountName = "";  // from the accounting dialog
  const char* AccountPwd = "";
  const char (*json)[kJsonTokenSize] = nullptr;  // authorization values (BCP Mode 0), or NULL
  DuplexOverride duplexOverride;
  BYTE Feature[2] = {};  // capability bytes
  DWORD DriverFeature = 0;
  bool filterCollates = false;      // the filter makes the collated copies: COPIES=1
  bool printerMakesCopies = false;  // COPIES=NumCopies whatever the collation
  PjlSlotRanges ranges;
};

// Writes the 679-byte preamble and the PJL job header. Every setting line
// is written; when the header would outgrow its buffer the free texts
// (comments, JOBNAME) are shortened, and only when that is not enough the
// account values, with a warning.
void PJL_WriteStartJobCmd(PrinterPort& port, const JobHeader& job);

// Writes the end of job and the trailer (with the cancel commands when
// cancelled), lengthened by a comment line when the stream would otherwise
// end on a multiple of 512 bytes (PrinterPort::BytesSent).
void PJL_WriteCloseJobCmd(PrinterPort& port, bool cancelled);
