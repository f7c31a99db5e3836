// Page loop: scale ratio of each page and the exit status.
#include "page_loop.h"

#include <cerrno>

#include "paper_table.h"
#include "test_support.h"

TEST(PageRatio, FitsOversizedAndLaterPagesAndAppliesFitToPaperAndUserScale) {
  struct Case {
    const char* what;
    unsigned w, h;                              // page size, points
    unsigned page = 0, firstW = 0, firstH = 0;  // page index, the first page's size
    DWORD features = 0;
    unsigned fit = 0, scale = 0;  // Fit to paper row, user scale (%)
    float maxW;                   // MaxMediaWidth, points
    int ratio;                    // scale ratio (%) computed
    unsigned outW;                // page width afterwards
    bool a4FromNowOn = false;     // the job's maximum media becomes A4
  } cases[] = {
      // clang-format off
      {.what = "A4 first page", .w = 595, .h = 842, .maxW = 595, .ratio = 100, .outW = 595},
      {.what = "oversized custom page fits A4", .w = 700, .h = 1000, .maxW = 612, .ratio = 84, .outW = 700,
       .a4FromNowOn = true},  // min(85, 84.2)
      {.what = "custom page within the maximum", .w = 500, .h = 800, .maxW = 612, .ratio = 100, .outW = 500},
      {.what = "Letter after A4", .w = 612, .h = 792, .page = 1, .firstW = 595, .firstH = 842, .maxW = 595,
       .ratio = 97, .outW = 612},  // min(97.2, 106.3)
      {.what = "Letter after an oversized custom page", .w = 612, .h = 792, .page = 1, .firstW = 700,
       .firstH = 1000, .maxW = 612, .ratio = 96, .outW = 612, .a4FromNowOn = true},  // first at 84 %: min(96.1, 106.1)
      {.what = "A3 printers keep each page's size", .w = 612, .h = 792, .page = 1, .firstW = 595,
       .firstH = 842, .features = DF_A3, .maxW = 595, .ratio = 100, .outW = 612},
      {.what = "fit to the A4 row", .w = 612, .h = 792, .fit = 5, .maxW = 595, .ratio = 97, .outW = 595},
      {.what = "fit to A4 at half size", .w = 612, .h = 792, .fit = 5, .scale = 50, .maxW = 595, .ratio = 48,
       .outW = 595},
      {.what = "fit beyond the table", .w = 612, .h = 792, .fit = 29, .maxW = 595, .ratio = 100, .outW = 612},
      {.what = "fit far beyond the table", .w = 612, .h = 792, .fit = 0xFFFFFFFF, .maxW = 595, .ratio = 100,
       .outW = 612},
      // clang-format on
  };
  PaperTable table = DefaultPaperTable();
  for (PAPERFORMAT& row : table) row.enable = 1;
  for (const auto& c : cases) {
    cups_page_header2_t page{}, reference{};
    page.PageSize[0] = c.w;
    page.PageSize[1] = c.h;
    page.cupsInteger[13] = c.fit;
    page.cupsInteger[7] = c.scale;
    reference.PageSize[0] = c.firstW;
    reference.PageSize[1] = c.firstH;
    const PageRatio r =
        ComputePageRatio(page, c.page > 0 ? &reference : nullptr, {table, c.features, 0, c.maxW, 1008});
    EXPECT_EQ(static_cast<int>(r.ratio), c.ratio) << c.what;
    EXPECT_EQ(r.PageSize[0], c.outW) << c.what;
    EXPECT_EQ(r.maxMediaA4, c.a4FromNowOn) << c.what;
  }
}

// CUPS shows a job as printed when its filter exits 0: every way a page can
// be lost gives 1, a cancel by the user or the printer gives 0, and a
// stream that broke before the cancel still counts.
TEST(ExitStatus, OneWheneverAPageWasLostUnlessTheJobWasCancelledFirst) {
  // h a page had, s sent, r refused on reading, l lost after processing,
  // f the printer stream fails, c a cancel.
  const struct {
    const char* what;
    const char* events;
    int status;
  } cases[] = {
      {"every page sent", "hshs", 0},
      {"no page at all", "", 0},
      {"a page had, none sent", "h", 1},
      {"a later page refused", "hsr", 1},
      {"a page lost after processing", "hshl", 1},
      {"the stream breaks after a page", "hsf", 1},
      {"cancelled after a lost page", "hlc", 0},
      {"cancelled, then the backend stops reading", "hscf", 0},
      {"the stream breaks, then a cancel", "hsfc", 1},
  };
  for (const auto& c : cases) {
    FILE* err = std::tmpfile();
    FilterJob job(stdout, err);
    for (const char* e = c.events; *e; ++e) {
      if (*e == 'h') ++job.loop.CUPSpages;
      if (*e == 's') job.reports.ReportPageSent(job.reports.NumberOutputPage(false));
      if (*e == 'r') job.loop.inputFailed = true;
      if (*e == 'l') job.reports.NotePageLost();
      if (*e == 'f') job.port.NoteFailure("Unable to write to the printer stream", EPIPE);
      if (*e == 'c') job.events.Cancel();
    }
    EXPECT_EQ(JobExitStatus(job), c.status) << c.what;
    std::fclose(err);
  }
}
