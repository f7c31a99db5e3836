// The printer's state as clients see it: supplies and state reasons from
// the status-library simulator placed where the engine looks for it, the
// Identify-Printer operation, and the application's own test page printed
// through PAPPL's image path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "app_server.h"
#include "model.h"
#include "testpage.h"

namespace {

using namespace app_test;
using namespace testing_support;
namespace fs = std::filesystem;

// The simulator's scenario, named before the server starts.
const std::string gScenario = "/tmp/rastertopwg2-status-test-" + std::to_string(getpid());

class StatusServer : public AppServer {
 protected:
  static void SetUpTestSuite() {
    setenv("SMSIM_SCENARIO", gScenario.c_str(), 1);
    AppServer::SetUpTestSuite();
    for (const char* m : {"gdimled", "gdibkred", "gdicolor"}) AddPrinter(std::string("st_") + m, m);
  }
  static void TearDownTestSuite() {
    AppServer::TearDownTestSuite();
    fs::remove(gScenario);
  }
  // The first of the library's fixed places, under the server's root.
  static std::string Library() { return gDir + "/root/usr/bin/prnctl.so"; }
  static void PlaceLibrary(uid_t owner = 0) {
    fs::create_directories(fs::path(Library()).parent_path());
    fs::copy_file(SMSIM_LIB, Library(), fs::copy_options::overwrite_existing);
    ASSERT_EQ(chown(Library().c_str(), owner, owner), 0);
  }
  // The simulator's printers and their state.
  static void SetState(const std::string& state) {
    std::ofstream(gScenario) << "log " << gDir << "/calls.log\nprinter st_gdimled usb://m 0\n"
                             << "printer st_gdibkred usb://r 0\nprinter st_gdicolor socket://c 0\n"
                             << state;
  }
};

// Runs one of ipptool's own test files on the printer, through the
// server's local socket; its output with every attribute.
std::string Ipp(const std::string& printer, const char* test) {
  std::string host;
  for (char c : Socket()) host += c == '/' ? std::string("%2F") : std::string(1, c);
  return Shell("ipptool -tv ipp://" + host + "/ipp/print/" + printer + " " + test).text;
}

// The printer's supplies and reasons as "names | levels | reasons".
std::string State(const std::string& printer) {
  const std::string out = Ipp(printer, "get-printer-attributes.test");
  std::string state;
  const char* names[] = {"marker-names", "marker-levels", "printer-state-reasons"};
  for (int i = 0; i < 3; ++i) {
    const std::size_t at = out.find(std::string("\n        ") + names[i] + " (");
    const std::size_t eq = at == std::string::npos ? at : out.find(" = ", at) + 3;
    state += (i ? " | " : "") + (at == std::string::npos ? "" : out.substr(eq, out.find('\n', eq) - eq));
  }
  return state;
}

// PAPPL asks for the status at most every two seconds: waits until the
// printer shows the state wanted, or half a minute passes.
std::string StateUntil(const std::string& printer, const std::string& want) {
  std::string got;
  for (int i = 0; i < 120 && (got = State(printer)) != want; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  return got;
}

// Each state the library reports is what a client sees on its next query:
// the toners of the model's colours, the parts the library reports, and the
// reasons of its error codes, cleared again once they no longer hold.
TEST_F(StatusServer, SuppliesAndReasonsFollowTheLibrary) {
  PlaceLibrary();
  const std::string colourToners = "Black Toner,Cyan Toner,Magenta Toner,Yellow Toner | ";
  struct Case {
    const char *printer, *state;
    std::string want;
  } cases[] = {
      // clang-format off
      {"gdimled", "toner 42\nerrors 500101\n", "Black Toner | 42 | media-empty"},
      {"gdimled", "toner 7\nerrors 500001 500104 500102\nsupply 6 80\nsupply 5 30\n", "Black Toner,Drum,Waste Toner | 7,80,30 | media-jam,toner-low"},
      {"gdimled", "toner 0\nerrors 500105 500103 500106 12\n", "Black Toner | 0 | other,cover-open,offline,toner-empty"},
      {"gdimled", "toner 100\nerrors 500001\n", "Black Toner | 100 | none"},
      {"gdimled", "errors 500107\n", "Black Toner | -1 | marker-waste-full"},
      {"gdibkred", "toner 70\nsupply 9 20\nsupply 10 90\n", "Black Toner,Red Toner,Red Drum | 70,20,90 | none"},
      {"gdicolor", "toner 50\nsupply 13 40\nsupply 11 130\n", colourToners + "50,40,100,-1 | none"},
      // The monitor program, when it runs, answers for the printer.
      {"gdicolor", "psm_running 1\ntoner 9\nerrors 500102\n", colourToners + "9,-1,-1,-1 | media-jam"},
      // clang-format on
  };
  for (const Case& c : cases) {
    SetState(c.state);
    EXPECT_EQ(StateUntil(std::string("st_") + c.printer, c.want), c.want) << c.state;
  }
}

// Without a library, or with one that someone other than root could have
// changed, nothing is loaded: a toner of unknown level, no reasons, no error.
TEST_F(StatusServer, NoTrustedLibraryNoSupplies) {
  SetState("toner 42\nerrors 500101\n");
  PlaceLibrary();
  ASSERT_EQ(StateUntil("st_gdimled", "Black Toner | 42 | media-empty"), "Black Toner | 42 | media-empty");
  const std::size_t calls = ReadAll(gDir + "/calls.log").size();
  PlaceLibrary(65534);
  EXPECT_EQ(StateUntil("st_gdimled", "Toner | -1 | none"), "Toner | -1 | none");
  EXPECT_EQ(ReadAll(gDir + "/calls.log").size(), calls);  // the library never ran
  EXPECT_NE(ReadAll(gDir + "/server.log").find(Library() + ": passed over, not owned by root"),
            std::string::npos);
  fs::remove(Library());
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(State("st_gdimled"), "Toner | -1 | none");
}

// Identify-Printer is accepted, logged, and its message handed to the
// status monitor to show.
TEST_F(StatusServer, IdentifyShowsTheMessage) {
  SetState("");
  PlaceLibrary();
  const std::string out = Ipp("st_gdimled", "identify-printer-display.test");
  EXPECT_NE(out.find("[PASS]"), std::string::npos) << out;
  EXPECT_NE(ReadAll(gDir + "/server.log").find("Identify-Printer: Hello, World!"), std::string::npos);
  EXPECT_NE(ReadAll(gDir + "/calls.log").find("ReadWriteMemory 1 6 st_gdimled 0 0 Hello, World!\n"),
            std::string::npos);
  EXPECT_NE(Ipp("st_gdimled", "get-printer-attributes.test")
                .find("identify-actions-supported (keyword) = display\n"),
            std::string::npos);
}

// The test page prints as one page: its frame half an inch inside the
// paper's edges bounds the dots, and a colour model's page has its planes.
TEST_F(StatusServer, TestPagePrintsOnePage) {
  fs::remove(Library());
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
