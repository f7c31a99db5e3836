// The printer application as its users reach it: a private server on a
// local socket, one printer per model on a file device, PWG raster jobs
// submitted over IPP with the application's own client sub-commands; each
// printer stream is read back with the stream oracles.
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"
#include "printer_stream.h"
#include "raster_job.h"

namespace {

using namespace app_test;
namespace fs = std::filesystem;
using namespace testing_support;

// Every model's PPD is a driver, with its maker and model and a device ID.
TEST_F(AppServer, EachPpdIsADriver) {
  const Output o = App("drivers");
  ASSERT_EQ(o.status, 0) << o.text;
  for (const char* model : {"gdimled", "gdimlsu", "gdima3", "gdibkred", "gdicolor"}) {
    const std::size_t at = o.text.find(std::string(model) + " \"Generic GDI ");
    ASSERT_NE(at, std::string::npos) << model << " in\n" << o.text;
    const std::string line = o.text.substr(at, o.text.find('\n', at) - at);
    EXPECT_NE(line.find("\"MFG:Generic;MDL:GDI "), std::string::npos) << line;
  }
}

// A PWG raster on every model: the printer gets both pages on A4 paper
// with the model's planes, and a black box lands on the dots it covers,
// moved by the sixth of an inch the engine's printable area starts at.
TEST_F(AppServer, EveryModelPrintsAPwgRaster) {
  struct Case {
    const char* model;
    const char* type;
    const char* colour;
    unsigned planes;
    unsigned paper;  // the engine's paper code of A4
  };
  const Case cases[] = {
      {"gdimled", "sgray_8", "monochrome", 1, 2},  {"gdimlsu", "sgray_8", "monochrome", 1, 2},
      {"gdima3", "sgray_8", "monochrome", 1, 130}, {"gdibkred", "srgb_8", "color", 2, 2},
      {"gdicolor", "srgb_8", "color", 4, 2},
  };
  const Box box{600, 900, 1200, 300, 0, 0, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    const std::string file = gDir + "/" + c.model + ".pwg";
    WritePwg(file, "iso_a4_210x297mm", c.type, 2, box);
    const std::string device = AddPrinter(std::string("p_") + c.model, c.model);
    ASSERT_EQ(PrintAndWait(std::string("p_") + c.model, file,
                           "-o media=iso_a4_210x297mm -o print-color-mode=" + std::string(c.colour)),
              "completed");
    const PrinterStream st = LastStream(device);
    ASSERT_EQ(st.pages.size(), 2u);
    for (const PageBlock& page : st.pages) {
      EXPECT_EQ(page.Byte(kPaper), c.paper);
      EXPECT_EQ(page.Byte(kColors), c.planes);
    }
    if (c.planes == 1) {
      const PageBlock& page = st.pages[0];
      EXPECT_EQ(page.BlackDots(), box.w * box.h);
      // The A3 engine takes A4 long edge first: the page is turned a
      // quarter clockwise.
      const unsigned x = box.x - 100, y = box.y - 100;
      const std::vector<unsigned> expected =
          c.paper == 130 ? std::vector<unsigned>{page.Width() - y - box.h, x, box.h, box.w}
                         : std::vector<unsigned>{x, y, box.w, box.h};
      EXPECT_EQ(DotsBox(page), expected);
    }
  }
}

// The job's IPP options become the PPD choices the printer sees: paper,
// tray, media type, two-sided, toner saving for draft, print-darkness the
// PPD's density (the configured darkness is the PPD's default); the PPD's
// other per-job options are vendor options that reach the printer: job
// time-out and density in the job header, mirror, negative and edge
// enhancement in the page's dots. Monochrome on the colour model is one plane.
TEST_F(AppServer, JobAndVendorOptionsReachThePrinter) {
  const Box box{600, 900, 1200, 300, 0, 0, 0};
  const unsigned area = box.w * box.h, x = box.x - 100, y = box.y - 100;
  const std::string a4 = gDir + "/vendor.pwg", letter = gDir + "/letter.pwg", rgb = gDir + "/rgb.pwg";
  WritePwg(a4, "iso_a4_210x297mm", "sgray_8", 1, box);
  WritePwg(letter, "na_letter_8.5x11in", "sgray_8", 2, box);
  WritePwg(rgb, "iso_a4_210x297mm", "srgb_8", 1, Box{600, 600, 600, 600, 255, 0, 0});
  const std::string mono = AddPrinter("vendor", "gdimled"), colour = AddPrinter("opts_colour", "gdicolor");
  struct Case {
    const char* options;
    std::vector<const char*> pjl;  // lines of the job header
    std::function<void(const PageBlock&)> page;
    bool letter = false, colour = false;  // else the gray A4 page on the mono model
  };
  const Case cases[] = {
      {"", {"@PJL SET DENSITY=3"}, [&](const PageBlock& p) { EXPECT_EQ(p.BlackDots(), area); }},
      {"-o print-darkness=100", {"@PJL SET DENSITY=10"}, nullptr},
      {"-o print-darkness=-100", {"@PJL SET DENSITY=1"}, nullptr},
      {"-o job-timeout=seconds-600", {"@PJL SET TIMEOUT=600"}, nullptr},
      {"-o mirror-image=on",
       {},
       [&](const PageBlock& p) {
         EXPECT_EQ(DotsBox(p), (std::vector<unsigned>{p.Width() - x - box.w, y, box.w, box.h}));
       }},
      {"-o negative-print=on",
       {},
       [&](const PageBlock& p) { EXPECT_EQ(p.BlackDots(), p.Width() * p.Height() - area); }},
      {"-o edge-enhancement=text", {}, [&](const PageBlock& p) { EXPECT_GT(p.BlackDots(), area); }},
      {"-o media=na_letter_8.5x11in",
       {"@PJL SET DUPLEX=OFF", "@PJL SET ECONOMODE=OFF", "@PJL SET AUTOSELECT=ON"},
       [](const PageBlock& p) { EXPECT_EQ(p.Byte(kPaper), 15u); },
       true},
      {"-o media=na_letter_8.5x11in -o media-source=tray-1 -o media-type=stationery-heavyweight "
       "-o sides=two-sided-long-edge -o print-quality=draft",
       {"@PJL SET DUPLEX=ON", "@PJL SET ECONOMODE=ON", "@PJL SET MEDIASOURCE=TRAY1"},
       [](const PageBlock& p) {
         EXPECT_EQ((std::vector{p.Byte(kPaper), p.Byte(kTray), p.Byte(kMedia)}), (std::vector{15u, 1u, 17u}));
       },
       true},
      {"-o print-color-mode=monochrome",
       {},
       [](const PageBlock& p) {
         EXPECT_EQ(p.Byte(kColors), 1u);
         EXPECT_GT(p.BlackDots(), 0u);
       },
       false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    const std::string& file = c.letter ? letter : c.colour ? rgb : a4;
    const std::string media = c.letter ? "" : "-o media=iso_a4_210x297mm ";
    ASSERT_EQ(PrintAndWait(c.colour ? "opts_colour" : "vendor", file, media + c.options), "completed");
    const PrinterStream st = LastStream(c.colour ? colour : mono);
    ASSERT_EQ(st.pages.size(), c.letter ? 2u : 1u);
    for (const char* line : c.pjl) EXPECT_TRUE(st.HasPjl(line)) << line << " in\n" << st.pjl;
    if (c.page) c.page(st.pages[0]);
  }
  // A value the PPD has no choice for prints nothing.
  const std::size_t before = ReadAll(mono).size();
  PrintAndWait("vendor", a4, "-o media=iso_a4_210x297mm -o mirror-image=sideways");
  EXPECT_EQ(ReadAll(mono).size(), before);
}

// SIGTERM to a server with a job in the engine shuts the server down once
// the job is done, and the job is printed whole: the signal is the
// server's, not the job's. The stopping server saves its printers where
// PAPPL keeps a snap's state, and a new server prints on them, unless
// another user could have written that file. Runs last: it restarts the
// suite's server.
TEST_F(AppServer, ZzSigtermShutsTheServerDownAfterTheRunningJob) {
  // Half-tone gray: page blocks large enough to leave the device buffer
  // page by page.
  constexpr unsigned kLongJob = 16;
  const std::string file = gDir + "/shut_down.pwg", device = AddPrinter("shut_down", "gdimled");
  WritePwg(file, "iso_a4_210x297mm", "sgray_8", kLongJob, Box{600, 600, 3000, 4000, 128, 128, 128});
  // The submit sub-command returns when the job is done.
  std::thread client(Submit, "shut_down", file, "-o media=iso_a4_210x297mm");
  EXPECT_TRUE(WaitForFirstPage(device));
  EXPECT_TRUE(StopServer(70));
  client.join();
  const std::string all = ReadAll(device);
  const PrinterStream st = ReadStream(all);
  EXPECT_EQ(st.pages.size(), kLongJob);
  EXPECT_EQ(st.trailer, Trailer(all.size() - st.trailer.size(), false));

  const std::string state = ReadAll(gDir + "/rastertopwg2-app.state");
  EXPECT_NE(state.find("name=\"shut_down\""), std::string::npos) << state;
  StartServer();
  const Output printers = App("printers");
  EXPECT_NE(printers.text.find("shut_down"), std::string::npos) << printers.text;
  const std::string small = gDir + "/after_restart.pwg";
  WritePwg(small, "iso_a4_210x297mm", "sgray_8", 1, Box{600, 600, 600, 600, 0, 0, 0});
  EXPECT_EQ(PrintAndWait("shut_down", small, "-o media=iso_a4_210x297mm"), "completed");
  EXPECT_EQ(LastStream(device).pages.size(), 1u);

  // A state file someone else could have written names devices of their
  // choosing: it is neither read nor written over.
  ASSERT_TRUE(StopServer(30));
  const std::string stateFile = gDir + "/rastertopwg2-app.state";
  if (geteuid() == 0)
    ASSERT_EQ(chown(stateFile.c_str(), 65534, 65534), 0);
  else
    fs::permissions(stateFile, fs::perms::group_write, fs::perm_options::add);
  const std::string planted = ReadAll(stateFile);
  StartServer();
  EXPECT_EQ(App("printers").text.find("shut_down"), std::string::npos);
  AddPrinter("after_plant", "gdimled");
  ASSERT_TRUE(StopServer(30));
  EXPECT_TRUE(ReadAll(stateFile) == planted) << "the planted state file was written over";
  EXPECT_NE(ReadAll(gDir + "/server.log").find("not read: "), std::string::npos);
  StartServer();
}

// A client line on the engine's page: black_8 counts colorant and is
// turned, RGB becomes gray by luminance on a gray page and stays RGB on an
// RGB page, gray is repeated into RGB, and what lies past the client's line
// is white paper. Pages the engine cannot take are refused.
TEST(LineLayout, ClientLinesBecomeEngineLines) {
  cups_page_header2_t engine{};
  engine.HWResolution[0] = engine.HWResolution[1] = 600;
  engine.cupsWidth = 3;
  engine.cupsPageSize[1] = 842;
  engine.cupsImagingBBox[0] = 0.12f;  // one pixel at 600 dpi
  engine.cupsImagingBBox[3] = 842 - 0.24f;
  struct Case {
    cups_cspace_t space;
    unsigned bytes;  // of a client pixel
    cups_cspace_t engineSpace;
    std::vector<unsigned char> src, want;
  };
  const Case cases[] = {
      {CUPS_CSPACE_SW, 1, CUPS_CSPACE_W, {9, 0, 128, 255}, {0, 128, 255}},
      {CUPS_CSPACE_SW, 1, CUPS_CSPACE_W, {9, 5}, {5, 255, 255}},
      {CUPS_CSPACE_SW, 1, CUPS_CSPACE_W, {9}, {255, 255, 255}},
      {CUPS_CSPACE_K, 1, CUPS_CSPACE_W, {9, 255, 0, 55}, {0, 255, 200}},
      {CUPS_CSPACE_SRGB, 3, CUPS_CSPACE_W, {9, 9, 9, 255, 0, 0, 0, 255, 0}, {79, 155, 255}},
      {CUPS_CSPACE_SRGB,
       3,
       CUPS_CSPACE_RGB,
       {9, 9, 9, 255, 0, 0, 1, 2, 3},
       {255, 0, 0, 1, 2, 3, 255, 255, 255}},
      {CUPS_CSPACE_SW, 1, CUPS_CSPACE_RGB, {9, 7, 8}, {7, 7, 7, 8, 8, 8, 255, 255, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.want));
    cups_page_header2_t client = engine;
    client.cupsColorSpace = c.space;
    client.cupsBitsPerColor = 8;
    client.cupsBitsPerPixel = 8 * c.bytes;
    client.cupsWidth = static_cast<unsigned>(c.src.size()) / c.bytes;
    client.cupsBytesPerLine = static_cast<unsigned>(c.src.size());
    engine.cupsColorSpace = c.engineSpace;
    LineLayout layout;
    unsigned top = 0;
    const char* why = nullptr;
    ASSERT_TRUE(MakeLineLayout(client, engine, layout, top, why)) << why;
    EXPECT_EQ(layout.left, 1u);
    EXPECT_EQ(top, 2u);
    std::vector<unsigned char> out(c.want.size());
    ConvertLine(layout, c.src.data(), out);
    EXPECT_EQ(out, c.want);
  }

  cups_page_header2_t client = engine;
  client.cupsColorSpace = CUPS_CSPACE_SW;
  client.cupsBitsPerColor = client.cupsBitsPerPixel = 1;
  client.cupsBytesPerLine = 1;
  LineLayout layout;
  unsigned top = 0;
  const char* why = nullptr;
  EXPECT_FALSE(MakeLineLayout(client, engine, layout, top, why)) << "1-bit";
  client.cupsBitsPerColor = client.cupsBitsPerPixel = 8;
  client.cupsBytesPerLine = client.cupsWidth;
  client.HWResolution[0] = 300;
  EXPECT_FALSE(MakeLineLayout(client, engine, layout, top, why)) << "300 dpi";
}

}  // namespace
