// CUPS' IPP Everywhere conformance file run with ipptool against a
// monochrome and the colour printer of a private server, with the sample
// documents it names made here.
#include <cups/cups.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "app_server.h"

namespace {

using namespace app_test;
namespace fs = std::filesystem;

// The file and the ones it includes: ipptool looks for the documents a
// test names beside the test file, so they are linked into a directory
// that holds the samples.
constexpr const char* kConformanceDir = "/usr/share/cups/ipptool/";
constexpr const char* kConformanceFiles[] = {"ipp-everywhere.test", "ipp-2.0.test", "ipp-1.1.test"};

// The raster samples made as real pages: the resolution and types our
// printers take. ipptool stops at the first document it cannot read, even
// in a test it skips: the other samples are rasters with no page, and
// their tests must be skipped.
const std::set<std::string> kRealSamples = {"600dpi/sgray-8", "600dpi/srgb-8"};
constexpr const char* kPlainDocument = "pwg-raster-samples-600dpi/sgray-8/onepage-a4-sgray-8-600dpi.pwg";

// Expectations that fail for reasons outside the application; each must
// still be seen failing, so that an entry goes when its cause does.
constexpr const char* kKnownFailures[] = {
    // PAPPL 1.3.1 gives a local client its ipp URI only and one
    // authentication value, but always both security values.
    "printer-uri-supported (1 values) SAME-COUNT-AS uri-security-supported (2 values)",
    "uri-security-supported (2 values) SAME-COUNT-AS uri-authentication-supported (1 values)",
    // PAPPL 1.3.1 lists job reasons up to warnings-detected: a job held by
    // job-hold-until has none.
    "job-state-reasons",
};

// Writes every document the conformance files name into dir.
void WriteSamples(const std::string& dir) {
  const std::regex file(R"(^\s*FILE\s+([^$\s]\S*))"),
      sample(R"(samples-(\d+dpi)/([a-z]+)-(\d+)/(.+)-[a-z]+-\d+-\d+dpi\.pwg)");
  for (const char* name : kConformanceFiles) {
    std::ifstream in(kConformanceDir + std::string(name));
    std::smatch m, s;
    for (std::string line; std::getline(in, line);) {
      if (!std::regex_search(line, m, file) || fs::exists(dir + "/" + m[1].str())) continue;
      const std::string path = dir + "/" + m[1].str();
      const char* media = path.find("4x6") != std::string::npos      ? "na_index-4x6_4x6in"
                          : path.find("letter") != std::string::npos ? "na_letter_8.5x11in"
                                                                     : "iso_a4_210x297mm";
      fs::create_directories(fs::path(path).parent_path());
      if (std::regex_search(path, s, sample) &&
          kRealSamples.count(s[1].str() + "/" + s[2].str() + "-" + s[3].str())) {
        WritePwg(path, media, (s[2].str() + "_" + s[3].str()).c_str(),
                 s[4].str().starts_with("document") ? 2 : 1, Box{600, 600, 600, 300, 200, 40, 40});
      } else if (path.ends_with(".pwg")) {
        std::ofstream(path, std::ios::binary) << "RaS2";  // a raster with no page
      } else {  // a one-page PDF or PostScript document with a black bar
        const pwg_media_t* size = pwgMediaForPWG(media);
        const Output gs = Shell("gs -q -dNOPAUSE -dBATCH -sDEVICE=" +
                                std::string(path.ends_with(".pdf") ? "pdfwrite" : "ps2write") + " -o " +
                                path + " -dDEVICEWIDTHPOINTS=" + std::to_string(size->width * 72 / 2540) +
                                " -dDEVICEHEIGHTPOINTS=" + std::to_string(size->length * 72 / 2540) +
                                " -dFIXEDMEDIA -c '72 72 144 72 rectfill showpage'");
        ASSERT_EQ(gs.status, 0) << gs.text;
      }
    }
  }
}

// ipptool's failed tests with their EXPECTED lines that are not known
// failures (a failed test that names no expectation counts whole); the
// known failures seen are added to seen.
std::string UnknownFailures(const std::string& output, std::set<std::string>& seen) {
  std::istringstream lines(output);
  std::string unknown, test, why;
  bool failed = false, expectedAny = false;
  const std::regex verdict(R"(\[(PASS|SKIP|FAIL)\]$)");
  const auto endTest = [&] {
    if (failed && (!why.empty() || !expectedAny)) unknown += test + "\n" + why;
    failed = expectedAny = false;
    why.clear();
  };
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, verdict)) {
      endTest();
      test = line;
      failed = line.ends_with("[FAIL]");
    } else if (const std::size_t at = line.find("EXPECTED: "); failed && at != std::string::npos) {
      expectedAny = true;
      const std::string expected = line.substr(at + 10);
      const auto k = std::find_if(std::begin(kKnownFailures), std::end(kKnownFailures),
                                  [&](const char* known) { return expected.starts_with(known); });
      if (k != std::end(kKnownFailures))
        seen.insert(*k);
      else
        why += line + "\n";
    }
  }
  endTest();
  return unknown;
}

// Every test of the conformance file passes or is skipped on a printer of
// each colour kind, but for the known failures; ipptool got to the end of
// the file and printed the samples.
TEST_F(AppServer, PrintersPassIppEverywhereConformance) {
  const std::string work = gDir + "/everywhere";
  fs::create_directories(work);
  for (const char* name : kConformanceFiles)
    fs::create_symlink(kConformanceDir + std::string(name), work + "/" + name);
  WriteSamples(work);
  const std::string socket = Socket();
  const std::regex printTest(R"(^\s*Print .* @ (\d+dpi), ([a-z0-9-]+))");
  for (const char* model : {"gdimled", "gdicolor"}) {
    SCOPED_TRACE(model);
    const std::string printer = std::string("ev_") + model;
    AddPrinter(printer, model);
    // PAPPL counts printer-up-time in whole seconds from the printer's
    // creation, and the file wants it above 0.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    // libcups takes a host name that is a path as a local socket; -I goes
    // on after a failure, so that all of them are listed.
    char uri[1024];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, socket.c_str(), 0,
                    ("/ipp/print/" + printer).c_str());
    const Output o = Shell("cd " + work + " && ipptool -tI -V 2.0 -f " + kPlainDocument + " '" + uri +
                           "' ipp-everywhere.test");
    std::set<std::string> seen;
    EXPECT_EQ(UnknownFailures(o.text, seen), "") << o.text;
    for (const char* k : kKnownFailures) EXPECT_TRUE(seen.count(k)) << "no longer fails: " << k;
    EXPECT_NE(o.text.find("\nSummary: "), std::string::npos) << o.text;
    std::istringstream lines(o.text);
    unsigned printed = 0;
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
      if (!std::regex_search(line, m, printTest)) continue;
      if (kRealSamples.count(m[1].str() + "/" + m[2].str())) {
        printed += line.ends_with("[PASS]");
      } else {
        EXPECT_TRUE(line.ends_with("[SKIP]")) << "a sample without pages was sent: " << line;
      }
    }
    EXPECT_GT(printed, 0u) << o.text;
    // The file does not wait for its jobs; the server stops only when they
    // have ended.
    std::string state = "timeout";
    for (int minute = 0; minute < 5 && state == "timeout"; ++minute) state = WaitForJobs(printer);
    EXPECT_NE(state, "timeout");
  }
}

}  // namespace
