// The per-printer job record: one CSV line per job.
#pragma once

#include "job_context.h"
#include "wintypes.h"

struct LOGRecord {
  char Index[9];
  char Timestamp[33];  // "epoch,Y-M-D h:m:s"
  char LogType[5];     // "1"
  char JobType[33];    // "PRINT"
  char Name[129];      // user "-" title (after its last '/')
  char BigSizePages[17];
  char SmallSizePages[17];
  char JobStatus[33];  // "Completed" or "Canceled"
  char FWVersion[17];
  char DrumSN[33];
  char TonerSN[33];
  char DeveloperSN[33];
};

// Appends one line for RecJob to the CSV file (opened without following a
// link, mode 0666 set on the open file); a field holding a comma or a
// double quote is quoted, its quotes doubled, and control characters are
// written as visible escapes, so every record is one line of 14 fields.
void WriteLog(const char* LogPath, const LOGRecord* RecJob);
// Fills the record of a finished job and appends it (teardown), when a
// printer is selected.
void WriteJobRecord(const JobConfig& config, const PrinterLink& printer, const PageLoopState& loop,
                    bool cancelled);
