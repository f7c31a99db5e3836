// Filter entry and job configuration: arguments, PPD attributes, the CUPS
// destination and the printer's capability bytes.
#include "job_config.h"

#include "filter_job.h"
#include "status_monitor.h"
#include "test_support.h"

using namespace testing_support;

TEST(FilterEntry, WrongArgumentCountsAndUnreadableFilesExitWith1) {
  PrivateRoot root;
  const std::string usage = "Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n";
  for (const auto& args : {std::vector<std::string>{"q", "1", "u", "t", "1"},
                           std::vector<std::string>{"q", "1", "u", "t", "1", "", "f", "extra"}}) {
    JobResult r = RunJobArgs(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
  }
  JobResult r = RunJobArgs({"q", "1", "u", "t", "1", "", root.Path("/missing.ras")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(LinesWith(r.err, "ERROR: Unable to open print file: No such file or directory").size(), 1u);
}

TEST(FilterEntry, SixArgumentsReadStandardInputAndTheTonerMarkerIsAnnounced) {
  PrivateRoot root;
  const std::string ras =
      MakeRaster(root.Path("/in.ras"), {"--pages", "2", "--res", "100", "--content", "black"});
  const std::string ppd = MakePpd(root.Path("/s.ppd"));
  JobResult r =
      RunFilterProgram("RASTERTOPWG2_ROOT=" + root.dir() + " PPD=" + ppd, "1 alice t 1 '' < " + ras);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadStream(r.out).pages.size(), 2u);
  EXPECT_EQ(LinesWith(r.err, "ATTR:"),
            (std::vector<std::string>{"ATTR: marker-types=toner", "ATTR: marker-names=toner",
                                      "ATTR: marker-colors=#000000", "ATTR: marker-high-levels=100",
                                      "ATTR: marker-levels=75", "ATTR: marker-low-levels=0",
                                      "ATTR: marker-message='Printer Info'"}));
}

TEST(JobConfig, SaveFileBackendDestinationIgnoresTheStatusMonitor) {
  auto opt = [](const char* n, const char* v) {
    return cups_option_t{const_cast<char*>(n), const_cast<char*>(v)};
  };
  cups_option_t file[2] = {opt("printer-info", "x"), opt("device-uri", "SaveFileBackend:/out")};
  cups_option_t socket[1] = {opt("device-uri", "socket://10.0.0.1")};
  cups_dest_t dests[2] = {{const_cast<char*>("otherq"), nullptr, 0, 1, socket},
                          {const_cast<char*>("q"), nullptr, 0, 2, file}};
  FilterJob job, plain;
  ScanDestinations(job, "q", dests, 2);
  EXPECT_EQ(job.IgnorePSM, 2);
  EXPECT_STREQ(job.PrinterPortName, "SaveFileBackend:/out");
  ScanDestinations(plain, "otherq", dests, 2);
  EXPECT_EQ(plain.IgnorePSM, 0);
  EXPECT_STREQ(plain.PrinterPortName, "socket://10.0.0.1");
}

// --- Capability bytes ------------------------------------------------------

namespace {

// Stand-in for the status library's capability query.
int gQueryCalls = 0, gQueryResult = 0;
int FakeSendPrinterControl(char*, int code, void* buf, int len) {
  ++gQueryCalls;
  EXPECT_EQ(code, PRINT_QUERY_CAPABILITY);
  EXPECT_EQ(len, 1026);
  if (gQueryResult != 0) return gQueryResult;
  auto* cap = static_cast<PrinterCapability*>(buf);
  cap->Feature[0] = 0x11;
  cap->Feature[1] = 0x22;
  std::strcpy(cap->DrumSN[0], "DRUM-1");
  cap->DrumNum = 1;
  return 0;
}

// Loads the stand-in library for the lifetime of the object.
struct FakeLibrary {
  explicit FakeLibrary(int result) {
    gQueryCalls = 0;
    gQueryResult = result;
    fnSendPrinterControl = FakeSendPrinterControl;
  }
  ~FakeLibrary() { fnSendPrinterControl = nullptr; }
};

// The capability bytes a job for queue q obtains.
std::pair<int, int> Capability(const char* q, DWORD driverFeature = 0, int ignorePsm = 0) {
  FilterJob job;
  job.DriverFeature = driverFeature;
  job.IgnorePSM = ignorePsm;
  ObtainCapability(job, q);
  return {job.PrnCapInfo.Feature[0], job.PrnCapInfo.Feature[1]};
}

}  // namespace

TEST(Capability, LiveQueryRewritesTheQueueFileAndALaterFailedQueryReadsItBack) {
  PrivateRoot root;
  {
    FakeLibrary lib(0);
    EXPECT_EQ(Capability("laser1", DF_DISABLE_COMPRESS),
              std::make_pair(0x11, 0x22));  // not touched by the PPD
    EXPECT_EQ(gQueryCalls, 1);
  }
  const std::string file = ReadFile(root.Path("/tmp/laser1.dat"));
  ASSERT_EQ(file.size(), 1026u);
  EXPECT_EQ(file.substr(0, 8),
            "\x11\x22"
            "DRUM-1");
  EXPECT_EQ(file[494], 1);  // DrumNum, little-endian at 494

  FakeLibrary failing(5);
  FilterJob next;
  next.DriverFeature = DF_DISABLE_COMPRESS;  // the file's bytes replace the raw-data bit
  ObtainCapability(next, "laser1");
  EXPECT_EQ(gQueryCalls, 3);
  EXPECT_EQ(next.PrnCapInfo.Feature[0], 0x11);
  EXPECT_STREQ(next.PrnCapInfo.DrumSN[0], "DRUM-1");
}

TEST(Capability, FileBytesFeatureBitsAndTheirRules) {
  PrivateRoot root;
  WriteFile(root.Path("/tmp/raw.dat"),
            std::string(1, static_cast<char>(F0_RAW_DATA | F0_JBIG | F0_CHECKSUM | F0_LSU)) +
                std::string(1025, '\0'));
  WriteFile(root.Path("/tmp/PRN.dat"), std::string("\x04\x02", 2));
  {
    FakeLibrary lib(0);
    EXPECT_EQ(Capability("q", 0, 2), std::make_pair(0x04, 0x02));  // a file backend: no live query
    EXPECT_EQ(gQueryCalls, 0);
  }
  struct {
    const char* queue;
    DWORD driverFeature;
    std::pair<int, int> feature;
  } cases[] = {
      {"nofile", DF_DISABLE_COMPRESS, {F0_RAW_DATA, 0}},
      {"raw", 0, {F0_RAW_DATA | F0_LSU, 0}},  // raw data: no JBIG, no checksum
      {"nofile", DF_ZQ3_CHIP | DF_A3, {F0_IMPR, 0}},
      {"nofile", DF_ZQ3_CHIP, {0, 0}},
      {"nofile", DF_A3, {0, 0}},
      {"nofile", DF_IMPR, {F0_IMPR, 0}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Capability(c.queue, c.driverFeature), c.feature) << c.queue << " " << c.driverFeature;
}

TEST(Capability, PlantedSymlinkIsNotFollowedAndQueueNameStaysInTmp) {
  PrivateRoot root;
  const std::string victim = root.Path("/victim");
  WriteFile(victim, "keep");
  std::filesystem::create_symlink(victim, root.Path("/tmp/q.dat"));
  FakeLibrary lib(0);
  Capability("q");
  EXPECT_EQ(ReadFile(victim), "keep");
  Capability("../escape");
  EXPECT_FALSE(std::filesystem::exists(root.Path("/escape.dat")));
  EXPECT_TRUE(std::filesystem::exists(root.Path("/tmp/.._escape.dat")));
}
