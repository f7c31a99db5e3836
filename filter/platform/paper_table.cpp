// Paper table and paper-code lookup.
#include "paper_table.h"

#include "trace.h"

namespace {

const PaperTable kEngineSizes = {{
    {612, 792, 15, "Letter", 0, 1LL << 0},     {612, 1008, 16, "Legal", 0, 1LL << 1},
    {792, 1224, 30, "Tabloid", 0, 1LL << 2},   {842, 1191, 1, "A3", 0, 1LL << 3},
    {595, 842, 2, "A4", 0, 1LL << 4},          {420, 595, 3, "A5", 0, 1LL << 5},
    {729, 1032, 11, "B4", 0, 1LL << 6},        {516, 729, 12, "B5", 0, 1LL << 7},
    {363, 516, 13, "B6", 0, 1LL << 8},         {297, 420, 4, "A6", 0, 1LL << 9},
    {612, 936, 17, "Legal13", 0, 1LL << 10},   {284, 419, 28, "Postcard", 0, 1LL << 11},
    {396, 612, 14, "Statement", 0, 1LL << 12}, {757, 1106, 31, "8K", 0, 1LL << 13},
    {553, 757, 32, "16K", 0, 1LL << 14},       {612, 965, 45, "Oficio", 0, 1LL << 15},
    {312, 624, 25, "DL", 0, 1LL << 16},        {524, 737, 46, "16K", 0, 1LL << 17},
    {369, 524, 47, "32K", 0, 1LL << 18},       {612, 1008, 96, "Ballot14", 0, 1LL << 19},
    {612, 1080, 96, "Ballot15", 0, 1LL << 20}, {612, 1152, 96, "Ballot16", 0, 1LL << 21},
    {612, 1224, 96, "Ballot17", 0, 1LL << 22}, {612, 1296, 96, "Ballot18", 0, 1LL << 23},
    {612, 1368, 96, "Ballot19", 0, 1LL << 24}, {612, 1440, 96, "Ballot20", 0, 1LL << 25},
    {612, 1512, 96, "Ballot21", 0, 1LL << 26}, {612, 1584, 96, "Ballot22", 0, 1LL << 27},
}};

}  // namespace

PaperTable DefaultPaperTable() {
  return kEngineSizes;
}

void BuildPaperList(ppd_file_t* ppd, PaperTable& paperTable) {
  static const char FUNCNAME[] = "BuildPaperList";
  if (!ppd) return;
  for (PAPERFORMAT& row : paperTable) {
    if (ppdPageSize(ppd, row.paper_name) != nullptr) {
      row.enable = 1;
      DbgMessage(FUNCNAME, "support = %s", row.paper_name);
    }
  }
}

int GetPaperSizeCode(const PaperTable& paperTable, const cups_page_header2_t* inheader, int PrinterA3,
                     DWORD cupsLEF) {
  static const char FUNCNAME[] = "GetPaperSizeCode";
  unsigned w = inheader->PageSize[0], h = inheader->PageSize[1];
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "w = %d", static_cast<int>(w));
  DbgMessage(FUNCNAME, "h = %d", static_cast<int>(h));

  int code = ENG_PAPER_CUSTOMER;
  DWORD lef = 0;
  int i = 0;
  for (; i < kPaperRows; ++i) {
    const PAPERFORMAT& row = paperTable[i];
    DbgMessage(FUNCNAME, "enable = %d", row.enable);
    DbgMessage(FUNCNAME, "w = %d", row.w);
    DbgMessage(FUNCNAME, "h = %d", row.h);
    if (row.enable && static_cast<unsigned>(row.w) == w && static_cast<unsigned>(row.h) == h) {
      DbgMessage(FUNCNAME, "found");
      code = row.paper_type;
      // Only rows 0..7 (Letter to B5) can be switched to long-edge feed.
      lef = cupsLEF & static_cast<DWORD>(row.index & 0xff);
      break;
    }
  }
  DbgMessage(FUNCNAME, "i = %d", i);

  if (lef || (PrinterA3 && (code == ENG_ISO_A4 || code == ENG_JIS_B5 || code == ENG_LETTER)))
    code += ENG_LEF_OFFSET;
  DbgMessage(FUNCNAME, "Out, rc = %d", code);
  return code;
}
