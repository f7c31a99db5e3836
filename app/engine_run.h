// One run of the filter engine inside the printer application: the job's
// CUPS raster in as it is written, the printer stream out to the job's
// device, the engine's scheduler lines into the job's log.
#pragma once

#include <pappl/pappl.h>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// One run of RunFilterJobWith with args (queue, job id, user, title,
// copies, options, raster file) and the model's PPD while the job's raster
// is still being written: the engine reads the raster as it comes, and a
// thread of its own copies the printer stream to the device while the job
// is not cancelled.
class EngineRun {
 public:
  EngineRun(pappl_job_t* job, pappl_device_t* device);
  EngineRun(const EngineRun&) = delete;
  EngineRun& operator=(const EngineRun&) = delete;
  ~EngineRun();

  // Starts the engine. It closes rasterFd, the descriptor its raster path
  // names, when it ends, so that a writer of the raster is never left
  // blocked on a reader that has gone.
  bool Start(const std::vector<std::string>& args, const std::string& ppdPath, int rasterFd);
  // Has the engine end its job as on a cancel though the job goes on: the
  // printer gets whole page blocks and the cancel trailer.
  void Abandon() { abandoned_ = true; }
  // The engine has ended or its printer stream is no longer read: nothing
  // more of the raster will be taken.
  bool Stopped() const { return engineDone_ || pumpDone_; }
  // Waits for the engine's end (the raster's writer has closed its end).
  // Returns its exit status, or 1 when the device stopped taking data.
  int Finish();

 private:
  struct Streams;
  pappl_job_t* job_;
  pappl_device_t* device_;
  std::unique_ptr<Streams> streams_;
  std::thread engine_, pump_;
  std::atomic<bool> abandoned_{false}, engineDone_{false}, pumpDone_{false};
  int status_ = 1;
  int pumpEnd_ = 0;
};

// The log level and text of one scheduler line of the engine ("ERROR: x"
// is an error with the text "x"); lines without a known prefix are debug.
struct EngineLine {
  pappl_loglevel_t level;
  std::string_view text;
  bool isError;
};
EngineLine ClassifyEngineLine(std::string_view line);
