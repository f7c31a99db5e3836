// The authorization file reader on a file holding the input.
#include "auth_json.h"
#include "fuzz_support.h"
#include "job_events.h"
#include "trace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = fuzz::WriteFile("/auth.json", {reinterpret_cast<const char*>(data), size});
  char json[7][kJsonTokenSize] = {};
  FILE* sink = std::fopen("/dev/null", "w");
  {
    JobEvents events(sink);
    const TraceScope trace(&events.trace);
    ParseJSON(path.c_str(), json);
  }
  std::fclose(sink);
  for (const auto& token : json)
    if (!std::memchr(token, '\0', kJsonTokenSize)) abort();  // every slot stays a string
  return 0;
}
