// The capability file a queue without the status library reads; the input's
// first four bytes are the PPD's DriverFeature, the rest the file.
#include "capability.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  fuzz::WriteFile("/tmp/PRN.dat", {reinterpret_cast<const char*>(data) + 4, size - 4});
  DWORD driverFeature;
  std::memcpy(&driverFeature, data, 4);
  const fuzz::Quiet quiet;
  const StatusLibrary lib;
  PrinterCapability cap{};
  ObtainCapability(lib, PrinterAttribute{}, MonitorUse::DisabledByPpd, driverFeature, "fuzzq", cap,
                   quiet.sink.get());
  return 0;
}
