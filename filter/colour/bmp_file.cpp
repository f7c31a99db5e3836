// The bitmap file writer and the CMYK page dumps.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "byte_order.h"
#include "colour_pages.h"
#include "image.h"
#include "paths.h"
#include "trace.h"

namespace {

// File header (14 bytes) and information header (40 bytes).
constexpr DWORD kFileHeader = 14;
constexpr DWORD kInfoHeader = 40;

// Palette of a bitcount: black and white, or gray ramps; none for 24 bits.
DWORD PaletteEntries(short bitcount) {
  return bitcount == 1 || bitcount == 4 || bitcount == 8 ? 1u << bitcount : 0;
}

BYTE PaletteGray(short bitcount, DWORD i) {
  if (bitcount == 1) return i ? 255 : 0;
  if (bitcount == 4) return i == 15 ? 255 : static_cast<BYTE>(16 * i);
  return static_cast<BYTE>(i);
}

}  // namespace

bool PageDumpsEnabled() {
  return TrustedDir(TraceDirectory()).Usable();
}

std::string PageDumpName(const char* jobID, DWORD PageIndex, const char* ext) {
  // The job id comes from the command line: no directory part survives.
  std::string id;
  for (const char* p = jobID ? jobID : ""; *p && id.size() < 32; ++p) id += (*p == '/') ? '_' : *p;
  char page[48];
  std::snprintf(page, sizeof page, "_Page%03u_CMYK.%s", static_cast<unsigned>(PageIndex), ext);
  return "Job" + id + page;
}

FILE* CreatePageDump(const std::string& name, std::string* path) {
  path->clear();
  const std::string dirPath = TraceDirectory();
  const TrustedDir dir(dirPath);
  if (!dir.Usable()) return nullptr;
  *path = dirPath + "/" + name;
  return dir.CreateFile(name.c_str(), "wb");
}

short CreateNullBMP(const char* fname, short bitcount, short resol, long wide, long high,
                    const BYTE* fillflag) {
  return CreateNullBMPWith(
      [fname]() -> FILE* {
        unlink(fname);
        int fd = open(fname, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return nullptr;
        FILE* f = fdopen(fd, "wb");
        if (!f) close(fd);
        return f;
      },
      bitcount, resol, wide, high, fillflag);
}

short CreateNullBMPWith(const std::function<FILE*()>& create, short bitcount, short resol, long wide,
                        long high, const BYTE* fillflag) {
  static const char FUNCNAME[] = "CreateNullBMP";
  const bool known = bitcount == 1 || bitcount == 4 || bitcount == 8 || bitcount == 24;
  const DWORD colorcount = PaletteEntries(bitcount);
  const DWORD bitoffset = kFileHeader + kInfoHeader + 4 * colorcount;
  const DWORD line =
      wide > 0 && wide <= 0x7fffffffL ? GetBMPBytesPerLine(bitcount, static_cast<LONG>(wide)) : 0;
  DbgMessage(FUNCNAME, "fsize = %u", static_cast<unsigned>(kFileHeader));
  DbgMessage(FUNCNAME, "bsize = %u", static_cast<unsigned>(kInfoHeader));
  DbgMessage(FUNCNAME, "csize = %d", 4);
  DbgMessage(FUNCNAME, "bitoffset = %u", static_cast<unsigned>(bitoffset));
  DbgMessage(FUNCNAME, "colorcount = %u", static_cast<unsigned>(colorcount));
  if (!known) DbgMessage(FUNCNAME, "CreateNullBMP() Error");
  // The line length is a 16-bit count; a wider image cannot be written.
  const std::uint64_t datalen = std::uint64_t{line} * (high > 0 ? static_cast<std::uint64_t>(high) : 0);
  if (!known || line == 0 || high <= 0 || datalen + bitoffset > 0xffffffffu) {
    DbgMessage(FUNCNAME, "rc = %d", 0);
    return 0;
  }

  std::vector<BYTE> head(bitoffset, 0);
  BYTE* b = head.data();
  PutLE16(b + 0, 0x4D42);
  PutLE32(b + 2, static_cast<DWORD>(bitoffset + datalen));
  PutLE16(b + 6, 0);
  PutLE16(b + 8, 0);
  PutLE32(b + 10, bitoffset);
  PutLE32(b + 14, kInfoHeader);
  PutLE32(b + 18, static_cast<DWORD>(wide));
  PutLE32(b + 22, static_cast<DWORD>(high));  // positive: lines bottom-up
  PutLE16(b + 26, 1);
  PutLE16(b + 28, static_cast<WORD>(bitcount));
  PutLE32(b + 30, 0);
  PutLE32(b + 34, static_cast<DWORD>(datalen));
  const DWORD perMetre = static_cast<DWORD>(resol > 0 ? resol : 0) * 10000u / 254u;
  PutLE32(b + 38, perMetre);
  PutLE32(b + 42, perMetre);
  PutLE32(b + 46, colorcount);
  PutLE32(b + 50, colorcount);
  for (DWORD i = 0; i < colorcount; ++i) {
    const BYTE g = PaletteGray(bitcount, i);
    BYTE* q = b + kFileHeader + kInfoHeader + 4 * i;
    q[0] = q[1] = q[2] = g;  // blue, green, red, reserved 0
  }

  FILE* f = create();
  if (!f) {
    DbgMessage(FUNCNAME, "Open BMP File failed!");
    return 0;
  }
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
  DbgMessage(FUNCNAME, "bitoffset = %u", static_cast<unsigned>(bitoffset));
  if (fillflag && ok) {
    DbgMessage(FUNCNAME, "datalen = %llu", static_cast<unsigned long long>(datalen));
    // Lines bottom-up, written one by one; 24-bit pixels as blue, green, red.
    std::vector<BYTE> row(line);
    for (long y = high - 1; y >= 0 && ok; --y) {
      const BYTE* src = fillflag + static_cast<std::size_t>(y) * line;
      const BYTE* out = src;
      if (bitcount == 24) {
        std::memcpy(row.data(), src, line);
        for (std::size_t x = 0; x < static_cast<std::size_t>(wide); ++x)
          std::swap(row[3 * x], row[3 * x + 2]);
        out = row.data();
      }
      ok = std::fwrite(out, 1, line, f) == line;
    }
    DbgMessage(FUNCNAME, "fwrite");
    DbgMessage(FUNCNAME, "datalen = %llu", static_cast<unsigned long long>(datalen));
  }
  ok = std::fclose(f) == 0 && ok;
  DbgMessage(FUNCNAME, "rc = %d", ok ? 1 : 0);
  return ok ? 1 : 0;
}
