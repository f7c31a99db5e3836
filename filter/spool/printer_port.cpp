// The printer stream's write primitive and failure state.
#include "printer_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "trace.h"

namespace {

// Longest sleep between two looks at the cancel while the backend is full.
constexpr int kStallLookMs = 200;

}  // namespace

PrinterPort::PrinterPort(JobEvents& events, FILE* out) : events_(events), out_(out) {
  fd_ = out ? fileno(out) : -1;
  struct stat st {};
  if (fd_ < 0 || fstat(fd_, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return;
  const int flags = fcntl(fd_, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK) && fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == 0)
    restoreFlags_ = flags;
}

PrinterPort::~PrinterPort() {
  CloseCopyFile();
  if (restoreFlags_ >= 0) fcntl(fd_, F_SETFL, restoreFlags_);
}

bool PrinterPort::WaitWritable(std::chrono::steady_clock::time_point progress) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point cancelSeen{};
  for (;;) {
    pollfd pfd{fd_, POLLOUT, 0};
    const int r = poll(&pfd, 1, kStallLookMs);
    // Room, a broken stream or a failed poll: the next write tells which.
    if (r > 0 || (r < 0 && errno != EINTR)) return true;
    if (!events_.Cancelled()) continue;
    const Clock::time_point now = Clock::now();
    if (cancelSeen == Clock::time_point{}) cancelSeen = now;
    if (now - std::max(progress, cancelSeen) >= kCancelledStall) return false;
  }
}

std::size_t PrinterPort::WriteAll(const char* data, std::size_t len, int* err) {
  static const char FUNCNAME[] = "WritePort";
  *err = 0;
  // Whatever stdio still holds of the stream goes first.
  if (std::fflush(out_) != 0) {
    *err = errno ? errno : EIO;
    return 0;
  }
  std::size_t done = 0;
  auto progress = std::chrono::steady_clock::now();
  while (done < len) {
    const ssize_t n = ::write(fd_, data + done, len - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      progress = std::chrono::steady_clock::now();
    } else if (n < 0 && errno == EINTR) {
      // The job's signal handlers do not restart calls: a signal only
      // interrupts, it must not cut the block.
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitWritable(progress)) {
        gaveUp_.store(true, std::memory_order_release);
        DbgMessage(FUNCNAME,
                   "job cancelled and the printer stream took nothing for %d s: given up after %zu of %zu "
                   "bytes, no trailer can be written",
                   static_cast<int>(kCancelledStall.count()), done, len);
        break;
      }
    } else {
      *err = n < 0 ? errno : EIO;
      break;
    }
  }
  return done;
}

std::size_t PrinterPort::Write(const void* data, std::size_t len) {
  const std::size_t written = Put(data, len);
  sent_.fetch_add(written, std::memory_order_acq_rel);
  return written;
}

void PrinterPort::WriteJclEscape() {
  const char esc = 0x1b;
  Put(&esc, 1);
}

std::size_t PrinterPort::Put(const void* data, std::size_t len) {
  static const char FUNCNAME[] = "WritePort";
  if (!data || len == 0) return 0;
  if (ended_.load(std::memory_order_acquire)) {
    DbgMessage(FUNCNAME, "printer stream ended inside a block, %zu bytes not written", len);
    return 0;
  }
  std::size_t written;
  int err = 0;
  if (fd_ >= 0) {
    written = WriteAll(static_cast<const char*>(data), len, &err);
  } else {
    errno = 0;
    written = std::fwrite(data, 1, len, out_);
    err = written != len ? errno : 0;
    if (std::fflush(out_) != 0 && err == 0) err = errno ? errno : EIO;
  }
  writeError_ = err;
  if (written != len) {
    ended_.store(true, std::memory_order_release);
    DbgMessage(FUNCNAME, "write fail, %zu of %zu items", written, len);
  }
  if (copy_) {
    std::fwrite(data, 1, written, copy_);
    std::fflush(copy_);
  }
  return written;
}

bool PrinterPort::Send(const void* data, std::size_t len) {
  if (Failed() || GaveUp()) return false;
  std::size_t n = Write(data, len);
  if (n != len || writeError_ != 0 || std::ferror(out_)) {
    // Given up after a cancel: the job ends as cancelled, not as failed.
    if (GaveUp()) return false;
    NoteFailure("Unable to write to the printer stream", writeError_ ? writeError_ : EIO);
    return false;
  }
  return true;
}

void PrinterPort::NoteFailure(const char* what, int err) {
  static const char FUNCNAME[] = "NoteOutputFailure";
  const bool cancelled = events_.Cancelled();
  if (!failed_.exchange(true, std::memory_order_acq_rel)) {
    failedAfterCancel_.store(cancelled, std::memory_order_release);
    CupsMessage(events_.Err(), "ERROR: ", "%s (%s); the job is stopped", what, std::strerror(err));
    DbgMessage(FUNCNAME, "%s, errno = %d", what, err);
  }
  events_.Cancel();
}

void PrinterPort::SetCopyFile(FILE* f) {
  CloseCopyFile();
  copy_ = f;
}

void PrinterPort::CloseCopyFile() {
  if (copy_) std::fclose(copy_);
  copy_ = nullptr;
}
