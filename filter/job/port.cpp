// Printer stream write primitive.
#include "port.h"

#include "job_context.h"
#include "trace.h"

std::size_t WritePort(const void* ptr, std::size_t size, std::size_t nitems, FILE* stream) {
  static const char FUNCNAME[] = "WritePort";
  if (!ptr || size == 0 || nitems == 0) return 0;
  std::size_t written = std::fwrite(ptr, size, nitems, stream);
  if (written != nitems) DbgMessage(FUNCNAME, "write fail, %zu of %zu items", written, nitems);
  std::fflush(stream);
  if (stdoutPRN) {
    std::fwrite(ptr, size, nitems, stdoutPRN);
    std::fflush(stdoutPRN);
  }
  return written;
}
