// The printer's two capability bytes: live from the status library (three
// tries), else from the capability file the last live query left in /tmp,
// then adjusted by the PPD's feature bits.
#pragma once

#include <cstdio>

#include "status_monitor.h"
#include "status_records.h"
#include "wintypes.h"

// Fills cap for the queue. A capability file that cannot be trusted is
// ignored with a "WARNING:" line on err.
void ObtainCapability(const StatusLibrary& lib, const PrinterAttribute& selected, MonitorUse use,
                      DWORD DriverFeature, const char* queue, PrinterCapability& cap, FILE* err);

// Traces the two capability bytes bit by bit between dash lines.
void TraceFeature(const BYTE Feature[2]);
