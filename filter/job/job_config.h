// Job configuration from the PPD, the job options, the CUPS destination and
// the printer's capability bytes, with the trace lines that record it.
#pragma once

#include <cups/cups.h>

#include "job_context.h"

// Reads "MaxMediaWidth" ... "DriverFeature" from the PPD (defaults without
// one), with the PPD's JCL prefix and the choices of the timeout and
// density slots.
void ReadPpdAttributes(ppd_file_t* ppd, JobConfig& config);
// Traces the DriverFeature mask and each bit between dash lines.
void TraceDriverFeature(DWORD DriverFeature);
// Parses argv[5], scans "number-up" and "Collate", marks the PPD.
void ScanJobOptions(JobConfig& config, JobOptions& options, ppd_file_t* ppd, const char* optionText);
// Finds the queue among the destinations: device URI and "SaveFileBackend".
void ScanDestinations(JobConfig& config, const char* queue, cups_dest_t* dests, int num_dests);
