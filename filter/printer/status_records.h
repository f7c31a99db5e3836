// Records exchanged byte for byte with the status-monitor library and kept in
// the capability file: packed, little-endian, offsets fixed by the library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "wintypes.h"

#pragma pack(push, 1)

// One installed printer as the status library lists it (1280 bytes).
struct PrinterAttribute {
  char PrinterName[128];  // CUPS queue name
  char PortName[128];     // printer port; "usb" in it marks a USB printer
  std::int32_t DeviceComponentID;
  char Manufacturer[64];
  std::int32_t MaxMediaWidth;   // points
  std::int32_t MaxMediaHeight;  // points
  std::int32_t PrinterState;
  std::int32_t unused1;
  char DriverVersion[32];
  BYTE unused2[8];
  DWORD DriverFeature;  // PPD feature mask as the library knows it
  BYTE reserved[896];
};

// The printer's capability bytes and consumable serials (1026 bytes); also
// the exact content of the capability file in /tmp.
struct PrinterCapability {
  BYTE Feature[2];     // capability bits, see features.h
  char DrumSN[4][41];  // NUL-terminated serials
  char TonerSN[4][41];
  char DeveloperSN[4][41];
  std::int32_t DrumNum;  // valid entries in DrumSN
  std::int32_t TonerNum;
  std::int32_t DeveloperNum;
  BYTE Reserved[520];
};

// Printer errors as the library reports them (3084 bytes).
struct pErrorInfo {
  std::int32_t ErrNum;  // valid entries in code
  std::int32_t code[512];
  std::int32_t usbPrnStatus;
  std::int32_t errNumCheck;
  std::int32_t CancelJob;
  BYTE reserved[1020];
};

enum enumUsageRemain {
  USAGE_REMAIN_NONE = 0,
  USAGE_REMAIN_DUPLEX = 1,
  USAGE_REMAIN_SORTER = 2,
  USAGE_REMAIN_FUSER = 3,
  USAGE_REMAIN_CARTRIDGE = 4,
  USAGE_REMAIN_TONER_COLLECTOR = 5,
  USAGE_REMAIN_DRUM = 6,
  USAGE_REMAIN_QUOTA = 7,
  USAGE_REMAIN_DEADLINE = 8,
  USAGE_REMAIN_REDCARTRIDGE = 9,
  USAGE_REMAIN_REDDRUM = 10,
  USAGE_REMAIN_MTONER = 11,
  USAGE_REMAIN_MDRUM = 12,
  USAGE_REMAIN_CTONER = 13,
  USAGE_REMAIN_CDRUM = 14,
  USAGE_REMAIN_NUM = 20,
};

// Consumable levels (1184 bytes), indexed by enumUsageRemain.
struct SuppliesInfo {
  std::int64_t UsageRemain[USAGE_REMAIN_NUM];
  BYTE reserved[1024];
};

struct SMMachineCap {
  std::int32_t supportNone;
  std::int32_t supportQuota;
  std::int32_t supportDeadline;
  std::int32_t supportFuser;
};

// One printer as the status monitor sees it (7892 bytes).
struct SMPrinterInfo {
  char PrinterName[256];
  char Port[256];
  std::int32_t modelID;
  std::int32_t EnableQuery;
  pErrorInfo status;
  pErrorInfo status_old;
  SuppliesInfo supplies;
  std::int32_t SnmpV2Check;
  SMMachineCap capability;
};

// The record shared with the status-monitor program (8416 bytes).
struct SMCancelJobStruc {
  std::int32_t JobID;
  std::int32_t CancelReady;
  std::int32_t CancelSignal;  // nonzero: cancel pressed on the printer or in the monitor
  SMPrinterInfo PInfo;
  char Title[256];
  char Message[256];
};

// The shared record with the accounting dialog's fields (10526 bytes).
struct SMMemDataEx {
  SMCancelJobStruc base;
  std::int32_t AccDialogType;
  char AccID[29];
  char AccPwd[29];
  BYTE Reserved[2048];
};

// First argument of the memory entries.
enum { SDK_Read = 0, SDK_Write = 1 };
// Second argument of the memory entries: the item read or written (the
// library knows more; these are the ones the filter uses).
enum {
  Read_None = 0,
  Write_JobID = 1,
  Write_CancelReady = 2,
  Write_Message = 6,  // a text the monitor shows for the printer
  Write_AccDiaType = 8,
};

// The one function code of SendPrinterControl the filter sends.
enum PRINT_FUNC { PRINT_QUERY_CAPABILITY = 13 };

#pragma pack(pop)

static_assert(sizeof(PrinterAttribute) == 1280);
static_assert(offsetof(PrinterAttribute, PortName) == 128);
static_assert(offsetof(PrinterAttribute, DeviceComponentID) == 256);
static_assert(offsetof(PrinterAttribute, Manufacturer) == 260);
static_assert(offsetof(PrinterAttribute, MaxMediaWidth) == 324);
static_assert(offsetof(PrinterAttribute, PrinterState) == 332);
static_assert(offsetof(PrinterAttribute, DriverVersion) == 340);
static_assert(offsetof(PrinterAttribute, DriverFeature) == 380);
static_assert(offsetof(PrinterAttribute, reserved) == 384);

static_assert(sizeof(PrinterCapability) == 1026);
static_assert(offsetof(PrinterCapability, DrumSN) == 2);
static_assert(offsetof(PrinterCapability, TonerSN) == 166);
static_assert(offsetof(PrinterCapability, DeveloperSN) == 330);
static_assert(offsetof(PrinterCapability, DrumNum) == 494);
static_assert(offsetof(PrinterCapability, TonerNum) == 498);
static_assert(offsetof(PrinterCapability, DeveloperNum) == 502);
static_assert(offsetof(PrinterCapability, Reserved) == 506);

static_assert(sizeof(pErrorInfo) == 3084);
static_assert(offsetof(pErrorInfo, code) == 4);
static_assert(offsetof(pErrorInfo, usbPrnStatus) == 2052);
static_assert(offsetof(pErrorInfo, errNumCheck) == 2056);
static_assert(offsetof(pErrorInfo, CancelJob) == 2060);
static_assert(offsetof(pErrorInfo, reserved) == 2064);

static_assert(sizeof(SuppliesInfo) == 1184);
static_assert(offsetof(SuppliesInfo, reserved) == 160);
static_assert(sizeof(SMMachineCap) == 16);

static_assert(sizeof(SMPrinterInfo) == 7892);
static_assert(offsetof(SMPrinterInfo, Port) == 256);
static_assert(offsetof(SMPrinterInfo, modelID) == 512);
static_assert(offsetof(SMPrinterInfo, EnableQuery) == 516);
static_assert(offsetof(SMPrinterInfo, status) == 520);
static_assert(offsetof(SMPrinterInfo, status_old) == 3604);
static_assert(offsetof(SMPrinterInfo, supplies) == 6688);
static_assert(offsetof(SMPrinterInfo, SnmpV2Check) == 7872);
static_assert(offsetof(SMPrinterInfo, capability) == 7876);

static_assert(sizeof(SMCancelJobStruc) == 8416);
static_assert(offsetof(SMCancelJobStruc, CancelReady) == 4);
static_assert(offsetof(SMCancelJobStruc, CancelSignal) == 8);
static_assert(offsetof(SMCancelJobStruc, PInfo) == 12);
static_assert(offsetof(SMCancelJobStruc, Title) == 7904);
static_assert(offsetof(SMCancelJobStruc, Message) == 8160);

static_assert(sizeof(SMMemDataEx) == 10526);
static_assert(offsetof(SMMemDataEx, AccDialogType) == 8416);
static_assert(offsetof(SMMemDataEx, AccID) == 8420);
static_assert(offsetof(SMMemDataEx, AccPwd) == 8449);
static_assert(offsetof(SMMemDataEx, Reserved) == 8478);
// The record is copied to and from files as raw bytes: only a little-endian
// host gives the file its defined layout.
static_assert(std::endian::native == std::endian::little);
