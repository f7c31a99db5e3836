// The raster callbacks: job start (PPD choices, page header, raster file),
// page start (the client page's layout on the engine's page), lines, page
// end (white to the page's end) and job end (the engine's run).
#include "raster_job.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "engine_run.h"
#include "model.h"

namespace {

struct PpdCloser {
  void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};

// What one job keeps between the callbacks.
struct AppJob {
  const PrinterModel* model = nullptr;
  std::unique_ptr<ppd_file_t, PpdCloser> ppd;
  cups_page_header2_t header{};  // the engine's page header, from the PPD
  std::string choices;           // the PPD choices as job options, "PageSize=A4 ..."
  int fd = -1;                   // the writing end of the engine's raster pipe
  cups_raster_t* raster = nullptr;
  std::unique_ptr<EngineRun> engine;  // from the first page on
  LineLayout layout;
  unsigned top = 0;      // first client line of the engine's page
  unsigned written = 0;  // lines of the current page written
  std::vector<unsigned char> line;
  unsigned pages = 0;
  int copies = 1;        // the engine's copies of the document
  bool failed = false;   // the job cannot go on
  bool stopped = false;  // the engine takes no more of the raster

  ~AppJob() { CloseRaster(); }

  // The engine sees the raster's end: after the last whole page, or an
  // empty raster when the job failed before its first.
  void CloseRaster() {
    if (raster) cupsRasterClose(raster);
    raster = nullptr;
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

AppJob* JobOf(pappl_job_t* job) {
  return static_cast<AppJob*>(papplJobGetData(job));
}

void EndJobState(pappl_job_t* job) {
  delete JobOf(job);
  papplJobSetData(job, nullptr);
}

bool Fail(pappl_job_t* job, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  papplJobSetMessage(job, "%s", why.c_str());
  return false;
}

// The raster's writes into the engine's pipe. The descriptor does not
// block, so that a writer whose engine has stopped reading (its device
// failed, its cancel cut it off) gives up instead of waiting for ever.
ssize_t WriteRaster(void* ctx, unsigned char* data, std::size_t bytes) {
  AppJob& state = *static_cast<AppJob*>(ctx);
  std::size_t done = 0;
  while (done < bytes) {
    const ssize_t n = write(state.fd, data + done, bytes - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return -1;
    if (state.engine->Stopped()) return -1;
    pollfd pfd{state.fd, POLLOUT, 0};
    poll(&pfd, 1, 200);
  }
  return static_cast<ssize_t>(bytes);
}

// A raster write failed: the engine's own error, when it ended with one,
// is the better message for the job.
bool FailWrite(pappl_job_t* job, AppJob& state) {
  state.stopped = true;
  // A cancelled engine ends after its page block without reading on: the
  // job is cancelled, not failed.
  if (papplJobIsCanceled(job)) return true;
  state.failed = true;
  if (papplJobGetMessage(job)) return false;
  return Fail(job, "The engine stopped reading the raster");
}

// The engine starts with the job's first page, once the job's copies are
// known, reading the raster through its own descriptor of the pipe.
bool StartEngine(pappl_job_t* job, pappl_device_t* device, AppJob& state) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    return Fail(job, std::string("No pipe for the engine's raster: ") + std::strerror(errno));
  // Fewer hand-overs between the job's thread and the engine's: a page
  // of 600 dpi lines is a few megabytes.
  fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  state.fd = fds[1];
  const char* user = papplJobGetUsername(job);
  const char* title = papplJobGetName(job);
  const std::vector<std::string> args = {
      papplPrinterGetName(papplJobGetPrinter(job)),
      std::to_string(papplJobGetID(job)),
      user ? user : "guest",
      title ? title : "Untitled",
      std::to_string(state.copies),
      state.choices,
      "/proc/self/fd/" + std::to_string(fds[0]),
  };
  state.engine = std::make_unique<EngineRun>(job, device);
  if (!state.engine->Start(args, state.model->ppdPath, fds[0])) {
    close(fds[0]);
    state.engine.reset();
    return Fail(job, "The engine cannot start");
  }
  // As CUPS' filters pass a raster between them: not compressed.
  state.raster = cupsRasterOpenIO(WriteRaster, &state, CUPS_RASTER_WRITE);
  if (!state.raster) return Fail(job, "Cannot write the engine's raster");
  return true;
}

// The framework keeps its own 8-bit page header instead of a streamed
// client page's when that page has fewer bits, and gives no other sign of
// it: the page is then 1-bit data under a header that says 8. (Images are
// always drawn under the framework's own header.)
bool KeptOwnHeader(pappl_job_t* job, const cups_page_header2_t& header) {
  for (const bool colour : {false, true}) {
    pappl_pr_options_t* own =
        papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)), colour);
    const bool same = own && std::memcmp(&own->header, &header, sizeof header) == 0;
    papplJobDeletePrintOptions(own);
    if (same) return true;
  }
  return false;
}

// Why the framework ended a raster job it found wrong itself, for the
// job's message: it gives only a reason keyword.
const char* FrameworkAbortReason(pappl_job_t* job) {
  const pappl_jreason_t reasons = papplJobGetReasons(job);
  if (reasons & PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR)
    return "The document has colour pages and this printer prints only gray";
  if (reasons & PAPPL_JREASON_DOCUMENT_FORMAT_ERROR)
    return "The document's raster is damaged or its page is neither 8-bit gray nor 8-bit RGB";
  return "The document's raster ended before its last page";
}

bool WriteWhiteLine(AppJob& state) {
  std::fill(state.line.begin(), state.line.end(), 255);
  return cupsRasterWritePixels(state.raster, state.line.data(), state.header.cupsBytesPerLine) != 0;
}

}  // namespace

void ConvertLine(const LineLayout& layout, const unsigned char* src, std::span<unsigned char> dst) {
  unsigned char* d = dst.data();
  // Gray to gray and RGB to RGB, the lines of nearly every page, are the
  // client's span and white after it.
  if (layout.srcBytes == layout.dstBytes && !layout.srcInverted) {
    const std::size_t size = static_cast<std::size_t>(layout.dstWidth) * layout.dstBytes;
    const std::size_t copied =
        layout.left >= layout.srcWidth
            ? 0
            : std::min<std::size_t>(layout.srcWidth - layout.left, layout.dstWidth) * layout.dstBytes;
    if (copied) std::memcpy(d, src + static_cast<std::size_t>(layout.left) * layout.srcBytes, copied);
    std::memset(d + copied, 255, size - copied);
    return;
  }
  for (unsigned x = 0; x < layout.dstWidth; ++x, d += layout.dstBytes) {
    const unsigned sx = layout.left + x;
    if (sx >= layout.srcWidth) {
      std::memset(d, 255, layout.dstBytes);
      continue;
    }
    const unsigned char* s = src + static_cast<std::size_t>(sx) * layout.srcBytes;
    if (layout.srcBytes == 1)
      std::memset(d, layout.srcInverted ? 255 - s[0] : s[0], layout.dstBytes);
    else if (layout.dstBytes == 3)
      std::memcpy(d, s, 3);
    else
      *d = static_cast<unsigned char>((31 * s[0] + 61 * s[1] + 8 * s[2]) / 100);
  }
}

bool MakeLineLayout(const cups_page_header2_t& client, const cups_page_header2_t& engine, LineLayout& layout,
                    unsigned& top, const char*& why) {
  if (client.HWResolution[0] != engine.HWResolution[0] || client.HWResolution[1] != engine.HWResolution[1]) {
    why = "page resolution is not one the printer takes";
    return false;
  }
  layout = LineLayout{};
  const bool chunked8 = client.cupsBitsPerColor == 8 && client.cupsColorOrder == CUPS_ORDER_CHUNKED;
  switch (client.cupsColorSpace) {
    case CUPS_CSPACE_SW:
    case CUPS_CSPACE_W:
    case CUPS_CSPACE_K:
      layout.srcBytes = 1;
      layout.srcInverted = client.cupsColorSpace == CUPS_CSPACE_K;
      break;
    case CUPS_CSPACE_SRGB:
    case CUPS_CSPACE_RGB:
    case CUPS_CSPACE_ADOBERGB:
      layout.srcBytes = 3;
      break;
    default:
      layout.srcBytes = 0;
  }
  if (!chunked8 || layout.srcBytes == 0 || client.cupsBitsPerPixel != 8 * layout.srcBytes ||
      client.cupsBytesPerLine != client.cupsWidth * layout.srcBytes) {
    why = "page is neither 8-bit gray nor 8-bit RGB";
    return false;
  }
  layout.srcWidth = client.cupsWidth;
  layout.dstWidth = engine.cupsWidth;
  layout.dstBytes = engine.cupsColorSpace == CUPS_CSPACE_RGB ? 3 : 1;
  // The client's page covers the whole sheet; the engine's starts at the
  // imageable area's top left corner.
  layout.left = static_cast<unsigned>(std::lround(engine.cupsImagingBBox[0] * engine.HWResolution[0] / 72.0));
  top = static_cast<unsigned>(
      std::lround((engine.cupsPageSize[1] - engine.cupsImagingBBox[3]) * engine.HWResolution[1] / 72.0));
  return true;
}

bool AppStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* /*device*/) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  auto state = std::make_unique<AppJob>();
  state->model = static_cast<const PrinterModel*>(data.extension);
  if (!state->model) return Fail(job, "The printer has no model description");

  std::vector<std::pair<std::string, std::string>> choices;
  std::string why;
  if (!JobChoices(*state->model, *options, choices, why)) return Fail(job, "The job's " + why);

  // The page header is what the PPD's own option code makes of the job's
  // choices, exactly as for a job of a CUPS queue with this PPD.
  state->ppd.reset(ppdOpenFile(state->model->ppdPath.c_str()));
  if (!state->ppd) return Fail(job, "Cannot read " + state->model->ppdPath);
  ppdMarkDefaults(state->ppd.get());
  for (const auto& [name, choice] : choices) {
    ppdMarkOption(state->ppd.get(), name.c_str(), choice.c_str());
    state->choices += (state->choices.empty() ? "" : " ") + name + "=" + choice;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "PPD choices: %s", state->choices.c_str());
  if (cupsRasterInterpretPPD(&state->header, state->ppd.get(), 0, nullptr, nullptr) != 0)
    return Fail(job, std::string("The PPD gives no page header: ") + cupsRasterErrorString());
  const cups_page_header2_t& h = state->header;
  if (h.cupsBitsPerColor != 8 || h.cupsColorOrder != CUPS_ORDER_CHUNKED ||
      (h.cupsColorSpace != CUPS_CSPACE_W && h.cupsColorSpace != CUPS_CSPACE_RGB) || h.cupsWidth == 0 ||
      h.cupsHeight == 0)
    return Fail(job, "The PPD's page header is not 8-bit gray or RGB");

  state->line.resize(h.cupsBytesPerLine);
  papplJobSetData(job, state.release());
  return true;
}

bool AppStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned /*page*/) {
  AppJob& state = *JobOf(job);
  const char* why = nullptr;
  const std::string format = papplJobGetFormat(job);
  if ((format == "image/pwg-raster" || format == "image/urf") && KeptOwnHeader(job, options->header))
    return Fail(job, "The page is neither 8-bit gray nor 8-bit RGB");
  if (!MakeLineLayout(options->header, state.header, state.layout, state.top, why))
    return Fail(job, std::string("The ") + why);
  state.written = 0;
  if (!state.engine && !StartEngine(job, device, state)) {
    state.failed = true;
    return false;
  }
  if (state.stopped) return !state.failed;
  if (!cupsRasterWriteHeader2(state.raster, &state.header)) return FailWrite(job, state);
  return true;
}

bool AppWriteLine(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned y,
                  const unsigned char* line) {
  AppJob& state = *JobOf(job);
  if (state.stopped || y < state.top || state.written >= state.header.cupsHeight) return !state.failed;
  ConvertLine(state.layout, line, state.line);
  if (!cupsRasterWritePixels(state.raster, state.line.data(), state.header.cupsBytesPerLine))
    return FailWrite(job, state);
  ++state.written;
  return true;
}

bool AppEndPage(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/,
                unsigned /*page*/) {
  AppJob& state = *JobOf(job);
  // A client page shorter than the sheet ends in white paper.
  while (!state.stopped && state.written < state.header.cupsHeight) {
    if (!WriteWhiteLine(state)) return FailWrite(job, state);
    ++state.written;
  }
  ++state.pages;
  return !state.failed;
}

bool AppEndJob(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* device) {
  // PAPPL or the client has made the copies of a raster, JPEG or PNG
  // document already.
  return EndEngineJob(job, device, true);
}

const cups_page_header2_t* EngineHeader(pappl_job_t* job) {
  const AppJob* state = JobOf(job);
  return state ? &state->header : nullptr;
}

void SetEngineCopies(pappl_job_t* job, int copies, bool collate) {
  AppJob* state = JobOf(job);
  if (!state || copies <= 1) return;
  // As a CUPS queue's raster filter writes them for a printer that makes
  // copies: NumCopies and Collate in every page header, the copies in the
  // arguments and the collation among the options.
  state->copies = copies;
  state->header.NumCopies = static_cast<unsigned>(copies);
  state->header.Collate = collate ? CUPS_TRUE : CUPS_FALSE;
  if (collate) state->choices += " Collate=True";
}

bool EndEngineJob(pappl_job_t* job, pappl_device_t* /*device*/, bool print) {
  AppJob* state = JobOf(job);
  if (papplJobGetState(job) == IPP_JSTATE_ABORTED && !papplJobGetMessage(job))
    papplJobSetMessage(job, "%s", FrameworkAbortReason(job));
  if (!state) return false;
  // The pages written so far are the engine's already: a job given up
  // after them ends its printer job as a cancelled one does, with whole
  // page blocks and the cancel trailer.
  if (state->engine && (!print || state->failed)) state->engine->Abandon();
  state->CloseRaster();
  const int status = state->engine ? state->engine->Finish() : 0;
  const bool ok =
      !print || state->failed || !state->engine || papplJobIsCanceled(job) ? !state->failed : status == 0;
  EndJobState(job);
  return ok;
}
