// PNG documents decoded here rather than by the framework, whose decoder
// retries a failed read for ever and so holds the printer on a damaged file.
#pragma once

#include <pappl/pappl.h>

// Registers the PNG filter to the driver's format, which the framework
// prefers to its own to PWG raster.
void AddImageFilters(pappl_system_t* system);
