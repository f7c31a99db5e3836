// The engine in the printer application's process: its printer stream
// through a pipe to the device, its scheduler lines into the job log, and
// the signal dispositions it takes over for the length of its run.
#include "engine_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "filter_job.h"

namespace {

// The engine installs its own handlers of SIGTERM, SIGINT and SIGHUP, which
// cancel its jobs; the server's own (shut down, reopen the log) come back
// when the last engine run of the process has ended. Dispositions belong to
// the process, hence the one count for all jobs.
class EngineSignals {
 public:
  EngineSignals() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (runs_++ == 0)
      for (std::size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], nullptr, &saved_[i]);
  }
  ~EngineSignals() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--runs_ == 0)
      for (std::size_t i = 0; i < kCount; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
  }
  EngineSignals(const EngineSignals&) = delete;
  EngineSignals& operator=(const EngineSignals&) = delete;

 private:
  static constexpr std::size_t kCount = 3;
  static constexpr int kSignals[kCount] = {SIGTERM, SIGINT, SIGHUP};
  static inline std::mutex mutex_;
  static inline int runs_ = 0;
  static inline struct sigaction saved_[kCount];
};

// The engine's message stream: whole lines go to the job's log, an error
// also becomes the job's message for the client.
class EngineLog {
 public:
  explicit EngineLog(pappl_job_t* job) : job_(job) {}

  // Every thread of the engine writes here. stdio locks the stream around
  // each write already, but with a lock of its own that the thread checkers
  // cannot see; this one they can.
  static ssize_t Write(void* cookie, const char* data, std::size_t size) {
    auto* self = static_cast<EngineLog*>(cookie);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->partial_.append(data, size);
    std::size_t start = 0;
    for (std::size_t nl; (nl = self->partial_.find('\n', start)) != std::string::npos; start = nl + 1)
      self->Line(std::string_view(self->partial_).substr(start, nl - start));
    self->partial_.erase(0, start);
    return static_cast<ssize_t>(size);
  }
  // A last line without its line end.
  void Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial_.empty()) Line(partial_);
    partial_.clear();
  }

 private:
  void Line(std::string_view line) {
    const EngineLine l = ClassifyEngineLine(line);
    const int len = static_cast<int>(l.text.size());
    papplLogJob(job_, l.level, "%.*s", len, l.text.data());
    if (l.isError) papplJobSetMessage(job_, "%.*s", len, l.text.data());
  }

  pappl_job_t* job_;
  std::mutex mutex_;
  std::string partial_;
};

enum class PumpEnd { kEndOfStream, kCancelled, kDeviceFailed };

// Copies the engine's printer stream to the device until it ends, the job
// is cancelled or the device fails; looks at the cancel between reads.
PumpEnd Pump(pappl_job_t* job, pappl_device_t* device, int fd) {
  char buffer[65536];
  for (;;) {
    if (papplJobIsCanceled(job)) return PumpEnd::kCancelled;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, 200);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    const ssize_t n = ready < 0 ? -1 : read(fd, buffer, sizeof buffer);
    if (n == 0) return PumpEnd::kEndOfStream;
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Reading the printer stream failed: %s", std::strerror(errno));
      return PumpEnd::kDeviceFailed;
    }
    if (papplDeviceWrite(device, buffer, static_cast<std::size_t>(n)) < 0) return PumpEnd::kDeviceFailed;
  }
}

}  // namespace

EngineLine ClassifyEngineLine(std::string_view line) {
  static constexpr struct {
    std::string_view prefix;
    pappl_loglevel_t level;
  } kPrefixes[] = {
      {"ERROR: ", PAPPL_LOGLEVEL_ERROR}, {"WARNING: ", PAPPL_LOGLEVEL_WARN}, {"INFO: ", PAPPL_LOGLEVEL_INFO},
      {"PAGE: ", PAPPL_LOGLEVEL_INFO},   {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG},
  };
  for (const auto& p : kPrefixes)
    if (line.substr(0, p.prefix.size()) == p.prefix)
      return {p.level, line.substr(p.prefix.size()), p.level == PAPPL_LOGLEVEL_ERROR};
  return {PAPPL_LOGLEVEL_DEBUG, line, false};
}

int RunEngineToDevice(pappl_job_t* job, pappl_device_t* device, const std::vector<std::string>& args,
                      const std::string& ppdPath) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No pipe for the printer stream: %s", std::strerror(errno));
    return 1;
  }
  FILE* out = fdopen(fds[1], "w");
  EngineLog log(job);
  FILE* err = fopencookie(&log, "w", cookie_io_functions_t{nullptr, &EngineLog::Write, nullptr, nullptr});
  if (!out || !err) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "No stream for the engine: %s", std::strerror(errno));
    if (out)
      std::fclose(out);
    else
      close(fds[1]);
    if (err) std::fclose(err);
    close(fds[0]);
    return 1;
  }

  std::vector<std::string> argStrings(args);
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  int status = 1;
  PumpEnd end;
  {
    EngineSignals signals;
    std::thread engine([&] {
      status = RunFilterJob(static_cast<int>(argStrings.size()), argv.data(), ppdPath.c_str(), out, err);
      std::fclose(out);
    });
    end = Pump(job, device, fds[0]);
    // A cancelled job or a failed device stops the reading: the engine's
    // next write fails, and it ends its job as on a broken printer stream.
    close(fds[0]);
    engine.join();
  }
  std::fclose(err);
  log.Flush();
  papplDeviceFlush(device);

  if (end == PumpEnd::kDeviceFailed) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer stopped taking data");
    papplJobSetMessage(job, "The printer stopped taking data");
    return 1;
  }
  if (end == PumpEnd::kCancelled) return 0;
  return status;
}
