// Job milestones, job record and temporary-file overwrite.
#include "job_record.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "paths.h"
#include "trace.h"

namespace {

std::tm LocalNow(std::time_t* out = nullptr) {
  std::time_t now = std::time(nullptr);
  if (out) *out = now;
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm;
}

bool FileSize(const char* path, long long& size) {
  struct stat st {};
  if (stat(path, &st) != 0) return false;
  size = static_cast<long long>(st.st_size);
  return true;
}

template <std::size_t N>
void Format(char (&dest)[N], const char* fmt, ...) __attribute__((format(printf, 2, 3)));

template <std::size_t N>
void Format(char (&dest)[N], const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(dest, N, fmt, ap);
  va_end(ap);
}

}  // namespace

BOOL WriteLog(const char* LogPath, const LOGRecord* RecJob) {
  static const char FUNCNAME[] = "WriteLog";
  long long size = 0;
  if (!FileSize(LogPath, size)) {
    DbgMessage(FUNCNAME, "get file size fail!");
    size = 0;
  }
  DbgMessage(FUNCNAME, "size = %9jd", static_cast<intmax_t>(size));
  chmod(LogPath, 0777);

  int index = 0;
  if (FILE* f = std::fopen(LogPath, "a+")) {
    constexpr std::size_t kBufSize = 1048576;
    DbgMessage(FUNCNAME, "alloc memory");
    std::fseek(f, 0, SEEK_SET);
    std::unique_ptr<char[]> buf(new (std::nothrow) char[kBufSize + 1]);
    if (buf) {
      std::size_t bufsize =
          size < static_cast<long long>(kBufSize) ? static_cast<std::size_t>(size) : kBufSize;
      DbgMessage(FUNCNAME, "bufsize = %d", static_cast<int>(bufsize));
      std::memset(buf.get(), 0, bufsize + 1);
      std::size_t got = std::fread(buf.get(), 1, bufsize, f);
      DbgMessage(FUNCNAME, "buf %x-%x", static_cast<unsigned char>(buf[0]),
                 static_cast<unsigned char>(buf[1]));
      // Count only the bytes actually read: the file may have shrunk.
      for (std::size_t i = 0; i < got; ++i)
        if (buf[i] == '\n') ++index;
      DbgMessage(FUNCNAME, "check finish");

      int n = std::snprintf(buf.get(), kBufSize, "%d,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,\n", index,
                            RecJob->Timestamp, RecJob->LogType, RecJob->JobType, RecJob->Name,
                            RecJob->BigSizePages, RecJob->SmallSizePages, RecJob->JobStatus,
                            RecJob->FWVersion, RecJob->DrumSN, RecJob->TonerSN, RecJob->DeveloperSN);
      DbgMessage(FUNCNAME, "%s", buf.get());
      std::fseek(f, 0, SEEK_END);
      if (n > 0) std::fwrite(buf.get(), 1, static_cast<std::size_t>(n), f);
    }
    std::fclose(f);
  }
  chmod(LogPath, 0777);
  DbgMessage(FUNCNAME, "Count = %d", index);
  return TRUE;
}

void WriteJobRecord(const FilterJob& job, const char* user, const char* title) {
  static const char FUNCNAME[] = "main";
  const PrinterAttribute& printer = job.Selected();
  if (printer.PrinterName[0] == '\0') return;

  std::time_t now = 0;
  std::tm tm = LocalNow(&now);
  LOGRecord RecJob{};
  char LogPath[128] = {};
  Format(LogPath, "%s/%s_LOG.csv", job.Toolfd, printer.PrinterName);
  DbgMessage(FUNCNAME, "LogPath = %s", LogPath);

  Format(RecJob.Timestamp, "%d,%d-%d-%d %d:%d:%d", static_cast<int>(static_cast<std::int32_t>(now)),
         tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  Format(RecJob.LogType, "%d", 1);
  Format(RecJob.JobType, "%s", "PRINT");

  if (!user) user = "";
  if (!title) title = "";
  const char* slash = std::strrchr(title, '/');
  const char* filename = slash ? slash + 1 : title;
  DbgMessage(FUNCNAME, "filename = %s", filename);
  DbgMessage(FUNCNAME, "s len = %d", static_cast<int>(std::strlen(filename)));
  DbgMessage(FUNCNAME, "argv[2] len = %d", static_cast<int>(std::strlen(user)));
  Format(RecJob.Name, "%s-%s", user, filename);
  DbgMessage(FUNCNAME, "RecJob.Name = %s", RecJob.Name);

  Format(RecJob.BigSizePages, "%d", job.BigSizePages);
  Format(RecJob.SmallSizePages, "%d", job.SmallSizePages);
  Format(RecJob.JobStatus, "%s", job.events.Cancelled() ? "Canceled" : "Completed");
  Format(RecJob.FWVersion, "%s", "2244120584");
  DbgMessage(FUNCNAME, "save seriel number info");
  // Serials are at most 40 characters in the record; the fields hold 32.
  const PrinterCapability& cap = job.PrnCapInfo;
  if (cap.DrumNum) Format(RecJob.DrumSN, "%.40s", cap.DrumSN[0]);
  if (cap.TonerNum) Format(RecJob.TonerSN, "%.40s", cap.TonerSN[0]);
  if (cap.DeveloperNum) Format(RecJob.DeveloperSN, "%.40s", cap.DeveloperSN[0]);
  WriteLog(LogPath, &RecJob);
}
