// Job options (the input's first line) and the PPD's attributes (the rest,
// written as the job's PPD), as the job reads them before it starts.
#include "fuzz_support.h"
#include "job_config.h"
#include "paper_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Split in = fuzz::FirstLine(data, size);
  const std::string ppd = fuzz::WriteFile("/fuzz.ppd", in.rest);
  const fuzz::Quiet quiet;
  auto config = std::make_unique<JobConfig>();
  JobOptions options;
  const PpdFile ppdFile(ppdOpenFile(ppd.c_str()));
  BuildPaperList(ppdFile.get(), config->paperTable);
  ReadPpdAttributes(ppdFile.get(), *config);
  ScanJobOptions(*config, options, ppdFile.get(), in.line.c_str());
  return 0;
}
