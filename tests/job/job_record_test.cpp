// Job record CSV file with the page-size counts, and the overwrite of
// temporary files. A cancelled job's record and its serials: the cancel
// button's test.
#include "job_record.h"

#include "page_loop.h"
#include "paths.h"
#include "test_support.h"

using namespace testing_support;

namespace {

// A finished job's parts as the record reads them, its printer selected.
struct FinishedJob {
  JobConfig config;
  PrinterLink printer;
  PageLoopState loop;
  FinishedJob(const std::string& toolfd, const char* name) {
    std::snprintf(config.Toolfd, sizeof config.Toolfd, "%s", toolfd.c_str());
    std::strcpy(printer.myPrinters[0].PrinterName, name);
    printer.printerNumber = name[0] ? 1 : 0;
    printer.selectedPrinter = 0;
  }
  void Record(const char* user, const char* title, bool cancelled = false) {
    config.user = user;
    config.title = title;
    WriteJobRecord(config, printer, loop, cancelled);
  }
};

// Checks a record line: index, epoch seconds and local time, then the rest.
void ExpectRecord(const std::string& line, int index, const std::string& rest) {
  int i = -1, n = 0, y, mo, d, h, mi, se;
  long long epoch = 0;
  ASSERT_EQ(
      std::sscanf(line.c_str(), "%d,%lld,%4d-%d-%d %d:%d:%d%n", &i, &epoch, &y, &mo, &d, &h, &mi, &se, &n), 8)
      << line;
  EXPECT_EQ(i, index);
  EXPECT_GT(epoch, 1700000000LL);
  EXPECT_EQ(line.substr(n), rest) << line;
}

}  // namespace

TEST(JobRecord, FirstJobCreatesTheFileWithIndex0AndTheNextGetsIndex1) {
  PrivateRoot root;
  FinishedJob job(root.dir(), "laser1");
  for (auto [w, h] : {std::pair{595u, 842u}, {596u, 842u}, {842u, 1191u}}) {  // A4 is small, more is big
    job.loop.inheader.PageSize[0] = w;
    job.loop.inheader.PageSize[1] = h;
    CountPageSize(job.loop);
  }
  job.Record("alice", "/home/a/b/report.pdf");
  job.Record(std::string(300, 'u').c_str(), "plain title");  // the name field is cut to 128
  const std::string path = root.Path("/laser1_LOG.csv");
  const std::string csv = ReadFile(path);
  const std::size_t nl = csv.find('\n');
  ASSERT_NE(nl, std::string::npos);
  ExpectRecord(csv.substr(0, nl + 1), 0, ",1,PRINT,alice-report.pdf,2,1,Completed,2244120584,,,,\n");
  ExpectRecord(csv.substr(nl + 1), 1,
               ",1,PRINT," + std::string(128, 'u') + ",2,1,Completed,2244120584,,,,\n");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);  // readable and writable by all, never executable
}

TEST(JobRecord, NoSelectedPrinterWritesNothingTheIndexCountsLinesAndSpoolFilesAreZeroed) {
  PrivateRoot root;
  FinishedJob(root.dir(), "").Record("u", "t");
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(root.dir()), {}), 1);  // just tmp/

  const std::string path = root.Path("/p_LOG.csv");
  WriteFile(path, "a\nb\nc\n");
  LOGRecord rec{};
  WriteLog(path.c_str(), &rec);
  EXPECT_EQ(ReadFile(path).substr(6, 2), "3,");

  FILE* f = std::fopen(path.c_str(), "r+b");
  CleanOpenFile(f);
  std::fclose(f);
  const std::string zeroed = ReadFile(path);
  EXPECT_GT(zeroed.size(), 8u);
  EXPECT_EQ(zeroed.find_first_not_of('\0'), std::string::npos);
}
