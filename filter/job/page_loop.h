// The job run after start-up: the page loop with its scale ratios, filler
// pages and cancel checks, the end of input, and the ordered teardown.
#pragma once

#include "job_context.h"

// Works out the current page's ratio (oversized custom size, size change
// against the first page, fit to paper, user scale) and stores it in
// inheader.cupsInteger[7]; may change inheader.PageSize and the job's
// maximum media size.
void ComputePageRatio(FilterJob& job);

// Counts the current page as larger than A4 or not.
void CountPageSize(FilterJob& job);

// Runs the page loop, end of input and teardown; returns the exit status.
int RunJobPages(FilterJob& job);

// The exit status of a finished job: 1 when a page it had did not reach the
// printer, unless the job was cancelled first; else 0.
int JobExitStatus(FilterJob& job);

// Why the filter refuses a page header as the raster reader delivers it,
// before anything is allocated from it; nullptr when it takes the page.
// Whoever reads raster headers ahead of the filter asks the same.
const char* RefusedPageHeader(cups_page_header2_t header);
