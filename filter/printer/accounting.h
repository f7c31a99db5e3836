// The accounting dialog the status-monitor program shows for a job: account
// ID, and for dialog type 2 a password, before the job header is written.
#pragma once

#include <chrono>
#include <cstddef>

#include "job_events.h"
#include "status_monitor.h"
#include "wintypes.h"

inline constexpr std::chrono::milliseconds kAccountingPoll{3000};

// How long a job waits for the dialog's answer. The library may answer
// without the monitor program, so the dialog is always asked for; but with
// no program (or no printer) behind it no answer may ever come, and a job
// must not hold the queue for good.
inline constexpr std::chrono::seconds kAccountingWait{300};

// The wait of this job: kAccountingWait, or the whole seconds (1 or more)
// in the environment variable RASTERTOPWG2_ACCOUNT_WAIT, which only the
// tests set.
std::chrono::milliseconds AccountingWait();

// Asks the monitor for the dialog of `type` (2: ID and password, any other
// value: ID only) and waits up to `limit` for the answer, which goes to
// accid and accpw (buffers of accSize bytes), with an "INFO:" line while it
// waits. The wait also ends when the job is cancelled; the buffers then
// keep what they held. FALSE only when the time ran out without an answer.
BOOL AccountingDlg(const StatusLibrary& lib, JobEvents& events, const char* PrinterName, int type,
                   char* accid, char* accpw, std::size_t accSize,
                   std::chrono::milliseconds poll = kAccountingPoll,
                   std::chrono::milliseconds limit = kAccountingWait);
