// Filter entry and job configuration: arguments, PPD attributes, options,
// destinations and the printer's capability bytes.
#include "job_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "feature_bits.h"
#include "filter_job.h"
#include "job_context.h"
#include "status_monitor.h"
#include "test_support.h"

using namespace testing_support;

namespace {

JobResult RunWithArgs(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  JobResult r;
  r.status = RunFilterJob(static_cast<int>(args.size()), argv.data(), nullptr, out, err);
  for (auto [f, s] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    std::fflush(f);
    std::rewind(f);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s->append(buf, n);
    std::fclose(f);
  }
  return r;
}

const char kUsage[] = "Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n";

// Stand-in for the status library's capability query.
int gQueryCalls = 0;
int gQueryResult = 0;
BYTE gLiveFeature[2] = {0x11, 0x22};
int FakeSendPrinterControl(char*, int code, void* buf, int len) {
  ++gQueryCalls;
  EXPECT_EQ(code, PRINT_QUERY_CAPABILITY);
  EXPECT_EQ(len, 1026);
  if (gQueryResult != 0) return gQueryResult;
  auto* cap = static_cast<PrinterCapability*>(buf);
  cap->Feature[0] = gLiveFeature[0];
  cap->Feature[1] = gLiveFeature[1];
  std::strcpy(cap->DrumSN[0], "DRUM-1");
  cap->DrumNum = 1;
  return 0;
}

struct FakeLibrary {
  FakeLibrary(int result) {
    gQueryCalls = 0;
    gQueryResult = result;
    fnSendPrinterControl = FakeSendPrinterControl;
  }
  ~FakeLibrary() { fnSendPrinterControl = nullptr; }
};

std::string CapFile(const PrivateRoot& root, const std::string& name) {
  return root.Path("/tmp/" + name);
}

}  // namespace

TEST(FilterEntry, WrongArgumentCountsPrintUsageOnStdoutAndExit1) {
  PrivateRoot root;
  JobResult five = RunWithArgs({"q", "1", "u", "t", "1"});
  EXPECT_EQ(five.status, 1);
  EXPECT_EQ(five.out, kUsage);
  JobResult eight = RunWithArgs({"q", "1", "u", "t", "1", "", "f", "extra"});
  EXPECT_EQ(eight.status, 1);
  EXPECT_EQ(eight.out, kUsage);
}

TEST(FilterEntry, UnreadableFileGivesErrorLineAndExit1) {
  PrivateRoot root;
  JobResult r = RunWithArgs({"q", "1", "u", "t", "1", "", root.Path("/missing.ras")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(LinesWith(r.err, "ERROR: Unable to open print file: No such file or directory").size(), 1u);
}

TEST(FilterEntry, SevenArgumentsReadTheFileAndSixReadStandardInput) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--pages", "2", "--res", "150", "--content", "black"});
  std::string ppd = MakePpd(root.Path("/s.ppd"));
  JobResult seven = RunJob(ppd, ras);
  EXPECT_EQ(seven.status, 0);
  EXPECT_EQ(LinesWith(seven.err, "CUPSpages = 2").size(), 1u);

  JobResult six =
      RunFilterProgram("RASTERTOPWG2_ROOT=" + root.dir() + " PPD=" + ppd, "1 alice t 1 '' < " + ras);
  EXPECT_EQ(six.status, 0);
  EXPECT_EQ(LinesWith(six.err, "CUPSpages = 2").size(), 1u);
  EXPECT_EQ(LinesWith(six.err, "ATTR: marker-levels=75").size(), 1u);
}

TEST(FilterEntry, StartUpWritesTheSevenMarkerLinesInOrder) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--res", "100"});
  JobResult r = RunJob("", ras);
  EXPECT_EQ(r.status, 0);
  auto attrs = LinesWith(r.err, "ATTR:");
  std::vector<std::string> expected = {
      "ATTR: marker-types=toner",           "ATTR: marker-names=toner", "ATTR: marker-colors=#000000",
      "ATTR: marker-high-levels=100",       "ATTR: marker-levels=75",   "ATTR: marker-low-levels=0",
      "ATTR: marker-message='Printer Info'"};
  EXPECT_EQ(attrs, expected);
}

TEST(JobConfig, MissingPpdGivesA4MaximumAndNoOptionalAttributes) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--res", "100"});
  JobResult r = RunJob("", ras);
  EXPECT_EQ(CountLinesEndingWith(r.err, "[--main--] MaxMediaWidth = 595.000000"), 1);
  EXPECT_EQ(CountLinesEndingWith(r.err, "[--main--] MaxMediaHeight = 842.000000"), 1);
  EXPECT_TRUE(LinesWith(r.err, "DriverVersion =").empty());
  EXPECT_TRUE(LinesWith(r.err, "cupsLEF =").empty());
  EXPECT_EQ(CountLinesEndingWith(r.err, "DriverFeature = 00000000"), 1);

  // With the attributes present, strings and numbers are traced as read.
  std::string ppd = MakePpd(root.Path("/s.ppd"), {{"Toolfd", "/var/log/x"}, {"cupsLEF", "16"}});
  JobResult p = RunJob(ppd, ras);
  EXPECT_EQ(CountLinesEndingWith(p.err, "[--main--] MaxMediaWidth = 612.000000"), 1);
  EXPECT_EQ(CountLinesEndingWith(p.err, "Toolfd = /var/log/x"), 1);
  EXPECT_EQ(CountLinesEndingWith(p.err, "cupsLEF = 16"), 1);
}

TEST(JobConfig, DriverFeatureTableTracesEveryBitBetweenDashLines) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--res", "100"});
  auto table = [&](const std::string& value) {
    std::string ppd = MakePpd(root.Path("/f.ppd"), {{"DriverFeature", value}});
    std::string err = RunJob(ppd, ras).err;
    std::size_t start = err.rfind('\n', err.find("DriverFeature = ")) + 1;
    std::vector<std::string> lines;
    std::istringstream in(err.substr(start));
    std::string line;
    while (std::getline(in, line) && lines.size() < 17) lines.push_back(line.substr(line.find("--] ") + 4));
    return lines;
  };
  std::vector<std::string> zero = table("0");
  std::vector<std::string> expected = {"DriverFeature = 00000000",
                                       std::string(45, '-'),
                                       "Disable Compress = 0",
                                       "Border filter = 0",
                                       "BCP Mode 0 = 0",
                                       "BCP Mode 1 = 0",
                                       "Abort job when error = 0",
                                       "Disconnection detect = 0",
                                       "Disable status monitor = 0",
                                       "Hidden watermark = 0",
                                       "halftone red color = 0",
                                       "IMPR = 0",
                                       "CMYK separate compress = 0",
                                       "ZQ3 Chip = 0",
                                       "A3 = 0",
                                       "Vordan = 0",
                                       std::string(45, '-')};
  EXPECT_EQ(zero, expected);

  std::vector<std::string> zq3 = table("16777216");
  expected[0] = "DriverFeature = 01000000";
  expected[13] = "ZQ3 Chip = 1";
  EXPECT_EQ(zq3, expected);
}

TEST(JobConfig, ZQ3AndA3SetImprOnceAndBit11Again) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--res", "100"});
  std::string both = MakePpd(root.Path("/a.ppd"), {{"DriverFeature", std::to_string(0x03000000)}});
  JobResult r = RunJob(both, ras);
  EXPECT_EQ(CountLinesEndingWith(r.err, "Setting IMPR"), 1);
  EXPECT_EQ(CountLinesEndingWith(r.err, "IMPR = 1"), 1);  // the capability table; the PPD's bit 11 is 0

  std::string three = MakePpd(root.Path("/b.ppd"), {{"DriverFeature", std::to_string(0x03000800)}});
  JobResult t = RunJob(three, ras);
  EXPECT_EQ(CountLinesEndingWith(t.err, "Setting IMPR"), 2);

  std::string zq3only = MakePpd(root.Path("/c.ppd"), {{"DriverFeature", std::to_string(0x01000000)}});
  EXPECT_EQ(CountLinesEndingWith(RunJob(zq3only, ras).err, "Setting IMPR"), 0);
}

TEST(JobConfig, OptionScanCollateAndLastNumberUp) {
  PrivateRoot root;
  std::string ras = MakeRaster(root.Path("/in.ras"), {"--res", "100"});
  JobResult r = RunJob("", ras, "COLLATE=TRUE number-up=2 number-up=4x");
  EXPECT_EQ(CountLinesEndingWith(r.err, "bCollate = 1"), 1);
  EXPECT_EQ(CountLinesEndingWith(r.err, "numUP = 4"), 1);
  EXPECT_EQ(CountLinesEndingWith(r.err, "num_options = 2"), 1);  // CUPS keeps the last of a name

  JobResult yes = RunJob("", ras, "Collate=yes");
  EXPECT_EQ(CountLinesEndingWith(yes.err, "bCollate = 0"), 1);
  EXPECT_EQ(CountLinesEndingWith(yes.err, "numUP = 1"), 1);
}

TEST(JobConfig, SaveFileBackendDestinationIgnoresTheStatusMonitor) {
  FilterJob job;
  cups_option_t opts[2] = {{const_cast<char*>("printer-info"), const_cast<char*>("x")},
                           {const_cast<char*>("device-uri"), const_cast<char*>("SaveFileBackend:/out")}};
  cups_option_t other[1] = {{const_cast<char*>("device-uri"), const_cast<char*>("socket://10.0.0.1")}};
  cups_dest_t dests[2] = {};
  dests[0].name = const_cast<char*>("otherq");
  dests[0].num_options = 1;
  dests[0].options = other;
  dests[1].name = const_cast<char*>("q");
  dests[1].num_options = 2;
  dests[1].options = opts;
  ScanDestinations(job, "q", dests, 2);
  EXPECT_EQ(job.IgnorePSM, 2);
  EXPECT_STREQ(job.PrinterPortName, "SaveFileBackend:/out");

  FilterJob plain;
  ScanDestinations(plain, "otherq", dests, 2);
  EXPECT_EQ(plain.IgnorePSM, 0);
  EXPECT_STREQ(plain.PrinterPortName, "socket://10.0.0.1");
}

TEST(Capability, LiveQueryRewritesTheQueueFileAndALaterFailedQueryReadsItBack) {
  PrivateRoot root;
  {
    FakeLibrary lib(0);
    FilterJob job;
    ObtainCapability(job, "laser1");
    EXPECT_EQ(gQueryCalls, 1);
    EXPECT_EQ(job.PrnCapInfo.Feature[0], 0x11);
  }
  std::string file = ReadFile(CapFile(root, "laser1.dat"));
  ASSERT_EQ(file.size(), 1026u);
  EXPECT_EQ(static_cast<unsigned char>(file[0]), 0x11);
  EXPECT_EQ(static_cast<unsigned char>(file[1]), 0x22);
  EXPECT_EQ(file.substr(2, 6), "DRUM-1");
  EXPECT_EQ(file[494], 1);  // DrumNum, little-endian at 494

  FakeLibrary failing(5);
  FilterJob next;
  next.DriverFeature = DF_DISABLE_COMPRESS;  // the file's bytes replace the raw-data bit
  ObtainCapability(next, "laser1");
  EXPECT_EQ(gQueryCalls, 3);
  EXPECT_EQ(next.PrnCapInfo.Feature[0], 0x11);
  EXPECT_EQ(next.PrnCapInfo.Feature[1], 0x22);
  EXPECT_STREQ(next.PrnCapInfo.DrumSN[0], "DRUM-1");
}

TEST(Capability, DisableCompressWithoutFileGivesRawDataOnly) {
  PrivateRoot root;
  FilterJob job;
  job.DriverFeature = DF_DISABLE_COMPRESS;
  ObtainCapability(job, "nofile");
  EXPECT_EQ(job.PrnCapInfo.Feature[0], 0x40);
  EXPECT_EQ(job.PrnCapInfo.Feature[1], 0x00);

  // A successful live query is not touched by the PPD bit.
  FakeLibrary lib(0);
  FilterJob live;
  live.DriverFeature = DF_DISABLE_COMPRESS;
  ObtainCapability(live, "q");
  EXPECT_EQ(live.PrnCapInfo.Feature[0], 0x11);
}

TEST(Capability, RawDataClearsJbigAndChecksumInTheTrace) {
  PrivateRoot root;
  std::string file(1026, '\0');
  file[0] = static_cast<char>(F0_RAW_DATA | F0_JBIG | F0_CHECKSUM | F0_LSU);
  WriteFile(CapFile(root, "q.dat"), file);
  FilterJob job;
  ObtainCapability(job, "q");
  EXPECT_EQ(job.PrnCapInfo.Feature[0], F0_RAW_DATA | F0_LSU);
}

TEST(Capability, SaveFileBackendUsesThePrnFileAndSkipsTheLiveQuery) {
  PrivateRoot root;
  FakeLibrary lib(0);
  std::string file(1026, '\0');
  file[0] = 0x08;
  WriteFile(CapFile(root, "PRN.dat"), file);
  FilterJob job;
  job.IgnorePSM = 2;
  ObtainCapability(job, "q");
  EXPECT_EQ(gQueryCalls, 0);
  EXPECT_EQ(job.PrnCapInfo.Feature[0], 0x08);
}

TEST(Capability, ShortFileReplacesOnlyItsLength) {
  PrivateRoot root;
  WriteFile(CapFile(root, "q.dat"), std::string("\x08", 1));
  FilterJob job;
  job.PrnCapInfo.Feature[1] = 0x20;
  ObtainCapability(job, "q");
  EXPECT_EQ(job.PrnCapInfo.Feature[0], 0x08);
  EXPECT_EQ(job.PrnCapInfo.Feature[1], 0x20);
}

TEST(Capability, PlantedSymlinkIsNotFollowedAndQueueNameStaysInTmp) {
  PrivateRoot root;
  std::string victim = root.Path("/victim");
  WriteFile(victim, "keep");
  std::filesystem::create_symlink(victim, CapFile(root, "q.dat"));
  {
    FakeLibrary lib(0);
    FilterJob job;
    ObtainCapability(job, "q");
  }
  EXPECT_EQ(ReadFile(victim), "keep");

  FakeLibrary lib(0);
  FilterJob job;
  ObtainCapability(job, "../escape");
  EXPECT_FALSE(std::filesystem::exists(root.Path("/escape.dat")));
  EXPECT_TRUE(std::filesystem::exists(CapFile(root, ".._escape.dat")));
}
