// PDF documents through Ghostscript and printer streams passed through.
//
// Ghostscript renders the PDF as plain 8-bit gray (or RGB) sheets at the
// printer's resolution on the job's paper; the raster callbacks then make
// the engine's CUPS raster of them exactly as of a client's PWG raster, so
// the engine's page header is the one the PPD and the job's choices give,
// built in one place for every document format.
#include "pdf_job.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "pjl_stream.h"
#include "raster_job.h"

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void Reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool Fail(pappl_job_t* job, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  papplJobSetMessage(job, "%s", why.c_str());
  return false;
}

// Ghostscript as found on the search path, looked up before the fork.
std::string GhostscriptPath() {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path && *path ? path : "/usr/bin:/bin";
  while (!dirs.empty()) {
    const std::size_t colon = dirs.find(':');
    const std::string candidate = std::string(dirs.substr(0, colon)) + "/gs";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
  }
  return "/usr/bin/gs";
}

// One Ghostscript process in a process group of its own. A watcher thread
// reaps it and kills the group when the job is cancelled, the time limit
// has passed or the reader has given up, so that nothing Ghostscript
// started outlives the job.
class Ghostscript {
 public:
  enum class End { kExited, kCancelled, kTimedOut, kStopped };

  explicit Ghostscript(pappl_job_t* job) : job_(job) {}
  Ghostscript(const Ghostscript&) = delete;
  Ghostscript& operator=(const Ghostscript&) = delete;
  ~Ghostscript() {
    Stop();
    if (watcher_.joinable()) watcher_.join();
  }

  // Starts gs with standard output to outFd and its messages to errFd.
  bool Start(const std::vector<std::string>& args, int outFd, int errFd) {
    const std::string gs = GhostscriptPath();
    std::vector<std::string> strings(args);
    std::vector<char*> argv{const_cast<char*>("gs")};
    for (std::string& a : strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = fork();
    if (pid_ == 0) {
      // Only what is safe between fork and exec in a threaded process.
      setpgid(0, 0);
      if (nullFd >= 0) dup2(nullFd, 0);
      dup2(outFd, 1);
      dup2(errFd, 2);
      close_range(3, ~0u, 0);
      execv(gs.c_str(), argv.data());
      _exit(127);
    }
    if (nullFd >= 0) close(nullFd);
    if (pid_ < 0) return false;
    setpgid(pid_, pid_);
    watcher_ = std::thread([this] { Watch(); });
    return true;
  }

  // Kills Ghostscript if it still runs.
  void Stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    wake_.notify_all();
  }

  // Waits until Ghostscript has ended; its wait status in status.
  End Wait(int& status) {
    if (watcher_.joinable()) watcher_.join();
    status = status_;
    return end_;
  }

 private:
  void Watch() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(kGhostscriptMinutes);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      int status = 0;
      const pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_ || (done < 0 && errno != EINTR)) {
        status_ = done == pid_ ? status : -1;
        return;
      }
      if (end_ == End::kExited) {
        if (stop_)
          end_ = End::kStopped;
        else if (papplJobIsCanceled(job_))
          end_ = End::kCancelled;
        else if (std::chrono::steady_clock::now() > deadline)
          end_ = End::kTimedOut;
        if (end_ != End::kExited) kill(-pid_, SIGKILL);
      }
      wake_.wait_for(lock, std::chrono::milliseconds(100));
    }
  }

  pappl_job_t* job_;
  pid_t pid_ = -1;
  std::thread watcher_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  End end_ = End::kExited;  // why the group was killed, if it was
  int status_ = -1;
};

// A file without a name in the temporary directory.
int NamelessFile() {
  const char* dir = papplGetTempDir();
  int fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string path = std::string(dir) + "/rastertopwg2-gs-XXXXXX";
  fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd >= 0) unlink(path.c_str());
  return fd;
}

// Ghostscript's messages into the job's log; the last one for a message
// to the client.
std::string LogMessages(pappl_job_t* job, int fd) {
  std::string text(65536, '\0');
  const ssize_t n = pread(fd, text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  std::string last;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    const std::string line = text.substr(start, nl - start);
    if (!line.empty()) {
      papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Ghostscript: %s", line.c_str());
      last = line;
    }
    start = nl + 1;
  }
  return last;
}

// One sheet's header in a stream of binary PNM images: P5 gray or P6 RGB,
// 8 bits. False at the end of the stream (eof) or for anything else.
bool ReadPnmHeader(FILE* in, unsigned& width, unsigned& height, unsigned& bytes, bool& eof) {
  int c = std::fgetc(in);
  eof = c == EOF;
  if (eof || c != 'P') return false;
  c = std::fgetc(in);
  if (c != '5' && c != '6') return false;
  bytes = c == '5' ? 1 : 3;
  unsigned values[3] = {};
  for (unsigned& v : values) {
    c = std::fgetc(in);
    for (;;) {
      if (c == '#')
        while (c != '\n' && c != EOF) c = std::fgetc(in);
      else if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
        c = std::fgetc(in);
      else
        break;
    }
    if (c < '0' || c > '9') return false;
    for (v = 0; c >= '0' && c <= '9' && v < 0x1000000; c = std::fgetc(in)) v = v * 10 + (c - '0');
  }
  // One white space ends the header: c has taken it.
  width = values[0];
  height = values[1];
  return values[2] == 255 && width > 0 && height > 0 && width < 0x1000000 / bytes && height < 0x1000000 &&
         (c == ' ' || c == '\t' || c == '\r' || c == '\n');
}

// Ghostscript's sheets into the engine's raster, page by page; false with
// the job's message set when a sheet cannot be used.
bool CopySheets(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, FILE* in,
                const cups_page_header2_t& engine, unsigned& pages, bool& truncated) {
  std::vector<unsigned char> line;
  for (;;) {
    unsigned width = 0, height = 0, bytes = 1;
    bool eof = false;
    if (!ReadPnmHeader(in, width, height, bytes, eof)) {
      truncated = !eof;
      return true;
    }
    if (papplJobIsCanceled(job)) return true;
    cups_page_header2_t& h = options->header;
    h.HWResolution[0] = engine.HWResolution[0];
    h.HWResolution[1] = engine.HWResolution[1];
    h.cupsWidth = width;
    h.cupsHeight = height;
    h.cupsBitsPerColor = 8;
    h.cupsBitsPerPixel = 8 * bytes;
    h.cupsBytesPerLine = width * bytes;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsColorSpace = bytes == 3 ? CUPS_CSPACE_SRGB : CUPS_CSPACE_SW;
    if (!AppStartPage(job, options, device, pages + 1)) return false;
    line.resize(h.cupsBytesPerLine);
    for (unsigned y = 0; y < height; ++y) {
      if (std::fread(line.data(), 1, line.size(), in) != line.size()) {
        truncated = true;
        return true;
      }
      if (!AppWriteLine(job, options, device, y, line.data())) return false;
    }
    if (!AppEndPage(job, options, device, pages + 1)) return false;
    ++pages;
  }
}

bool Collated(pappl_job_t* job) {
  ipp_attribute_t* handling = papplJobGetAttribute(job, "multiple-document-handling");
  const char* value = handling ? ippGetString(handling, 0, nullptr) : nullptr;
  return !value || std::strcmp(value, "separate-documents-uncollated-copies") != 0;
}

// The PDF filter: Ghostscript's sheets through the raster callbacks, then
// the engine with the job's copies and collation.
bool PrintPdf(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  pappl_pr_options_t* options =
      papplJobCreatePrintOptions(job, 0, (driver.color_supported & PAPPL_COLOR_MODE_COLOR) != 0);
  const std::unique_ptr<pappl_pr_options_t, void (*)(pappl_pr_options_t*)> release(
      options, papplJobDeletePrintOptions);
  if (!AppStartJob(job, options, device)) return false;
  const cups_page_header2_t engine = *EngineHeader(job);
  SetEngineCopies(job, options->copies, Collated(job));

  int pipeFds[2];
  Fd messages(NamelessFile());
  if (messages.get() < 0 || pipe2(pipeFds, O_CLOEXEC) != 0) {
    EndEngineJob(job, device, false);
    return Fail(job, std::string("Cannot start Ghostscript: ") + std::strerror(errno));
  }
  Fd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  Ghostscript gs(job);
  if (!gs.Start(GhostscriptArgs(papplJobGetFilename(job), engine.cupsColorSpace == CUPS_CSPACE_RGB,
                                engine.HWResolution[0], engine.HWResolution[1], engine.cupsPageSize[0],
                                engine.cupsPageSize[1]),
                writeEnd.get(), messages.get())) {
    EndEngineJob(job, device, false);
    return Fail(job, std::string("Cannot start Ghostscript: ") + std::strerror(errno));
  }
  writeEnd.Reset();

  unsigned pages = 0;
  bool truncated = false, copied = false;
  {
    std::unique_ptr<FILE, FileCloser> in(fdopen(readEnd.release(), "r"));
    copied = in && CopySheets(job, options, device, in.get(), engine, pages, truncated);
  }
  if (!copied || truncated) gs.Stop();
  int status = 0;
  const Ghostscript::End end = gs.Wait(status);
  const std::string last = LogMessages(job, messages.get());

  if (end == Ghostscript::End::kCancelled || papplJobIsCanceled(job)) {
    EndEngineJob(job, device, false);
    return true;
  }
  if (!copied) {
    EndEngineJob(job, device, false);
    return false;
  }
  if (end == Ghostscript::End::kTimedOut) {
    EndEngineJob(job, device, false);
    return Fail(job, "Ghostscript did not finish the PDF document within " +
                         std::to_string(kGhostscriptMinutes) + " minutes");
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || truncated || pages == 0) {
    EndEngineJob(job, device, false);
    const bool missing = WIFEXITED(status) && WEXITSTATUS(status) == 127;
    return Fail(job, missing
                         ? std::string("Ghostscript is not installed: PDF documents cannot be printed")
                         : "Ghostscript cannot read the PDF document" + (last.empty() ? "" : ": " + last));
  }
  papplJobSetImpressions(job, static_cast<int>(pages));
  const bool printed = EndEngineJob(job, device, true);
  if (printed) papplJobSetImpressionsCompleted(job, static_cast<int>(pages));
  return printed;
}

// The printer stream as it came, to the device. A cancelled stream ends
// with the engine's cancel sequence, so the printer drops the page it is in.
bool PassThrough(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  Fd in(open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return Fail(job, std::string("Cannot read the document: ") + std::strerror(errno));
  papplJobSetImpressions(job, 1);
  char buffer[65536];
  for (;;) {
    if (papplJobIsCanceled(job)) {
      papplDeviceWrite(device, DrvCancelStr, sizeof DrvCancelStr - 1);
      break;
    }
    const ssize_t n = read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(job, std::string("Cannot read the document: ") + std::strerror(errno));
    if (n == 0) break;
    if (papplDeviceWrite(device, buffer, static_cast<std::size_t>(n)) < 0)
      return Fail(job, "The printer stopped taking data");
  }
  papplDeviceFlush(device);
  if (!papplJobIsCanceled(job)) papplJobSetImpressionsCompleted(job, 1);
  return true;
}

}  // namespace

std::vector<std::string> GhostscriptArgs(const std::string& pdf, bool rgb, unsigned xdpi, unsigned ydpi,
                                         float width, float height) {
  // The sheet is the job's paper whatever the document's pages are: a page
  // of another size is scaled to fit it.
  return {"-q",
          "-dSAFER",
          "-dBATCH",
          "-dNOPAUSE",
          "-dNOINTERPOLATE",
          "-dPDFFitPage",
          "-dFIXEDMEDIA",
          "-sstdout=%stderr",
          rgb ? "-sDEVICE=ppmraw" : "-sDEVICE=pgmraw",
          "-r" + std::to_string(xdpi) + "x" + std::to_string(ydpi),
          "-dDEVICEWIDTHPOINTS=" + std::to_string(width),
          "-dDEVICEHEIGHTPOINTS=" + std::to_string(height),
          "-sOutputFile=-",
          "-f",
          pdf};
}

const char* TypeOfDocument(const unsigned char* header, std::size_t size, void* /*data*/) {
  const std::string_view head(reinterpret_cast<const char*>(header), size);
  const std::string_view uel(UELStr), pjl("@PJL");
  const std::size_t at = head.substr(0, 2) ==
                                 "\x1b"
                                 "E"
                             ? 2
                             : 0;
  if (head.substr(at, uel.size()) != uel || head.substr(at + uel.size(), pjl.size()) != pjl) return nullptr;
  return head.find(kPjlEnterLanguage) != std::string_view::npos ? kPrinterStreamType : nullptr;
}

void AddDocumentFilters(pappl_system_t* system) {
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", PrintPdf, nullptr);
  papplSystemAddMIMEFilter(system, kPrinterStreamType, kPrinterStreamType, PassThrough, nullptr);
  papplSystemSetMIMECallback(system, TypeOfDocument, nullptr);
}
