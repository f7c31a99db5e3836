// PDF documents through Ghostscript with copies and collation, and printer
// streams passed through: each seen where the printer (its device file) or
// an IPP client sees it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "app_server.h"
#include "pdf_job.h"
#include "printer_stream.h"

namespace {

using namespace app_test;
using namespace testing_support;

// A PDF of A4 pages, page n with a black bar n inches wide an inch from
// the top left corner: the page's dots say which page it is.
std::string MakePdf(const std::string& name, int pages) {
  const std::string ps = gDir + "/" + name + ".ps", pdf = gDir + "/" + name + ".pdf";
  std::ofstream(ps) << "%!PS\n<< /PageSize [595 842] >> setpagedevice\n1 1 " << pages
                    << " { /n exch def 72 698 72 n mul 72 rectfill showpage } for\n";
  const std::string cmd = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=" + pdf + " " + ps;
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  return pdf;
}

// Which pages of MakePdf the page blocks are: the bar's width in inches,
// 0 for a blank page.
std::vector<int> PageNumbers(const PrinterStream& st) {
  std::vector<int> numbers;
  for (const PageBlock& p : st.pages) {
    const std::vector<unsigned> box = DotsBox(p);
    numbers.push_back(box.empty() ? 0 : static_cast<int>(std::lround(box[2] / 600.0)));
  }
  return numbers;
}

std::set<std::string> Listing(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.insert(e.path().filename());
  return names;
}

// A three-page PDF on the mono LED model, two-sided with two copies: the
// engine gets the job's copies and collation and the printer every page,
// each sheet back side first (the third page's sheet with a blank back).
// Collated, the engine sends the document twice and asks for one copy;
// uncollated, each page once and the printer makes the copies.
TEST_F(AppServer, PdfCopiesAndCollationReachTheEngine) {
  const std::string pdf = MakePdf("three", 3);
  const std::string device = AddPrinter("pdf_copies", "gdimled");
  struct Case {
    const char* options;
    std::vector<int> pages;  // page blocks in the order sent
    const char* pjl[3];
  };
  const Case cases[] = {
      {"-o sides=two-sided-long-edge -o copies=2",
       {2, 1, 0, 3, 2, 1, 0, 3},
       {"@PJL SET DUPLEX=ON", "@PJL SET DUPLEXTYPE=BOOKLET", "@PJL SET COPIES=1"}},
      {"-o sides=two-sided-short-edge -o copies=2 -o "
       "multiple-document-handling=separate-documents-uncollated-copies",
       {2, 1, 0, 3},
       {"@PJL SET DUPLEX=ON", "@PJL SET DUPLEXTYPE=CALENDAR", "@PJL SET COPIES=2"}},
      {"-o copies=1", {1, 2, 3}, {"@PJL SET DUPLEX=OFF", "@PJL SET COPIES=1", "@PJL COMMENT Copies,1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(PrintAndWait(
                  "pdf_copies", pdf,
                  "-o document-format=application/pdf -o media=iso_a4_210x297mm " + std::string(c.options)),
              "completed");
    const PrinterStream st = LastStream(device);
    EXPECT_EQ(PageNumbers(st), c.pages);
    for (const char* line : c.pjl) EXPECT_TRUE(st.HasPjl(line)) << line << " in\n" << st.pjl;
  }
}

// A PDF Ghostscript cannot read aborts with a message saying so, leaves
// nothing in the spool or temporary directory, and the next PDF prints.
TEST_F(AppServer, DamagedPdfAbortsAndTheServerPrintsOn) {
  const std::string good = MakePdf("one", 1), bad = gDir + "/damaged.pdf";
  const std::string text = ReadAll(good);
  std::ofstream(bad) << text.substr(0, 64) << "garbage\n" << text.substr(text.size() / 2, 200);
  const std::string device = AddPrinter("pdf_damaged", "gdimled");
  const std::set<std::string> spool = Listing(gDir + "/spool"), temp = Listing(gDir);

  ASSERT_EQ(PrintAndWait("pdf_damaged", bad, "-o document-format=application/pdf"), "aborted");
  const std::string message = NewestJob("pdf_damaged").message;
  EXPECT_NE(message.find("Ghostscript cannot read the PDF document"), std::string::npos) << message;
  EXPECT_EQ(ReadAll(device), "");
  EXPECT_EQ(Listing(gDir + "/spool"), spool);
  EXPECT_EQ(Listing(gDir), temp);

  ASSERT_EQ(PrintAndWait("pdf_damaged", good, "-o document-format=application/pdf"), "completed");
  EXPECT_EQ(PageNumbers(LastStream(device)), std::vector<int>{1});
}

// A printer stream the engine made, sent again as an untyped document,
// reaches the printer byte for byte; a PJL job in another printer
// language is not taken for one.
TEST_F(AppServer, PrinterStreamPassesThroughUnchanged) {
  const std::string pwg = gDir + "/pass.pwg", made = AddPrinter("pass_make", "gdimled");
  WritePwg(pwg, "iso_a4_210x297mm", "sgray_8", 2, Box{600, 600, 600, 600, 0, 0, 0});
  ASSERT_EQ(PrintAndWait("pass_make", pwg, "-o media=iso_a4_210x297mm"), "completed");
  const std::string stream = ReadAll(made), file = gDir + "/pass.prn";
  ASSERT_EQ(ReadStream(stream).pages.size(), 2u);
  std::ofstream(file, std::ios::binary) << stream;

  const std::string device = AddPrinter("pass_raw", "gdimled");
  ASSERT_EQ(PrintAndWait("pass_raw", file, "-o document-format=application/octet-stream"), "completed");
  EXPECT_TRUE(ReadAll(device) == stream) << ReadAll(device).size() << " bytes, not " << stream.size();

  const std::string enter = "@PJL ENTER LANGUAGE=KRGDI\r\n";
  for (const auto& [head, isStream] :
       std::vector<std::pair<std::string, bool>>{{kUel + "@PJL\r\n" + enter, true},
                                                 {kUel + "@PJL\r\n@PJL ENTER LANGUAGE=PCL\r\n", false},
                                                 {kEscE + enter, false}}) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(head.data());
    EXPECT_EQ(TypeOfDocument(bytes, head.size(), nullptr) != nullptr, isStream)
        << testing::PrintToString(head);
  }
}

}  // namespace
