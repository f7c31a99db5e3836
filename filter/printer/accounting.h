// The accounting dialog the status-monitor program shows for a job: account
// ID, and for dialog type 2 a password, before the job header is written.
#pragma once

#include <chrono>
#include <cstddef>

#include "job_events.h"
#include "status_monitor.h"
#include "wintypes.h"

inline constexpr std::chrono::milliseconds kAccountingPoll{3000};

// Asks the monitor for the dialog of `type` (2: ID and password, any other
// value: ID only) and waits for the answer, which goes to accid and accpw
// (buffers of accSize bytes). The wait also ends when the job is cancelled;
// the buffers then keep what they held. Always TRUE.
BOOL AccountingDlg(const StatusLibrary& lib, JobEvents& events, const char* PrinterName, int type,
                   char* accid, char* accpw, std::size_t accSize,
                   std::chrono::milliseconds poll = kAccountingPoll);
