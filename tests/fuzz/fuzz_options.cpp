// Job options (the input's first line) and the PPD's attributes (the rest,
// written as the job's PPD), as the job reads them before it starts.
#include "fuzz_support.h"
#include "job_config.h"
#include "paper_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Split in = fuzz::FirstLine(data, size);
  const std::string ppd = fuzz::WriteFile("/fuzz.ppd", in.rest);
  const fuzz::Quiet quiet;
  auto job = std::make_unique<FilterJob>(quiet.sink.get(), quiet.sink.get());
  job->ppd = ppdOpenFile(ppd.c_str());
  BuildPaperList(job->ppd, job->paperTable);
  ReadPpdAttributes(*job);
  ScanJobOptions(*job, in.line.c_str());
  cupsFreeOptions(job->num_options, job->options);
  if (job->ppd) ppdClose(job->ppd);
  return 0;
}
