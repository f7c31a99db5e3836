// PNG and JPEG documents decoded here rather than by the framework, whose
// PNG decoder retries a failed read for ever and so holds the printer on a
// damaged file, and whose JPEG decoder leaves the job without a message.
#pragma once

#include <pappl/pappl.h>

// Registers the PNG and JPEG filters to the driver's format, which the
// framework prefers to its own to PWG raster.
void AddImageFilters(pappl_system_t* system);
