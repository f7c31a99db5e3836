// The job run after start-up: the page loop with its scale ratios, filler
// pages and cancel checks, the end of input, and the ordered teardown.
#pragma once

#include "job_context.h"

// What a page's scale depends on besides its own header.
struct PageRatioInputs {
  const PaperTable& paperTable;
  DWORD DriverFeature;  // the A3 bit
  DWORD cupsLEF;
  float MaxMediaWidth;   // points, the job's maximum media so far
  float MaxMediaHeight;  // points
};

// The scale of one page, for its header and the rest of the job.
struct PageRatio {
  unsigned ratio = 100;       // percent, for cupsInteger[7]
  unsigned PageSize[2] = {};  // the page's size, the paper's after fit to paper
  bool maxMediaA4 = false;    // an oversized custom size was fitted: A4 is the maximum from now on
};

// The page's ratio (oversized custom size, size change against the
// reference page, fit to paper, user scale). reference is the reference
// header, NULL for the job's first page.
PageRatio ComputePageRatio(const cups_page_header2_t& page, const cups_page_header2_t* reference,
                           const PageRatioInputs& in);

// Counts the current page as larger than A4 or not.
void CountPageSize(PageLoopState& loop);

// Runs the page loop, end of input and teardown; returns the exit status.
int RunJobPages(FilterJob& job);

// The exit status of a finished job: 1 when a page it had did not reach the
// printer, unless the job was cancelled first; else 0.
int JobExitStatus(FilterJob& job);

// Why the filter refuses a page header as the raster reader delivers it,
// before anything is allocated from it; nullptr when it takes the page.
// Whoever reads raster headers ahead of the filter asks the same.
const char* RefusedPageHeader(cups_page_header2_t header);
