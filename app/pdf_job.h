// Documents other than rasters: PDF through Ghostscript into the engine,
// and printer streams for these printers passed to the device unchanged.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <string>
#include <vector>

// The MIME type of a printer stream for these printers, as the PPDs'
// filter line names it.
inline constexpr char kPrinterStreamType[] = "application/vnd.printer-gdi";

// Registers the PDF and printer-stream filters and the typing callback.
void AddDocumentFilters(pappl_system_t* system);

// The typing callback: kPrinterStreamType for a document that starts as
// the engine's printer stream does (its preamble, or UEL and "@PJL") and
// enters the printer's language in its first bytes; else nullptr.
const char* TypeOfDocument(const unsigned char* header, std::size_t size, void* data);

// How long Ghostscript may take over one document.
inline constexpr int kGhostscriptMinutes = 10;

// Ghostscript's arguments for rendering a PDF as 8-bit gray (or RGB) pages
// of width x height points at xdpi x ydpi, to standard output.
std::vector<std::string> GhostscriptArgs(const std::string& pdf, bool rgb, unsigned xdpi, unsigned ydpi,
                                         float width, float height);
