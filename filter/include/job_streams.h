// The job's two streams: printer data (standard output under CUPS) and
// messages for the scheduler (standard error). A job run in process, as by
// the tests, points them elsewhere.
#pragma once

#include <cstdio>

FILE* JobOut();
FILE* JobErr();
void SetJobStreams(FILE* out, FILE* err);
