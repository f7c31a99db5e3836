// The document formats a client may send and what goes wrong on the way:
// Apple raster, JPEG and PNG, orientation and scaling of images, damaged
// documents and pages the printer did not offer, a device that is gone, a
// cancelled job and a job that waits for the one streaming before it. Each
// job is judged by what the device file got and what the server says of
// the job and the printer over IPP.
#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"
#include "printer_stream.h"

namespace {

using namespace app_test;
using namespace testing_support;
namespace fs = std::filesystem;

// What the spool directory still holds.
std::vector<std::string> Spooled() {
  std::vector<std::string> left;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(gDir + "/spool", ec))
    if (e.is_regular_file()) left.push_back(e.path().filename());
  return left;
}

// Submits a document of any format, waits until the printer's jobs have
// ended and returns the state this one ended in.
std::string PrintFile(const std::string& printer, const std::string& file, const std::string& format,
                      const std::string& options = "") {
  const Output o = App("submit -d " + printer + " -o document-format=" + format + " " + options + " " + file);
  EXPECT_EQ(o.status, 0) << o.text;
  if (WaitForJobs(printer) == "timeout") return "timeout";
  return NewestJob(printer).state;
}

// A raster of one page on A4.
void WriteRaster(const std::string& path, cups_mode_t mode, const char* type, const Box& box) {
  WritePwg(path, "iso_a4_210x297mm", type, 1, box, mode);
}

// Writes an image of w x h pixels, gray or RGB, as JPEG (best quality) or
// PNG with the netpbm tools; no resolution is recorded in it.
using Rgb = std::array<unsigned char, 3>;
void WriteImage(const std::string& path, unsigned w, unsigned h, bool gray,
                const std::function<Rgb(unsigned, unsigned)>& pixel, const std::string& pngOptions = "") {
  const std::string pnm = path + ".pnm";
  {
    std::ofstream out(pnm, std::ios::binary);
    out << (gray ? "P5\n" : "P6\n") << w << ' ' << h << "\n255\n";
    for (unsigned y = 0; y < h; ++y)
      for (unsigned x = 0; x < w; ++x) {
        const Rgb p = pixel(x, y);
        out.write(reinterpret_cast<const char*>(p.data()), gray ? 1 : 3);
      }
  }
  const bool jpeg = path.ends_with(".jpg");
  const std::string cmd =
      std::string(jpeg ? "pnmtojpeg -quality=100 " : "pnmtopng " + pngOptions + " ") + pnm + " > " + path;
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  fs::remove(pnm);
}

const Rgb kBlack{0, 0, 0};
const Box kBox{600, 900, 1200, 300, 0, 0, 0};
// A4 at 600 dpi less the sixth of an inch the engines leave on every side.
constexpr double kPrintableW = 4960 - 200, kPrintableH = 7015 - 200;

// The planes of a four-colour page: each plane coded on its own behind its
// length, with or without its image header.
std::vector<Bytes> FourPlanes(const PageBlock& page) {
  std::vector<Bytes> planes;
  const unsigned rows = page.Height() / 4;
  for (std::size_t at = 0; planes.size() < 4 && at + 4 <= page.data.size();) {
    const std::string unit = page.data.substr(at + 4, Le32(page.data, at));
    planes.push_back(unit.compare(0, 4, std::string("\0\0\1\0", 4)) == 0
                         ? JbigDecode(Bytes(unit.begin(), unit.end()))
                         : DecodeHeaderless(unit, page.Width(), rows));
    at += 4 + unit.size();
  }
  return planes;
}

// An Apple raster client finds what it needs in urf-supported (the gray and,
// on colour models, the RGB type, the resolution, two-sided printing), and
// its page prints exactly as the same pixels do as PWG raster.
TEST_F(AppServer, AppleRasterPrintsAsPwgRasterDoes) {
  struct Case {
    const char* model;
    const char* type;
    const char* colour;
    std::vector<const char*> urf;  // keywords urf-supported must have
    const char* absent;            // one it must not have
  };
  const Case cases[] = {
      {"gdimled", "sgray_8", "monochrome", {"W8", "RS600", "DM1", "V1.5"}, "SRGB24"},
      {"gdicolor", "srgb_8", "color", {"W8", "SRGB24", "RS600"}, "DEVCMYK32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    const std::string printer = std::string("urf_") + c.model;
    const std::string device = AddPrinter(printer, c.model);
    const std::string urf = PrinterAttribute(printer, "urf-supported", "image/urf");
    for (const char* keyword : c.urf)
      EXPECT_NE(("," + urf + ",").find(std::string(",") + keyword + ","), std::string::npos)
          << keyword << " in " << urf;
    EXPECT_EQ(urf.find(c.absent), std::string::npos) << urf;
    EXPECT_NE(PrinterAttribute(printer, "document-format-supported").find("image/urf"), std::string::npos);

    const Box box{600, 900, 1200, 300, 200, 40, 0};
    const std::string pwg = gDir + "/" + printer + ".pwg", apple = gDir + "/" + printer + ".urf";
    WriteRaster(pwg, CUPS_RASTER_WRITE_PWG, c.type, box);
    WriteRaster(apple, CUPS_RASTER_WRITE_APPLE, c.type, box);
    const std::string options = std::string("-o media=iso_a4_210x297mm -o print-color-mode=") + c.colour;
    ASSERT_EQ(PrintFile(printer, pwg, "image/pwg-raster", options), "completed");
    const PrinterStream want = LastStream(device);
    ASSERT_EQ(PrintFile(printer, apple, "image/urf", options), "completed");
    const PrinterStream got = LastStream(device);
    ASSERT_EQ(got.pages.size(), 1u);
    ASSERT_EQ(want.pages.size(), 1u);
    EXPECT_GT(got.pages[0].BlackDots(), 0u);
    EXPECT_EQ(got.pages[0].header, want.pages[0].header);
    EXPECT_TRUE(got.pages[0].data == want.pages[0].data);
  }
}

// JPEG and PNG through the framework's decoders: a gray JPEG and a gray
// PNG fill the printable width on the one-plane model, and a colourful JPEG
// puts ink on each of the four planes of the colour model. Copies are made
// once, by the framework.
TEST_F(AppServer, JpegAndPngPrint) {
  const std::string mono = AddPrinter("img_mono", "gdimled");
  const std::string colour = AddPrinter("img_colour", "gdicolor");
  // PNG goes to our own filter and is offered once, beside PAPPL's formats.
  const std::string formats = PrinterAttribute("img_mono", "document-format-supported");
  EXPECT_NE(formats.find("image/png"), std::string::npos) << formats;
  EXPECT_EQ(formats.find("image/png"), formats.rfind("image/png")) << formats;
  // A black image of 3:2, printed upright: as wide as the printable area.
  for (const char* name : {"/black.jpg", "/black.png"}) {
    SCOPED_TRACE(name);
    const std::string file = gDir + name;
    WriteImage(file, 600, 400, true, [](unsigned, unsigned) { return kBlack; });
    const std::string format = file.ends_with(".jpg") ? "image/jpeg" : "image/png";
    ASSERT_EQ(
        PrintFile("img_mono", file, format,
                  "-o media=iso_a4_210x297mm -o orientation-requested=3 -o print-scaling=fit -o copies=2"),
        "completed");
    const PrinterStream st = LastStream(mono);
    ASSERT_EQ(st.pages.size(), 2u);
    const std::vector<unsigned> box = DotsBox(st.pages[0]);
    ASSERT_EQ(box.size(), 4u);
    EXPECT_NEAR(box[2], kPrintableW, 4.0);
    EXPECT_NEAR(box[3] * 3.0, box[2] * 2.0, 6.0);
    EXPECT_EQ(st.pages[1].BlackDots(), st.pages[0].BlackDots());
  }

  // Black with its left half transparent, interlaced: only the right half
  // prints, as tall as the whole image fitted.
  const std::string alpha = gDir + "/half.pgm";
  {
    std::ofstream out(alpha, std::ios::binary);
    out << "P5\n600 400\n255\n";
    for (unsigned i = 0; i < 600 * 400; ++i) out.put(i % 600 < 300 ? 0 : '\xff');
  }
  WriteImage(
      gDir + "/half.png", 600, 400, false, [](unsigned, unsigned) { return kBlack; },
      "-interlace -alpha=" + alpha);
  ASSERT_EQ(PrintFile("img_mono", gDir + "/half.png", "image/png",
                      "-o media=iso_a4_210x297mm -o orientation-requested=3 -o print-scaling=fit"),
            "completed");
  const std::vector<unsigned> half = DotsBox(LastStream(mono).pages.at(0));
  ASSERT_EQ(half.size(), 4u);
  EXPECT_NEAR(half[2], kPrintableW / 2, 6.0);
  EXPECT_NEAR(half[3] * 3.0, kPrintableW * 2.0, 12.0);

  // Cyan, magenta, yellow and black quarters.
  const std::string file = gDir + "/quarters.jpg";
  const Rgb quarters[] = {{0, 255, 255}, {255, 0, 255}, {255, 255, 0}, kBlack};
  WriteImage(file, 400, 400, false,
             [&](unsigned x, unsigned y) { return quarters[(x / 200) + 2 * (y / 200)]; });
  ASSERT_EQ(
      PrintFile("img_colour", file, "image/jpeg", "-o media=iso_a4_210x297mm -o print-color-mode=color"),
      "completed");
  const PrinterStream st = LastStream(colour);
  ASSERT_EQ(st.pages.size(), 1u);
  ASSERT_EQ(st.pages[0].Byte(kColors), 4u);
  const std::vector<Bytes> planes = FourPlanes(st.pages[0]);
  ASSERT_EQ(planes.size(), 4u);
  for (unsigned p = 0; p < 4; ++p) EXPECT_GT(Dots(planes[p]), 0u) << "plane " << p;
}

// A landscape image (3:2, no resolution recorded) on portrait paper: with
// orientation-requested=landscape it is turned, then fit puts it whole in
// the printable area, fill covers the page and none prints it at 200 pixels
// an inch; portrait keeps it upright. Each lands centred.
TEST_F(AppServer, OrientationAndScalingPlaceTheImage) {
  const std::string device = AddPrinter("placed", "gdimled");
  const std::string file = gDir + "/landscape.jpg";
  WriteImage(file, 600, 400, true, [](unsigned, unsigned) { return kBlack; });
  struct Case {
    const char* options;
    double aspect;  // box height over width, or 0: the whole page
    bool fit;       // touches the printable area on one side
    unsigned w;     // else this width in dots
  };
  const Case cases[] = {
      {"-o orientation-requested=4 -o print-scaling=fit", 1.5, true, 0},
      {"-o orientation-requested=4 -o print-scaling=fill", 0, false, 0},
      {"-o orientation-requested=4 -o print-scaling=none", 1.5, false, 1200},
      {"-o orientation-requested=3 -o print-scaling=fit", 2.0 / 3, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    ASSERT_EQ(PrintFile("placed", file, "image/jpeg", std::string("-o media=iso_a4_210x297mm ") + c.options),
              "completed");
    const PrinterStream st = LastStream(device);
    ASSERT_EQ(st.pages.size(), 1u);
    const PageBlock& page = st.pages[0];
    const std::vector<unsigned> box = DotsBox(page);
    ASSERT_EQ(box.size(), 4u);
    if (c.aspect == 0) {
      EXPECT_EQ(box[0] + box[1], 0u);
      EXPECT_NEAR(box[2], kPrintableW, 4.0);
      EXPECT_NEAR(box[3], kPrintableH, 4.0);
      EXPECT_GE(page.BlackDots(), box[2] * box[3]);
      continue;
    }
    EXPECT_NEAR(box[3], box[2] * c.aspect, 6.0);
    if (c.fit)
      EXPECT_TRUE(std::abs(box[2] - kPrintableW) <= 4 || std::abs(box[3] - kPrintableH) <= 4)
          << box[2] << "x" << box[3];
    else
      EXPECT_NEAR(box[2], c.w, 2.0);
    EXPECT_NEAR(box[0], (kPrintableW - box[2]) / 2, 4.0);
    EXPECT_NEAR(box[1], (kPrintableH - box[3]) / 2, 4.0);
  }
}

// A damaged document and pages the printer did not offer end the job
// aborted with a message that says why, leave nothing in the spool
// directory, and the next job on the same printer prints.
TEST_F(AppServer, BadDocumentsAbortAndThePrinterGoesOn) {
  const std::string device = AddPrinter("bad_input", "gdimled");
  // A JPEG cut before its scan and one cut in it; a PNG cut in its image
  // data, one whose image data fails its checksum, and one wider than
  // images may be.
  const std::string jpeg = gDir + "/cut.jpg", scanJpeg = gDir + "/cut_scan.jpg", cutPng = gDir + "/cut.png",
                    crcPng = gDir + "/crc.png";
  WriteImage(jpeg, 300, 200, true, [](unsigned, unsigned) { return kBlack; });
  fs::resize_file(jpeg, 100);
  WriteImage(scanJpeg, 300, 200, true, [](unsigned x, unsigned y) {
    return Rgb{uint8_t(x), uint8_t(y), uint8_t(x ^ y)};
  });
  fs::resize_file(scanJpeg, fs::file_size(scanJpeg) * 2 / 3);
  for (const std::string& png : {cutPng, crcPng})
    WriteImage(png, 300, 200, false, [](unsigned x, unsigned y) {
      return Rgb{uint8_t(x), uint8_t(y), uint8_t(x ^ y)};
    });
  fs::resize_file(cutPng, fs::file_size(cutPng) / 2);
  {
    std::fstream f(crcPng, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    const std::size_t idat = bytes.find("IDAT");
    ASSERT_NE(idat, std::string::npos);
    const std::size_t crc = idat + 4 + __builtin_bswap32(Le32(bytes, idat - 4));  // past its data
    f.seekp(static_cast<std::streamoff>(crc));
    f.put(static_cast<char>(bytes.at(crc) ^ 1));
  }
  WriteImage(gDir + "/wide.png", 16385, 1, true, [](unsigned, unsigned) { return kBlack; });
  const std::string good = gDir + "/bad_input_good.pwg";
  WriteRaster(good, CUPS_RASTER_WRITE_PWG, "sgray_8", kBox);
  struct Case {
    const char* what;
    std::string file;
    const char* format;
    const char* type;  // the raster type written, or nullptr
    const char* says;  // in the job's message or reasons
  };
  const Case cases[] = {
      {"JPEG cut in its header", jpeg, "image/jpeg", nullptr, "Damaged JPEG file"},
      {"JPEG cut in its scan", scanJpeg, "image/jpeg", nullptr, "Damaged JPEG file: Premature end"},
      {"truncated PNG", cutPng, "image/png", nullptr, "Damaged PNG file"},
      {"PNG with a bad checksum", crcPng, "image/png", nullptr, "CRC error"},
      {"oversized PNG", gDir + "/wide.png", "image/png", nullptr, "16385x1 pixels is too large"},
      {"CMYK raster", gDir + "/cmyk.pwg", "image/pwg-raster", "cmyk_8", "colour"},
      {"16-bit raster", gDir + "/gray16.pwg", "image/pwg-raster", "sgray_16", "8-bit"},
      {"1-bit raster", gDir + "/black1.pwg", "image/pwg-raster", "black_1", "8-bit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.type) WriteRaster(c.file, CUPS_RASTER_WRITE_PWG, c.type, kBox);
    const std::size_t before = ReadAll(device).size();
    // A job that never ends holds the printer: nothing after it could print.
    ASSERT_EQ(PrintFile("bad_input", c.file, c.format, "-o media=iso_a4_210x297mm"), "aborted");
    const JobEnd end = NewestJob("bad_input");
    EXPECT_EQ(end.state, "aborted");
    EXPECT_NE(end.message.find(c.says), std::string::npos) << end.message << " / " << end.reasons;
    EXPECT_EQ(ReadStream(ReadAll(device).substr(before)).pages.size(), 0u);
    EXPECT_EQ(Spooled(), std::vector<std::string>{});
    EXPECT_EQ(PrintFile("bad_input", good, "image/pwg-raster", "-o media=iso_a4_210x297mm"), "completed");
    EXPECT_EQ(LastStream(device).pages.size(), 1u);
    EXPECT_EQ(PrinterAttribute("bad_input", "printer-state"), "idle");
  }
}

// A device that cannot be opened stops its printer and holds the job, while
// the server's other printers go on printing; the held job can be
// cancelled, and once the device is back the printer prints again.
TEST_F(AppServer, AMissingDeviceHoldsOnlyItsPrinter) {
  const std::string dir = gDir + "/gone";
  fs::create_directories(dir);
  const std::string device = dir + "/gone.prn";
  std::ofstream{device};
  const Output added = App("add -d gone -m gdimled -v file://" + device);
  ASSERT_EQ(added.status, 0) << added.text;
  const std::string other = AddPrinter("still_here", "gdimled");
  const std::string file = gDir + "/gone.pwg";
  WriteRaster(file, CUPS_RASTER_WRITE_PWG, "sgray_8", kBox);
  fs::remove_all(dir);

  std::thread client([&] { App("submit -d gone -o document-format=image/pwg-raster " + file); });
  std::string state;
  for (int i = 0; i < 300 && (state = PrinterAttribute("gone", "printer-state")) != "stopped"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(state, "stopped");
  EXPECT_EQ(PrintFile("still_here", file, "image/pwg-raster", "-o media=iso_a4_210x297mm"), "completed");
  EXPECT_EQ(LastStream(other).pages.size(), 1u);

  EXPECT_EQ(App("cancel -d gone").status, 0);
  client.join();
  EXPECT_EQ(WaitForJobs("gone"), "canceled");
  EXPECT_FALSE(fs::exists(device));
  fs::create_directories(dir);
  std::ofstream{device};
  EXPECT_EQ(PrintFile("gone", file, "image/pwg-raster", "-o media=iso_a4_210x297mm"), "completed");
  EXPECT_EQ(LastStream(device).pages.size(), 1u);
}

// A raster job sent while another streams is turned away busy, as a
// streamed raster cannot wait; sent again, as CUPS' IPP backend does, it
// prints after the first: two whole streams. A job cancelled while the
// engine prints it leaves the printer idle with nothing spooled, and the
// next job prints whole.
TEST_F(AppServer, RasterJobsOneAfterTheOtherAndAfterACancel) {
  const std::string device = AddPrinter("in_turn", "gdimled");
  constexpr unsigned kLong = 12;  // pages large enough to leave the device page by page
  const std::string first = gDir + "/in_turn.pwg", second = gDir + "/in_turn_second.pwg";
  WritePwg(first, "iso_a4_210x297mm", "sgray_8", kLong, Box{600, 600, 3000, 4000, 128, 128, 128});
  WritePwg(second, "iso_a4_210x297mm", "sgray_8", 2, kBox);
  auto Streams = [&] {
    const std::string all = ReadAll(device);
    std::vector<std::string> out;
    for (std::size_t at = 0, next; at < all.size(); at = next)
      out.push_back(all.substr(at, (next = std::min(all.find(Preamble(), at + 1), all.size())) - at));
    return out;
  };
  auto Whole = [](const std::string& stream, unsigned pages, bool cancelled) {
    const PrinterStream st = ReadStream(stream);
    EXPECT_EQ(st.preamble, Preamble());
    EXPECT_LE(st.pages.size(), pages);
    EXPECT_EQ(st.pages.size() < pages, cancelled) << st.pages.size() << " pages";
    EXPECT_EQ(st.trailer, Trailer(stream.size() - st.trailer.size(), cancelled));
  };

  std::thread client(Submit, "in_turn", first, "-o media=iso_a4_210x297mm");
  EXPECT_TRUE(WaitForFirstPage(device));
  // The application's submit sub-command takes a refusal for success: the
  // job goes over IPP here, as a client's would.
  auto Send = [&] {
    ipp_t* r = Ask(IPP_OP_PRINT_JOB, "in_turn", {}, "image/pwg-raster", second.c_str());
    const ipp_status_t status = r ? ippGetStatusCode(r) : IPP_STATUS_ERROR_INTERNAL;
    ippDelete(r);
    return status;
  };
  // Saving the state while a printer refuses a job deadlocks PAPPL 1.3.1
  // (the two take the system's and the printer's locks in opposite
  // orders), so the server saves only between jobs: the refused job, a
  // change, is not saved while the first streams, however often the server
  // is asked, and is saved once it has ended.
  const std::string stateFile = gDir + "/rastertopwg2-app.state", saved = ReadAll(stateFile);
  EXPECT_EQ(Send(), IPP_STATUS_ERROR_BUSY) << "the second job was taken while the first streamed";
  for (int i = 0; i < 3; ++i) App("status");
  const std::string during = ReadAll(stateFile);
  if (ReadStream(ReadAll(device)).trailer.empty()) {  // the first job still streams
    EXPECT_TRUE(during == saved) << "the state was saved while a job streamed";
  }
  client.join();
  for (int i = 0; i < 100 && ReadAll(stateFile) == saved; ++i) {
    App("status");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(ReadAll(stateFile) != saved) << "the state was not saved once the job had ended";
  ipp_status_t status = IPP_STATUS_ERROR_BUSY;
  for (int tries = 0; tries < 100 && status == IPP_STATUS_ERROR_BUSY; ++tries) {
    status = Send();
    if (status == IPP_STATUS_ERROR_BUSY) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(status, IPP_STATUS_OK) << ippErrorString(status);
  EXPECT_EQ(WaitForJobs("in_turn"), "completed");
  std::vector<std::string> streams = Streams();
  ASSERT_EQ(streams.size(), 2u);
  Whole(streams[0], kLong, false);
  Whole(streams[1], 2, false);

  std::thread cancelled(Submit, "in_turn", first, "-o media=iso_a4_210x297mm");
  auto Printing = [&] {
    const std::vector<std::string> now = Streams();
    return now.size() == 3 && !ReadStream(now[2]).pages.empty();
  };
  for (int i = 0; i < 600 && !Printing(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(Printing());
  EXPECT_EQ(App("cancel -d in_turn").status, 0);
  cancelled.join();
  EXPECT_EQ(NewestJob("in_turn").state, "canceled");
  EXPECT_EQ(PrinterAttribute("in_turn", "printer-state"), "idle");
  EXPECT_EQ(Spooled(), std::vector<std::string>{});
  ASSERT_EQ(PrintFile("in_turn", second, "image/pwg-raster", "-o media=iso_a4_210x297mm"), "completed");
  streams = Streams();
  ASSERT_EQ(streams.size(), 4u);
  Whole(streams[2], kLong, true);
  Whole(streams[3], 2, false);
}

}  // namespace
