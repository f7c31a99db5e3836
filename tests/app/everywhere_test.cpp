// CUPS' IPP Everywhere conformance file run with ipptool against a
// monochrome and the colour printer of a private server, with the sample
// documents it names made here.
#include <cups/cups.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"

namespace {

using namespace app_test;
namespace fs = std::filesystem;

constexpr const char* kConformanceDir = "/usr/share/cups/ipptool";
// The file and the ones it includes: ipptool looks for the documents a
// test names beside the test file, so they are linked into a directory
// that holds the samples.
constexpr const char* kConformanceFiles[] = {"ipp-everywhere.test", "ipp-2.0.test", "ipp-1.1.test"};

// The raster samples made as real pages: the resolution and types our
// printers take. The file names samples at other resolutions and types
// as well, and ipptool stops at the first it cannot read, even in a test
// it skips; those get a raster with no page, and must be skipped.
const std::set<std::string> kRealSamples = {"600dpi/sgray-8", "600dpi/srgb-8"};
// The document of the file's plain Print-Job tests.
constexpr const char* kRealSample = "pwg-raster-samples-600dpi/sgray-8/onepage-a4-sgray-8-600dpi.pwg";

const char* MediaOf(const std::string& name) {
  if (name.find("4x6") != std::string::npos) return "na_index-4x6_4x6in";
  return name.find("letter") != std::string::npos ? "na_letter_8.5x11in" : "iso_a4_210x297mm";
}

// A one-page PDF with a black rectangle, of the media's size.
std::string OnePagePdf(const char* media) {
  const pwg_media_t* m = pwgMediaForPWG(media);
  const std::string content = "72 72 144 72 re f\n";
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(m->width * 72 / 2540) + " " +
          std::to_string(m->length * 72 / 2540) + "] /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream"};
  std::string pdf = "%PDF-1.4\n", xref;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t at = pdf.size();
  return pdf + "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n" + xref +
         "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(at) + "\n%%EOF\n";
}

// Writes every document the conformance files name into dir.
void WriteSamples(const std::string& dir) {
  const std::regex file(R"(^\s*FILE\s+([^$\s]\S*))"),
      sample(R"(pwg-raster-samples-(\d+dpi)/([a-z0-9-]+)/(.+)-[a-z]+-\d+-\d+dpi\.pwg)");
  const Box box{600, 600, 600, 300, 200, 40, 40};
  for (const char* name : kConformanceFiles) {
    std::ifstream in(std::string(kConformanceDir) + "/" + name);
    std::smatch m, s;
    for (std::string line; std::getline(in, line);) {
      if (!std::regex_search(line, m, file) || fs::exists(dir + "/" + m[1].str())) continue;
      const std::string path = dir + "/" + m[1].str();
      fs::create_directories(fs::path(path).parent_path());
      if (std::regex_search(path, s, sample) && kRealSamples.count(s[1].str() + "/" + s[2].str())) {
        std::string type = s[2];
        type[type.find('-')] = '_';
        const unsigned pages = s[3].str().compare(0, 8, "document") == 0 ? 2 : 1;
        WritePwg(path, MediaOf(s[3]), type.c_str(), pages, box);
      } else if (path.ends_with(".pwg")) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        cupsRasterClose(cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG));
        close(fd);
      } else if (path.ends_with(".pdf")) {
        std::ofstream(path) << OnePagePdf(MediaOf(path));
      } else {
        const pwg_media_t* media = pwgMediaForPWG(MediaOf(path));
        std::ofstream(path) << "%!PS-Adobe-3.0\n<< /PageSize [" << media->width * 72 / 2540 << " "
                            << media->length * 72 / 2540
                            << "] >> setpagedevice\n72 72 144 72 rectfill showpage\n";
      }
    }
  }
}

// The printer's URI on the server's local socket: libcups takes a host
// name that is a path as a local socket.
std::string PrinterUri(const std::string& printer) {
  std::string socket = gDir + "/rastertopwg2-app.sock";
  if (!fs::exists(socket)) socket = gDir + "/rastertopwg2-app" + std::to_string(getuid()) + ".sock";
  char uri[1024];
  httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, socket.c_str(), 0,
                  ("/ipp/print/" + printer).c_str());
  return uri;
}

Output Shell(const std::string& cmd) {
  Output o{-1, ""};
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return o;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) o.text.append(buf, n);
  const int rc = pclose(p);
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return o;
}

// Expectations of the conformance file that fail for reasons outside the
// application. Each must still be seen failing, so that an entry goes
// when its cause does.
constexpr struct {
  const char* expected;  // the start of ipptool's EXPECTED line
  const char* why;
} kKnownFailures[] = {
    // PAPPL 1.3.1 gives a local client its ipp URI only, and one
    // authentication value, but always both security values.
    {"printer-uri-supported (1 values) SAME-COUNT-AS uri-security-supported (2 values)",
     "PAPPL, local client"},
    {"uri-security-supported (2 values) SAME-COUNT-AS uri-authentication-supported (1 values)",
     "PAPPL, local client"},
    // PAPPL 1.3.1 lists job reasons up to warnings-detected only: a job
    // held by job-hold-until has none.
    {"job-state-reasons", "PAPPL, held job"},
    // Identify actions are the status callback's; they are not set yet.
    {"identify-actions-default WITH-VALUE", "identify not yet offered"},
    {"identify-actions-supported", "identify not yet offered"},
};

// ipptool's failed tests with their EXPECTED lines that are not known
// failures (a failed test that expected nothing it names counts whole),
// and the known failures seen.
std::string UnknownFailures(const std::string& output, std::set<std::string>& seen) {
  std::istringstream lines(output);
  std::string unknown, test, why;
  bool failed = false, expectedAny = false;
  const auto close = [&] {
    if (failed && (!why.empty() || !expectedAny)) unknown += test + "\n" + why;
    failed = expectedAny = false;
    why.clear();
  };
  for (std::string line; std::getline(lines, line);) {
    if (line.find("[PASS]") != std::string::npos || line.find("[SKIP]") != std::string::npos ||
        line.find("[FAIL]") != std::string::npos) {
      close();
      test = line;
      failed = line.find("[FAIL]") != std::string::npos;
      continue;
    }
    const std::size_t at = line.find("EXPECTED: ");
    if (!failed || at == std::string::npos) continue;
    expectedAny = true;
    bool known = false;
    for (const auto& k : kKnownFailures)
      if (line.compare(at + 10, std::strlen(k.expected), k.expected) == 0) {
        known = true;
        seen.insert(k.expected);
      }
    if (!known) why += line + "\n";
  }
  close();
  return unknown;
}

// Every test of the conformance file passes or is skipped, on a printer
// of each colour kind, but for the known failures; ipptool got to the
// end (it stops at a document it cannot read): samples were printed.
TEST_F(AppServer, PrintersPassIppEverywhereConformance) {
  const std::string work = gDir + "/everywhere";
  fs::create_directories(work);
  for (const char* name : kConformanceFiles)
    fs::create_symlink(std::string(kConformanceDir) + "/" + name, work + "/" + name);
  WriteSamples(work);
  const std::regex printTest(R"(^\s*Print .* @ (\d+dpi), ([a-z0-9-]+))");
  for (const char* model : {"gdimled", "gdicolor"}) {
    SCOPED_TRACE(model);
    const std::string printer = std::string("ev_") + model;
    AddPrinter(printer, model);
    // PAPPL counts printer-up-time in whole seconds from the printer's
    // creation, and the file wants it above 0.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // -I: go on after a failure, so that all of them are listed.
    const Output o = Shell("cd " + work + " && ipptool -tI -V 2.0 -f " + kRealSample + " '" +
                           PrinterUri(printer) + "' ipp-everywhere.test");
    std::set<std::string> seen;
    EXPECT_EQ(UnknownFailures(o.text, seen), "") << o.text;
    for (const auto& k : kKnownFailures)
      EXPECT_TRUE(seen.count(k.expected)) << "no longer fails (" << k.why << "): " << k.expected;
    EXPECT_EQ(o.status == 0, o.text.find("[FAIL]") == std::string::npos) << o.text;
    std::istringstream lines(o.text);
    unsigned printed = 0;
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (!std::regex_search(line, m, printTest)) continue;
      if (kRealSamples.count(m[1].str() + "/" + m[2].str()))
        printed += line.find("[PASS]") != std::string::npos;
      else
        EXPECT_NE(line.find("[SKIP]"), std::string::npos) << "a sample without pages was sent: " << line;
    }
    EXPECT_GT(printed, 0u) << o.text;
    EXPECT_NE(WaitForJobs(printer), "timeout");
  }
}

}  // namespace
