// The printer's state as clients see it: supplies and state reasons from
// the status-library simulator placed where the engine looks for it, the
// Identify-Printer operation, and the application's own test page printed
// through PAPPL's image path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"
#include "model.h"
#include "printer_stream.h"
#include "testpage.h"

namespace {

using namespace app_test;
using namespace testing_support;
namespace fs = std::filesystem;

std::string gScenario;  // the simulator's scenario, named before the server starts

class StatusServer : public AppServer {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/rastertopwg2-status-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    gScenario = std::string(tmpl) + "/scenario";
    setenv("SMSIM_SCENARIO", gScenario.c_str(), 1);
    AppServer::SetUpTestSuite();
    AddPrinter("st_mono", "gdimled");
    AddPrinter("st_bkred", "gdibkred");
    AddPrinter("st_colour", "gdicolor");
  }
  static void TearDownTestSuite() {
    AppServer::TearDownTestSuite();
    fs::remove_all(fs::path(gScenario).parent_path());
  }
  // The first of the library's fixed places, under the server's root.
  static std::string Library() { return gDir + "/root/usr/bin/prnctl.so"; }
  static void PlaceLibrary(uid_t owner = 0) {
    fs::create_directories(fs::path(Library()).parent_path());
    fs::copy_file(SMSIM_LIB, Library(), fs::copy_options::overwrite_existing);
    ASSERT_EQ(chown(Library().c_str(), owner, owner), 0);
  }
  static void RemoveLibrary() { fs::remove(Library()); }
  // The simulator's printers and their state.
  static void SetState(const std::string& state) {
    std::ofstream(gScenario) << "log " << gDir << "/calls.log\nprinter st_mono usb://mono 0\n"
                             << "printer st_bkred usb://bkred 0\nprinter st_colour socket://colour 0\n"
                             << state;
  }
};

// The printer's IPP URI on the server's local socket.
std::string Uri(const std::string& printer) {
  std::string sock = gDir + "/rastertopwg2-app.sock";
  if (!fs::exists(sock)) sock = gDir + "/rastertopwg2-app" + std::to_string(getuid()) + ".sock";
  std::string host;
  for (char c : sock) host += c == '/' ? std::string("%2F") : std::string(1, c);
  return "ipp://" + host + "/ipp/print/" + printer;
}

// Runs one ipptool request on the printer; its verbose output.
std::string Ipp(const std::string& printer, const std::string& request) {
  const std::string file = gDir + "/request.test";
  std::ofstream(file) << "{\n" << request << "\n}\n";
  const std::string cmd = "ipptool -tv '" + Uri(printer) + "' " + file + " 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The value of an attribute as ipptool shows it ("" when it is missing).
std::string Value(const std::string& out, const std::string& name) {
  const std::size_t at = out.find("\n        " + name + " (");
  if (at == std::string::npos) return "";
  const std::size_t eq = out.find(" = ", at) + 3;
  return out.substr(eq, out.find('\n', eq) - eq);
}

struct Supplies {
  std::string names, levels, reasons;
};

Supplies Query(const std::string& printer) {
  const std::string out =
      Ipp(printer,
          "OPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\n"
          "ATTR charset attributes-charset utf-8\n"
          "ATTR naturalLanguage attributes-natural-language en\n"
          "ATTR uri printer-uri $uri\n"
          "ATTR keyword requested-attributes marker-names,marker-levels,printer-state-reasons\n"
          "STATUS successful-ok");
  return {Value(out, "marker-names"), Value(out, "marker-levels"), Value(out, "printer-state-reasons")};
}

// PAPPL asks for the status at most every two seconds: waits until the
// printer shows the expected supplies and reasons, or ten seconds pass.
Supplies QueryUntil(const std::string& printer, const Supplies& want) {
  Supplies got;
  for (int i = 0; i < 40; ++i) {
    got = Query(printer);
    if (got.names == want.names && got.levels == want.levels && got.reasons == want.reasons) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  return got;
}

// Each state the library reports is what a client sees on its next query:
// the toners of the model's colours, the parts the library reports, and the
// reasons of its error codes, cleared again once they no longer hold.
TEST_F(StatusServer, SuppliesAndReasonsFollowTheLibrary) {
  PlaceLibrary();
  struct Case {
    const char* printer;
    const char* state;
    Supplies want;
  } cases[] = {
      // clang-format off
      {"st_mono", "toner 42\nerrors 500101\n", {"Black Toner", "42", "media-empty"}},
      {"st_mono", "toner 7\nerrors 500001 500104 500102\nsupply 6 80\nsupply 5 30\n", {"Black Toner,Drum,Waste Toner", "7,80,30", "media-jam,toner-low"}},
      {"st_mono", "toner 0\nerrors 500105 500103 500106 12\n", {"Black Toner", "0", "other,cover-open,offline,toner-empty"}},
      {"st_mono", "toner 100\nerrors 500001\n", {"Black Toner", "100", "none"}},
      {"st_mono", "errors 500107\n", {"Black Toner", "-1", "marker-waste-full"}},
      {"st_bkred", "toner 70\nsupply 9 20\nsupply 10 90\n", {"Black Toner,Red Toner,Red Drum", "70,20,90", "none"}},
      {"st_colour", "toner 50\nsupply 13 40\nsupply 11 130\n", {"Black Toner,Cyan Toner,Magenta Toner,Yellow Toner", "50,40,100,-1", "none"}},
      // The monitor program, when it runs, answers for the printer.
      {"st_colour", "psm_running 1\ntoner 9\nerrors 500102\n", {"Black Toner,Cyan Toner,Magenta Toner,Yellow Toner", "9,-1,-1,-1", "media-jam"}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.state);
    SetState(c.state);
    const Supplies got = QueryUntil(c.printer, c.want);
    EXPECT_EQ(got.names, c.want.names);
    EXPECT_EQ(got.levels, c.want.levels);
    EXPECT_EQ(got.reasons, c.want.reasons);
  }
}

// Without a library, or with one that someone other than root could have
// changed, nothing is loaded: no supplies, no reasons, no error.
TEST_F(StatusServer, NoTrustedLibraryNoSupplies) {
  SetState("toner 42\nerrors 500101\n");
  PlaceLibrary();
  ASSERT_EQ(QueryUntil("st_mono", {"Black Toner", "42", "media-empty"}).reasons, "media-empty");
  const std::size_t calls = ReadAll(gDir + "/calls.log").size();
  PlaceLibrary(65534);
  EXPECT_EQ(QueryUntil("st_mono", {"", "", "none"}).reasons, "none");
  EXPECT_EQ(Query("st_mono").names, "");
  EXPECT_EQ(ReadAll(gDir + "/calls.log").size(), calls);  // the library never ran
  EXPECT_NE(ReadAll(gDir + "/server.log").find(Library() + ": passed over, not owned by root"),
            std::string::npos);
  RemoveLibrary();
  EXPECT_EQ(QueryUntil("st_mono", {"", "", "none"}).names, "");
}

// Identify-Printer is accepted, logged, and its message handed to the
// status monitor to show.
TEST_F(StatusServer, IdentifyShowsTheMessage) {
  SetState("");
  PlaceLibrary();
  const std::string out = Ipp("st_mono",
                              "OPERATION Identify-Printer\nGROUP operation-attributes-tag\n"
                              "ATTR charset attributes-charset utf-8\n"
                              "ATTR naturalLanguage attributes-natural-language en\n"
                              "ATTR uri printer-uri $uri\nATTR text message \"Paper for room 4\"\n"
                              "STATUS successful-ok");
  EXPECT_NE(out.find("[PASS]"), std::string::npos) << out;
  EXPECT_NE(ReadAll(gDir + "/server.log").find("Identify-Printer: Paper for room 4"), std::string::npos);
  EXPECT_NE(ReadAll(gDir + "/calls.log").find("ReadWriteMemory 1 6 st_mono 0 0 Paper for room 4\n"),
            std::string::npos);
  const std::string attrs = Ipp("st_mono",
                                "OPERATION Get-Printer-Attributes\nGROUP operation-attributes-tag\n"
                                "ATTR charset attributes-charset utf-8\n"
                                "ATTR naturalLanguage attributes-natural-language en\n"
                                "ATTR uri printer-uri $uri\nSTATUS successful-ok");
  EXPECT_EQ(Value(attrs, "identify-actions-supported"), "display");
}

// The test page prints as one page: its frame half an inch inside the
// paper's edges bounds the dots, and a colour model's page has its planes.
TEST_F(StatusServer, TestPagePrintsOnePage) {
  RemoveLibrary();
  struct Case {
    const char* model;
    unsigned planes;
  } cases[] = {{"gdimled", 1}, {"gdicolor", 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    PrinterModel model;
    std::string why;
    ASSERT_TRUE(LoadPrinterModel(std::string(GENERATED_PPD_DIR) + "/" + c.model + ".ppd", model, why)) << why;
    const std::string png = gDir + "/" + c.model + "-test.png";
    ASSERT_TRUE(WriteTestPage(model, png, why)) << why;
    const std::string printer = std::string("tp_") + c.model, device = AddPrinter(printer, c.model);
    const Output o = App("submit -d " + printer + " -o document-format=image/png " + png);
    ASSERT_EQ(o.status, 0) << o.text;
    ASSERT_EQ(WaitForJobs(printer), "completed");
    const PrinterStream st = LastStream(device);
    ASSERT_EQ(st.pages.size(), 1u);
    EXPECT_EQ(st.pages[0].Byte(kColors), c.planes);
    EXPECT_GT(st.pages[0].BlackDots(), 0u);
    if (c.planes == 1) {
      // A4 at 600 dpi less an inch; the page may be fitted to the
      // printable area, so a few per cent either way.
      const std::vector<unsigned> box = DotsBox(st.pages[0]);
      ASSERT_EQ(box.size(), 4u);
      EXPECT_NEAR(box[2], 4960 - 600, 220);
      EXPECT_NEAR(box[3], 7016 - 600, 350);
    }
  }
}

}  // namespace
