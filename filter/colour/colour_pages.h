// Colour pages: a four-colour page (RGB through the colour plug-in, or a
// CMYK raster) becomes four 8-bit planes K, Y, M, C; a black-and-red page
// becomes a black and a red gray plane. Planes are stacked in the page
// buffer, lines of page_width bytes, 255 no colorant and 0 full colorant as
// on a gray page, so halftoning and the inversion after it leave 1 = toner
// in every plane. Also the bitmap file writer of the CMYK page dump.
#pragma once

#include <cups/raster.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "colour_mode.h"
#include "page_buffer.h"
#include "page_slot.h"
#include "shims.h"
#include "wintypes.h"

class ColourPlugin;

// How a page read with a header is separated.
enum class Separation {
  None,        // one gray plane (or none needed)
  RgbToCmyk,   // RGB on a four-colour printer: through the plug-in
  CmykRaster,  // 32-bit CMYK raster on a four-colour printer
  BlackRed,    // RGB on a black-and-red printer
};
Separation SeparationFor(const cups_page_header2_t& h, ColourMode mode);
// Planes a separation leaves in the page buffer.
DWORD SeparationPlanes(Separation s);

// Separates one page line by line into its planes, so that a page can be
// separated while it is read and the colour page itself is never held.
// The slot's page_width and page_height give the planes' size; the slot's
// buffer is replaced only by Install.
class PageSeparation {
 public:
  // lineByLine: each line's planes replace the last one's (PlaneLine),
  // for a caller that screens them as they come; no page is held.
  PageSeparation(PageSlot* slot, Separation kind, bool lineByLine = false);
  ~PageSeparation();
  PageSeparation(const PageSeparation&) = delete;
  PageSeparation& operator=(const PageSeparation&) = delete;

  // Allocates white planes and prepares the conversion (the plug-in, or
  // the built-in rule when there is no usable plug-in or profile); false
  // (traced) without memory.
  bool Begin();
  // Separates the next source line: pixels of srcStep bytes (red, green,
  // blue; or C, M, Y, K for a CMYK raster). The rest of the plane line is
  // white.
  void Line(const BYTE* src, DWORD pixels, DWORD srcStep);
  // Replaces the slot's page by the planes (lines never given are white)
  // and adjusts its geometry; line by line, only ends the separation.
  void Install();
  // Line by line: plane p (0 K or black, 1 Y or red, 2 M, 3 C) of the last
  // line separated, page_width bytes.
  const BYTE* PlaneLine(DWORD p) const { return planes_.data() + std::size_t{p} * width_; }
  // Pixels with any colorant in any plane, as the lines came.
  std::uint64_t Inked() const { return inked_; }

 private:
  void Finish(int rc);

  PageSlot* slot_;
  Separation kind_;
  const char* name_;  // the trace label of the conversion
  DWORD tick_;
  DWORD width_ = 0;   // pixels per plane line
  DWORD height_ = 0;  // lines per plane
  bool lineByLine_;   // planes of one line held, not of the page
  DWORD rows_ = 0;    // lines separated so far
  std::uint64_t inked_ = 0;
  bool negative_ = false;    // the page is printed as its RGB negative
  bool cmykSource_ = false;  // source pixels are C, M, Y, K
  PageBuffer planes_;
  std::unique_ptr<BYTE, FreeDeleter> line_;  // converter output or gray line
  void* lpTetra_ = nullptr;                  // the plug-in's conversion handle
  const ColourPlugin* plugin_ = nullptr;
  FILE* rawDump_ = nullptr;
  bool finished_ = false;
};

// Whole-page forms: the slot holds the page as read (lines of linebyte
// bytes); on TRUE the page is replaced by its planes, on FALSE it is left
// as it was.
BOOL Page_24BitProcessAndSaveCMYK(PageSlot* slot);
BOOL Page_32BitProcessCMYK(PageSlot* slot);
BOOL Page_24BitProcessRedColor(PageSlot* slot);

// Writes a device-independent bitmap file: bitcount 1, 4, 8 or 24, lines of
// GetBMPBytesPerLine(bitcount, wide) bytes from fillflag, top line first
// (NULL writes the headers only). The file is created owner-only and never
// through a symbolic link. 1 when written, 0 on failure.
short CreateNullBMP(const char* fname, short bitcount, short resol, long wide, long high,
                    const BYTE* fillflag);
// The same into the file create makes (NULL: it cannot be made).
short CreateNullBMPWith(const std::function<FILE*()>& create, short bitcount, short resol, long wide,
                        long high, const BYTE* fillflag);

// The page dumps of CMYK pages are written only while the trace goes to the
// trace directory, into that directory, by the directory's own check
// (TrustedDir): never into one another user made, one others can write to,
// or a link.
bool PageDumpsEnabled();
// "Job<id>_Page<nnn>_CMYK.<ext>", the dump's name in the trace directory.
std::string PageDumpName(const char* jobID, DWORD PageIndex, const char* ext);
// Creates the dump name afresh in the trace directory, owner-only, relative
// to the directory's descriptor. NULL when dumps are off (path then empty)
// or the file cannot be made (path names it).
FILE* CreatePageDump(const std::string& name, std::string* path);
