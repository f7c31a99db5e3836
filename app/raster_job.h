// PAPPL's raster callbacks for every model: the job's lines are collected
// into a CUPS raster whose page header the model's PPD builds from the
// job's choices, cut to the PPD's imageable area, and streamed through a
// pipe to the engine, which starts with the job's first page.
#pragma once

#include <cups/raster.h>
#include <pappl/pappl.h>

#include <cstdint>
#include <span>
#include <vector>

bool AppStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool AppStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool AppWriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                  const unsigned char* line);
bool AppEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool AppEndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

// The engine's page header of the job AppStartJob began, or nullptr.
const cups_page_header2_t* EngineHeader(pappl_job_t* job);
// Has the engine make copies of the job AppStartJob began, collated or
// not; before its first page.
void SetEngineCopies(pappl_job_t* job, int copies, bool collate);
// Ends the job AppStartJob began: the engine prints its pages when print
// is true; its state is freed either way.
bool EndEngineJob(pappl_job_t* job, pappl_device_t* device, bool print);

// How one line of the client's page becomes a line of the engine's page.
struct LineLayout {
  unsigned left = 0;         // first client pixel of the engine's line
  unsigned srcWidth = 0;     // client pixels in a line
  unsigned srcBytes = 1;     // bytes of a client pixel: 1 gray, 3 RGB
  bool srcInverted = false;  // client gray counts colorant (0 white), as black_8 does
  unsigned dstWidth = 0;     // engine pixels in a line
  unsigned dstBytes = 1;     // 1 gray (0 black), 3 RGB
};

// Converts one client line: pixels past the client's line are white; RGB
// to gray by luminance, gray to RGB by repeating it.
void ConvertLine(const LineLayout& layout, const unsigned char* src, std::span<unsigned char> dst);

// The layout for a client page header against the engine's page header;
// false with a reason when the client's page cannot be printed.
bool MakeLineLayout(const cups_page_header2_t& client, const cups_page_header2_t& engine, LineLayout& layout,
                    unsigned& top, const char*& why);
