// The job start on the first page: printer location, authorization tool
// (BCP Mode 0), copy file, collation, spool file, preamble and PJL header,
// JCL prefix and the size of the page ring.
#pragma once

#include <cups/raster.h>

#include "job_context.h"

// Starts the job for its first page's header, whose Duplex the
// authorization file may change. The printer port counts what it writes.
void StartJob(FilterJob& job, cups_page_header2_t& inheader);
