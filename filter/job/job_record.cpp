// Job milestones, job record and temporary-file overwrite.
#include "job_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
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

// The record file for reading and appending, opened without following a
// link; a FIFO, device or second name of another file in its place is not
// written to. Its mode is set on the open file, never through a name that
// may have become a link: readable and writable by all, as the status
// monitor of each user reads it, and never executable.
FILE* OpenRecordFile(const char* path) {
  int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    close(fd);
    return nullptr;
  }
  // Another user's file keeps its mode (the call fails); the line is still added.
  (void)fchmod(fd, 0666);
  FILE* f = fdopen(fd, "a+");
  if (!f) close(fd);
  return f;
}

// One value as one CSV field that stays on its line: control characters
// become visible escapes (a newline from a title would start a record of
// its own), and a value with a comma or a double quote is quoted with its
// quotes doubled, so it cannot add fields either.
std::string CsvField(const char* value) {
  const std::string text = EscapeControls(value);
  if (text.find_first_of(",\"") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  return quoted + "\"";
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

void WriteLog(const char* LogPath, const LOGRecord* RecJob) {
  static const char FUNCNAME[] = "WriteLog";
  FILE* f = OpenRecordFile(LogPath);
  struct stat st {};
  long long size = 0;
  if (f && fstat(fileno(f), &st) == 0) {
    size = static_cast<long long>(st.st_size);
  } else {
    DbgMessage(FUNCNAME, "get file size fail!");
  }
  DbgMessage(FUNCNAME, "size = %9jd", static_cast<intmax_t>(size));

  int index = 0;
  if (f) {
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

      // The time stamp holds its comma on purpose (two fields); every other
      // field is one CSV field.
      int n = std::snprintf(buf.get(), kBufSize, "%d,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,\n", index,
                            RecJob->Timestamp, CsvField(RecJob->LogType).c_str(),
                            CsvField(RecJob->JobType).c_str(), CsvField(RecJob->Name).c_str(),
                            CsvField(RecJob->BigSizePages).c_str(), CsvField(RecJob->SmallSizePages).c_str(),
                            CsvField(RecJob->JobStatus).c_str(), CsvField(RecJob->FWVersion).c_str(),
                            CsvField(RecJob->DrumSN).c_str(), CsvField(RecJob->TonerSN).c_str(),
                            CsvField(RecJob->DeveloperSN).c_str());
      DbgMessage(FUNCNAME, "%s", buf.get());
      std::fseek(f, 0, SEEK_END);
      if (n > 0)
        std::fwrite(buf.get(), 1, std::min<std::size_t>(static_cast<std::size_t>(n), kBufSize - 1), f);
    }
    std::fclose(f);
  }
  DbgMessage(FUNCNAME, "Count = %d", index);
}

void WriteJobRecord(const JobConfig& config, const PrinterLink& link, const PageLoopState& loop,
                    bool cancelled) {
  static const char FUNCNAME[] = "main";
  const PrinterAttribute& printer = link.Selected();
  if (printer.PrinterName[0] == '\0') return;

  std::time_t now = 0;
  std::tm tm = LocalNow(&now);
  LOGRecord RecJob{};
  char LogPath[128] = {};
  Format(LogPath, "%s/%s_LOG.csv", config.Toolfd, printer.PrinterName);
  DbgMessage(FUNCNAME, "LogPath = %s", LogPath);

  Format(RecJob.Timestamp, "%d,%d-%d-%d %d:%d:%d", static_cast<int>(static_cast<std::int32_t>(now)),
         tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  Format(RecJob.LogType, "%d", 1);
  Format(RecJob.JobType, "%s", "PRINT");

  const char* user = config.user ? config.user : "";
  const char* title = config.title ? config.title : "";
  const char* slash = std::strrchr(title, '/');
  const char* filename = slash ? slash + 1 : title;
  DbgMessage(FUNCNAME, "filename = %s", filename);
  DbgMessage(FUNCNAME, "s len = %d", static_cast<int>(std::strlen(filename)));
  DbgMessage(FUNCNAME, "argv[2] len = %d", static_cast<int>(std::strlen(user)));
  Format(RecJob.Name, "%s-%s", user, filename);
  DbgMessage(FUNCNAME, "RecJob.Name = %s", RecJob.Name);

  Format(RecJob.BigSizePages, "%d", loop.BigSizePages);
  Format(RecJob.SmallSizePages, "%d", loop.SmallSizePages);
  Format(RecJob.JobStatus, "%s", cancelled ? "Canceled" : "Completed");
  Format(RecJob.FWVersion, "%s", "2244120584");
  DbgMessage(FUNCNAME, "save seriel number info");
  // Serials are at most 40 characters in the record; the fields hold 32.
  const PrinterCapability& cap = link.PrnCapInfo;
  if (cap.DrumNum) Format(RecJob.DrumSN, "%.40s", cap.DrumSN[0]);
  if (cap.TonerNum) Format(RecJob.TonerSN, "%.40s", cap.TonerSN[0]);
  if (cap.DeveloperNum) Format(RecJob.DeveloperSN, "%.40s", cap.DeveloperSN[0]);
  WriteLog(LogPath, &RecJob);
}
