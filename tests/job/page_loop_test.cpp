// Page loop: scale ratio of each page and the exit status.
#include "page_loop.h"

#include <cerrno>

#include "paper_table.h"
#include "test_support.h"

TEST(PageRatio, FitsOversizedAndLaterPagesAndAppliesFitToPaperAndUserScale) {
  struct {
    const char* what;
    unsigned w, h, page, firstW, firstH;
    DWORD features;
    unsigned fit, scale;
    float maxW;
    int ratio;
    unsigned outW;
    bool a4FromNowOn;
  } cases[] = {
      {"A4 first page", 595, 842, 0, 0, 0, 0, 0, 0, 595, 100, 595, false},
      {"oversized custom page fits A4", 700, 1000, 0, 0, 0, 0, 0, 0, 612, 84, 700, true},  // min(85, 84.2)
      {"custom page within the maximum", 500, 800, 0, 0, 0, 0, 0, 0, 612, 100, 500, false},
      {"Letter after A4", 612, 792, 1, 595, 842, 0, 0, 0, 595, 97, 612, false},  // min(97.2, 106.3)
      {"Letter after an oversized custom page", 612, 792, 1, 700, 1000, 0, 0, 0, 612, 96, 612,
       true},  // first page at 84 %: min(96.1, 106.1)
      {"A3 printers keep each page's size", 612, 792, 1, 595, 842, DF_A3, 0, 0, 595, 100, 612, false},
      {"fit to the A4 row", 612, 792, 0, 0, 0, 0, 5, 0, 595, 97, 595, false},
      {"fit to A4 at half size", 612, 792, 0, 0, 0, 0, 5, 50, 595, 48, 595, false},
      {"fit beyond the table", 612, 792, 0, 0, 0, 0, 29, 0, 595, 100, 612, false},
      {"fit far beyond the table", 612, 792, 0, 0, 0, 0, 0xFFFFFFFF, 0, 595, 100, 612, false},
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
