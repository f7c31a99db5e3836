// A whole job: the input's first line is the job's options, the rest the
// raster stream up to the first page header the filter refuses (see
// raster_headers.h), read from memory through the seventh argument; the
// printer stream and the messages are discarded.
#include <sys/mman.h>
#include <unistd.h>

#include "filter_job.h"
#include "fuzz_support.h"
#include "raster_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Root();
  fuzz::Split in = fuzz::FirstLine(data, size);
  const std::size_t taken = fuzz::RasterTheFilterTakes(in.rest);
  const int fd = memfd_create("raster", MFD_CLOEXEC);
  if (fd < 0 || write(fd, in.rest.data(), taken) != static_cast<ssize_t>(taken)) abort();
  std::string args[] = {
      "fuzzq", "7", "fuzzer", "fuzz job", "1", in.line, "/proc/self/fd/" + std::to_string(fd)};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                  args[4].data(), args[5].data(), args[6].data(), nullptr};
  const fuzz::Quiet quiet;
  RunFilterJob(7, argv, FUZZ_PPD, quiet.sink.get(), quiet.sink.get());
  close(fd);
  return 0;
}
