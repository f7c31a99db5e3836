// The printer stream's write primitive and failure state.
#include "printer_port.h"

#include <cerrno>
#include <cstring>

#include "trace.h"

std::size_t PrinterPort::Write(const void* data, std::size_t len) {
  static const char FUNCNAME[] = "WritePort";
  if (!data || len == 0) return 0;
  errno = 0;
  std::size_t written = std::fwrite(data, 1, len, out_);
  int err = written != len ? errno : 0;
  if (std::fflush(out_) != 0 && err == 0) err = errno ? errno : EIO;
  writeError_ = err;
  if (written != len) DbgMessage(FUNCNAME, "write fail, %zu of %zu items", written, len);
  if (copy_) {
    std::fwrite(data, 1, len, copy_);
    std::fflush(copy_);
  }
  return written;
}

bool PrinterPort::Send(const void* data, std::size_t len) {
  if (Failed()) return false;
  std::size_t n = Write(data, len);
  if (n != len || writeError_ != 0 || std::ferror(out_)) {
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
