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
// The record is copied to and from files as raw bytes: only a little-endian
// host gives the file its defined layout.
static_assert(std::endian::native == std::endian::little);
