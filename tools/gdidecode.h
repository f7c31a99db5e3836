// The printer-stream decoder of gdidecode as a function, so that a fuzz
// target can run it on bytes in memory.
#pragma once

#include <span>
#include <string>

struct GdiDecodeOptions {
  std::string prefix;  // empty: no image files
  bool pbm = false;
  bool ssl = false;  // a spool file's pages are encrypted
};

// Lists and checks a printer stream or spool file on standard output;
// returns gdidecode's exit status: 0 everything checked out, 1 malformed or
// a check failed, 2 an image file could not be written.
int DecodeGdiFile(std::span<const unsigned char> data, const GdiDecodeOptions& opt);
