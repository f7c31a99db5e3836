// One run of the filter engine inside the printer application: the job's
// CUPS raster in, the printer stream out to the job's device, the engine's
// scheduler lines into the job's log.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <string_view>
#include <vector>

// Runs RunFilterJob with args (queue, job id, user, title, copies, options,
// raster file) and the model's PPD, and writes everything it produces to
// device while the job is not cancelled. Returns the engine's exit status,
// or 1 when the device stopped taking data.
int RunEngineToDevice(pappl_job_t* job, pappl_device_t* device, const std::vector<std::string>& args,
                      const std::string& ppdPath);

// The log level and text of one scheduler line of the engine ("ERROR: x"
// is an error with the text "x"); lines without a known prefix are debug.
struct EngineLine {
  pappl_loglevel_t level;
  std::string_view text;
  bool isError;
};
EngineLine ClassifyEngineLine(std::string_view line);
