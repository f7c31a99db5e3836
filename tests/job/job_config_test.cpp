// Filter entry and job configuration: arguments, PPD attributes, the CUPS
// destination and the printer's capability bytes.
#include "job_config.h"

#include <set>

#include "capability.h"
#include "filter_job.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// A job run in process that leaves no descriptor open, whichever way it
// ends: a printer application runs one job after another in one process.
JobResult RunJobKeepingNoDescriptor(const std::vector<std::string>& args, const std::string& ppd = "") {
  auto open = [] {
    std::multiset<std::string> targets;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
      targets.insert(std::filesystem::read_symlink(e.path()).string());
    return targets;
  };
  const std::multiset<std::string> before = open();
  JobResult r = RunJobArgs(args, ppd);
  EXPECT_EQ(open(), before) << args.back();
  return r;
}

}  // namespace

TEST(FilterEntry, WrongArgumentCountsAndUnreadableFilesExitWith1AndLeaveNothingOpen) {
  PrivateRoot root;
  const std::string usage = "Usage: FILTER JOD_ID USERNAME DOC_TITLE COPIES OPTIONS [FILENAME]\n";
  for (const auto& args : {std::vector<std::string>{"q", "1", "u", "t", "1"},
                           std::vector<std::string>{"q", "1", "u", "t", "1", "", "f", "extra"}}) {
    JobResult r = RunJobKeepingNoDescriptor(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
  }
  JobResult r = RunJobKeepingNoDescriptor({"q", "1", "u", "t", "1", "", root.Path("/missing.ras")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(LinesWith(r.err, "ERROR: Unable to open print file: No such file or directory").size(), 1u);

  // Data that is not a raster stream fails the job; an empty input is a job
  // without pages.
  const std::string raster = ReadFile(MakeRaster(root.Path("/ok.ras"), {"--res", "100"}));
  const std::pair<std::string, int> inputs[] = {
      {"\x13\x37random bytes, not a raster", 1}, {"RaS9" + raster.substr(4), 1}, {"", 0}};
  for (const auto& [data, status] : inputs) {
    WriteFile(root.Path("/in.bin"), data);
    r = RunJobKeepingNoDescriptor({"q", "1", "u", "t", "1", "", root.Path("/in.bin")}, root.Path("/no.ppd"));
    EXPECT_EQ(r.status, status) << data.size();
    EXPECT_EQ(LinesWith(r.err, "ERROR: The print data is not a CUPS raster stream").size(), status ? 1u : 0u);
    EXPECT_TRUE(!status || r.out.empty()) << "a failed job writes nothing to the printer";
  }
}

TEST(FilterEntry, SixArgumentsReadStandardInputAndTheTonerMarkerIsAnnouncedWithoutALevel) {
  PrivateRoot root;
  const std::string ras =
      MakeRaster(root.Path("/in.ras"), {"--pages", "2", "--res", "100", "--content", "black"});
  const std::string ppd = MakePpd(root.Path("/s.ppd"));
  JobResult r = RunCommand("RASTERTOPWG2_ROOT=" + root.dir() + " PPD=" + ppd + " " + RASTERTOPWG2_BIN +
                           " 1 alice t 1 '' < " + ras);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadStream(r.out).pages.size(), 2u);
  EXPECT_EQ(LinesWith(r.err, "ATTR:"),
            (std::vector<std::string>{"ATTR: marker-types=toner", "ATTR: marker-names=toner",
                                      "ATTR: marker-colors=#000000", "ATTR: marker-high-levels=100",
                                      "ATTR: marker-low-levels=0", "ATTR: marker-message='Printer Info'"}));
}

TEST(JobConfig, SaveFileBackendDestinationIgnoresTheStatusMonitor) {
  auto opt = [](const char* n, const char* v) {
    return cups_option_t{const_cast<char*>(n), const_cast<char*>(v)};
  };
  cups_option_t file[2] = {opt("printer-info", "x"), opt("device-uri", "SaveFileBackend:/out")};
  cups_option_t socket[1] = {opt("device-uri", "socket://10.0.0.1")};
  cups_dest_t dests[2] = {{const_cast<char*>("otherq"), nullptr, 0, 1, socket},
                          {const_cast<char*>("q"), nullptr, 0, 2, file}};
  JobConfig job, plain;
  ScanDestinations(job, "q", dests, 2);
  EXPECT_EQ(job.monitorUse, MonitorUse::JobToFile);
  EXPECT_STREQ(job.PrinterPortName, "SaveFileBackend:/out");
  ScanDestinations(plain, "otherq", dests, 2);
  EXPECT_EQ(plain.monitorUse, MonitorUse::Used);
  EXPECT_STREQ(plain.PrinterPortName, "socket://10.0.0.1");
}

namespace {

// The capability bytes a job for queue q obtains without a status library.
std::pair<int, int> Capability(const char* q, DWORD driverFeature, MonitorUse use, FILE* err = stderr) {
  PrinterCapability cap{};
  ObtainCapability(StatusLibrary{}, PrinterAttribute{}, use, driverFeature, q, cap, err);
  return {cap.Feature[0], cap.Feature[1]};
}

}  // namespace

TEST(Capability, TheQueuesFileAndThePpdsFeatureBitsGiveTheCapability) {
  PrivateRoot root;
  WriteFile(root.Path("/tmp/raw.dat"),
            {static_cast<char>(F0_RAW_DATA | F0_JBIG | F0_CHECKSUM | F0_LSU), 0x20});
  WriteFile(root.Path("/tmp/short.dat"), "\x08");
  WriteFile(root.Path("/tmp/PRN.dat"), "\x04\x02");
  WriteFile(root.Path("/tmp/.._escape.dat"), "\x01");
  std::filesystem::create_symlink(root.Path("/tmp/raw.dat"), root.Path("/tmp/link.dat"));
  // Planted by someone else: a FIFO (never waited on), a file anyone may
  // write, a second link to a file; none of their bytes count.
  mkfifo(root.Path("/tmp/fifo.dat").c_str(), 0644);
  WriteFile(root.Path("/tmp/open.dat"), "\x40\x01");
  chmod(root.Path("/tmp/open.dat").c_str(), 0666);
  WriteFile(root.Path("/tmp/linked.dat"), "\x40\x01");
  link(root.Path("/tmp/linked.dat").c_str(), root.Path("/tmp/linked2.dat").c_str());
  constexpr MonitorUse U = MonitorUse::Used, F = MonitorUse::JobToFile;
  const struct {
    const char* queue;
    DWORD driverFeature;
    MonitorUse use;
    std::pair<int, int> feature;
  } cases[] = {
      {"raw", 0, U, {F0_RAW_DATA | F0_LSU, 0x20}},  // raw data: no JBIG, no checksum
      {"nofile", DF_DISABLE_COMPRESS, U, {F0_RAW_DATA, 0}},
      {"short", DF_DISABLE_COMPRESS, U, {0x08, 0}},  // the file's bytes come after the PPD's
      {"raw", 0, F, {0x04, 0x02}},                   // a file backend: the printer-less file
      {"../escape", 0, U, {0x01, 0}},                // a queue name cannot leave /tmp
      {"link", 0, U, {0, 0}},                        // a planted link is not followed
      {"fifo", 0, U, {0, 0}},
      {"open", 0, U, {0, 0}},
      {"linked", 0, U, {0, 0}},
      {"nofile", DF_ZQ3_CHIP | DF_A3, U, {F0_IMPR, 0}},
      {"nofile", DF_ZQ3_CHIP, U, {0, 0}},
      {"nofile", DF_A3, U, {0, 0}},
      {"nofile", DF_IMPR, U, {F0_IMPR, 0}},
  };
  FILE* err = std::tmpfile();
  for (const auto& c : cases)
    EXPECT_EQ(Capability(c.queue, c.driverFeature, c.use, err), c.feature)
        << c.queue << " " << c.driverFeature;
  const std::string warned = Slurp(err);
  std::fclose(err);
  for (const char* why : {"link.dat: a symbolic link", "fifo.dat: not a regular file",
                          "open.dat: writable by other users", "linked.dat: a hard link"})
    EXPECT_EQ(LinesWith(warned, why).size(), 1u) << why << warned;
}
