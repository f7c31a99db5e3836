// Beginning and end of the printer stream: the preamble with the PJL job
// header, and the PJL trailer.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <cstddef>

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

// Writes the 679-byte preamble and the PJL job header for the first page's
// header and the job's options; in BCP Mode 0 takes the authorization
// values from json (kJsonMaxTokens strings, see JsonSlot) and sets
// inheader->Duplex from its DUPLEX value. bPrinterMakesCopies asks for
// COPIES=NumCopies whatever the collation (the filter cannot make them).
// Every setting line is written; when the header would outgrow its buffer
// the free texts (comments, JOBNAME) are shortened, and only when that is
// not enough the account values, with a warning.
BOOL PJL_WriteStartJobCmd(PrinterPort& port, cups_page_header2_t* inheader, int numUP,
                          const char* PrinterName, const char* szUserName, const char* szDocName,
                          const char (*json)[kJsonTokenSize], BOOL bDriverDoCollate,
                          const char* PrinterLocation, const BYTE* Feature, DWORD DriverFeature,
                          const char* DriverVersion, const char* AccountName, const char* AccountPwd,
                          const char* PrinterPortName, BOOL bPrinterMakesCopies, const PjlSlotRanges& ranges);

// Writes the end of job and the trailer (with the cancel commands when
// cancel is nonzero), lengthened by a comment line when the stream would
// otherwise end on a multiple of 512 bytes (PrinterPort::BytesSent).
void PJL_WriteCloseJobCmd(PrinterPort& port, int cancel);
