// The engine in the printer application's process: its raster from a pipe
// the job's thread writes, its printer stream through a pipe to the device
// on a thread of its own, its scheduler lines into the job log, and
// the job's cancel looked at by the engine itself: the signals stay the
// server's.
#include "engine_run.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "filter_job.h"

namespace {

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

enum class PumpEnd { kEndOfStream, kDeviceFailed, kEngineHung };

// How long a cancelled engine may take to finish its page block and write
// the cancel trailer before the stream is cut.
constexpr auto kCancelGrace = std::chrono::seconds(30);

// Copies the engine's printer stream to the device until it ends or the
// device fails. A cancelled job is still copied to its end: the engine
// finishes the page block it is in and closes the printer's job, which a
// printer left in the middle of a page would not get.
PumpEnd Pump(pappl_job_t* job, pappl_device_t* device, int fd, const std::atomic<bool>& abandoned) {
  char buffer[65536];
  std::optional<std::chrono::steady_clock::time_point> cancelDeadline;
  for (;;) {
    if (!cancelDeadline && (abandoned || papplJobIsCanceled(job)))
      cancelDeadline = std::chrono::steady_clock::now() + kCancelGrace;
    if (cancelDeadline && std::chrono::steady_clock::now() > *cancelDeadline) return PumpEnd::kEngineHung;
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

// The streams one run owns: the printer stream's pipe, the engine's
// message stream and its arguments.
struct EngineRun::Streams {
  explicit Streams(pappl_job_t* job) : log(job) {}
  EngineLog log;
  FILE* out = nullptr;  // the engine's end of the printer stream
  FILE* err = nullptr;
  int in = -1;  // the pump's end
  std::vector<std::string> args;
  std::vector<char*> argv;
  std::string ppdPath;
};

EngineRun::EngineRun(pappl_job_t* job, pappl_device_t* device) : job_(job), device_(device) {}

EngineRun::~EngineRun() {
  if (engine_.joinable() || pump_.joinable()) Finish();
}

bool EngineRun::Start(const std::vector<std::string>& args, const std::string& ppdPath, int rasterFd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "No pipe for the printer stream: %s", std::strerror(errno));
    return false;
  }
  streams_ = std::make_unique<Streams>(job_);
  Streams& s = *streams_;
  s.in = fds[0];
  s.out = fdopen(fds[1], "w");
  s.err = fopencookie(&s.log, "w", cookie_io_functions_t{nullptr, &EngineLog::Write, nullptr, nullptr});
  if (!s.out || !s.err) {
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "No stream for the engine: %s", std::strerror(errno));
    if (s.out)
      std::fclose(s.out);
    else
      close(fds[1]);
    if (s.err) std::fclose(s.err);
    close(s.in);
    streams_.reset();
    return false;
  }
  s.args = args;
  for (std::string& a : s.args) s.argv.push_back(a.data());
  s.argv.push_back(nullptr);
  s.ppdPath = ppdPath;

  engine_ = std::thread([this, rasterFd] {
    Streams& s = *streams_;
    JobRun run;
    run.argc = static_cast<int>(s.args.size());
    run.argv = s.argv.data();
    run.ppdPath = s.ppdPath.c_str();
    run.out = s.out;
    run.err = s.err;
    run.isCancelled = [this] { return abandoned_ || papplJobIsCanceled(job_); };
    run.noScheduler = true;
    status_ = RunFilterJobWith(run);
    std::fclose(s.out);
    if (rasterFd >= 0) close(rasterFd);
    engineDone_ = true;
  });
  pump_ = std::thread([this] {
    pumpEnd_ = static_cast<int>(Pump(job_, device_, streams_->in, abandoned_));
    // A failed device or an engine that does not end stops the reading:
    // the engine's next write fails, and it ends its job as on a broken
    // printer stream.
    close(streams_->in);
    pumpDone_ = true;
  });
  return true;
}

int EngineRun::Finish() {
  if (!streams_) return 1;
  if (pump_.joinable()) pump_.join();
  if (engine_.joinable()) engine_.join();
  std::fclose(streams_->err);
  streams_->log.Flush();
  streams_.reset();
  papplDeviceFlush(device_);

  const auto end = static_cast<PumpEnd>(pumpEnd_);
  if (end == PumpEnd::kDeviceFailed) {
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "The printer stopped taking data");
    papplJobSetMessage(job_, "The printer stopped taking data");
    return 1;
  }
  if (end == PumpEnd::kEngineHung) {
    papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "The cancelled job did not end; its printer stream was cut");
    return 1;
  }
  if (abandoned_) return 1;
  return papplJobIsCanceled(job_) ? 0 : status_;
}
