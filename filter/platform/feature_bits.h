// Bit masks of the PPD feature word (DriverFeature) and of the printer's two
// capability bytes (PrinterCapability::Feature). Each is named after the
// trace line under which the filter reports it.
#pragma once

#include "wintypes.h"

// DriverFeature (PPD attribute "DriverFeature", a decimal DWORD).
inline constexpr DWORD DF_DISABLE_COMPRESS = 0x00000001;
inline constexpr DWORD DF_BORDER_FILTER = 0x00000008;
inline constexpr DWORD DF_BCP_MODE0 = 0x00000010;
inline constexpr DWORD DF_BCP_MODE1 = 0x00000020;
inline constexpr DWORD DF_ABORT_ON_ERROR = 0x00000040;
inline constexpr DWORD DF_DISCONNECT_DETECT = 0x00000080;
inline constexpr DWORD DF_DISABLE_STATUS_MONITOR = 0x00000100;
inline constexpr DWORD DF_HIDDEN_WATERMARK = 0x00000200;
inline constexpr DWORD DF_HALFTONE_RED = 0x00000400;
inline constexpr DWORD DF_IMPR = 0x00000800;
inline constexpr DWORD DF_CMYK_SEPARATE_COMPRESS = 0x00001000;
inline constexpr DWORD DF_ZQ3_CHIP = 0x01000000;
inline constexpr DWORD DF_A3 = 0x02000000;
inline constexpr DWORD DF_VORDAN = 0x04000000;

// Feature[0]
inline constexpr BYTE F0_JBIG = 0x01;
inline constexpr BYTE F0_STORAGE_JOB = 0x02;
inline constexpr BYTE F0_QTY = 0x04;
inline constexpr BYTE F0_LSU = 0x08;
inline constexpr BYTE F0_CHECKSUM = 0x10;
inline constexpr BYTE F0_IMPR = 0x20;
inline constexpr BYTE F0_RAW_DATA = 0x40;
inline constexpr BYTE F0_TWO_BIT_600 = 0x80;

// Feature[1]
inline constexpr BYTE F1_SSL = 0x01;
inline constexpr BYTE F1_SW_TONERSAVE = 0x02;
inline constexpr BYTE F1_600_RET = 0x04;
inline constexpr BYTE F1_ACCOUNTING = 0x08;
inline constexpr BYTE F1_S3 = 0x10;
inline constexpr BYTE F1_1200X1200 = 0x20;
inline constexpr BYTE F1_DISABLE_AUTO = 0x40;
