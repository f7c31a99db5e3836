// Job authorization data: the external authorization tool that writes a
// small JSON object for the job, and the reader that takes seven string
// members from it for the PJL job header.
#pragma once

#include <string>

#include "job_events.h"
#include "pjl_stream.h"
#include "wintypes.h"

// Creates the job's authorization file, empty and owner-only, as
// "//tmp//<title>_job<id>_XXXXXX.txt" with the X replaced so that the name is
// new (at most 127 characters before the fixed path root): '/' and control
// characters of the title and id become '_' and an over-long title is
// shortened, so it is always one file directly in /tmp. Returns its name,
// or "" when it cannot be made.
std::string CreateAuthFile(const char* title, const char* jobId);

// Runs the authorization tool /opt/Pravo/ATM with "-f", jsonFile, "-n" and
// title as four separate arguments (no shell) and waits for it to end; the
// tool writes into the file CreateAuthFile made. The tool's standard
// input and output are /dev/null so it can touch neither the raster input nor
// the printer stream. A cancel of the job ends the wait and the tool
// (SIGTERM, SIGKILL two seconds later). A tool that cannot be started only
// leaves the file empty.
void RunAuthorizationTool(const char* jsonFile, const char* title, JobEvents& events);

// Reads the authorization file through OpenTrustedForReading (a planted
// FIFO, link or another user's file is not read): the string tokens of its
// first JSON object, paired key then value; the values of the seven keys (any
// letter case) go to outputJsonInfo[0..6]. Slots without a key are left as
// they are. FALSE when the file cannot be read or the object does not end.
BOOL ParseJSON(const char* szJsonFileName, char outputJsonInfo[][kJsonTokenSize]);
