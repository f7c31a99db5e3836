// The paper table: page sizes the engine knows, their ENG_ paper codes, and
// the lookup from a raster page size to the code sent in the page header.
#pragma once

#include <cups/ppd.h>
#include <cups/raster.h>

#include <array>
#include <cstdint>

#include "wintypes.h"

// ENG_ paper codes used by name in the filter (one byte in the page header).
inline constexpr int ENG_ISO_A4 = 2;
inline constexpr int ENG_JIS_B5 = 12;
inline constexpr int ENG_LETTER = 15;
inline constexpr int ENG_PAPER_CUSTOMER = 96;
inline constexpr int ENG_LEF_OFFSET = 128;  // long-edge-fed variant of a code

struct PAPERFORMAT {
  std::int16_t w;           // width, points
  std::int16_t h;           // height, points
  std::int16_t paper_type;  // ENG_ code
  char paper_name[64];      // PPD page-size name
  std::int16_t enable;      // 1 when the PPD offers the size
  std::int64_t index;       // 1 << row: the row's long-edge-feed bit
};

inline constexpr int kPaperRows = 28;
// A job's copy of the table: which rows are enabled depends on its PPD.
using PaperTable = std::array<PAPERFORMAT, kPaperRows>;

// The table with every row disabled.
PaperTable DefaultPaperTable();

// Marks the rows whose size the PPD offers.
void BuildPaperList(ppd_file_t* ppd, PaperTable& paperTable);
// Paper code of a page: the first enabled row of exactly the page's size,
// else 96; plus 128 for long-edge feed (cupsLEF on rows 0..7, and A4, B5 and
// Letter on A3 printers).
int GetPaperSizeCode(const PaperTable& paperTable, const cups_page_header2_t* inheader, int PrinterA3,
                     DWORD cupsLEF);
