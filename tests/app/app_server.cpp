// The private server of the application's tests and the helpers that
// print through it.
#include "app_server.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace app_test {

using namespace testing_support;

std::string gDir;
pid_t gServer = -1;

Output Shell(const std::string& cmd) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  Output o{-1, ""};
  if (!p) return o;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) o.text.append(buf, n);
  const int rc = pclose(p);
  o.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return o;
}

Output App(const std::string& args) {
  return Shell(std::string(APP_BIN) + " " + args);
}

std::string Socket() {
  const std::string plain = gDir + "/rastertopwg2-app.sock";
  return std::filesystem::exists(plain) ? plain
                                        : gDir + "/rastertopwg2-app" + std::to_string(getuid()) + ".sock";
}

ipp_t* Ask(ipp_op_t op, const std::string& printer, const std::vector<const char*>& wanted,
           const char* format, const char* file) {
  http_t* http =
      httpConnect2(Socket().c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
  if (!http) return nullptr;
  const std::string resource = "/ipp/print/" + printer;
  ipp_t* request = ippNewRequest(op);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               ("ipp://localhost" + resource).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  if (op == IPP_OP_GET_JOBS) {  // they come newest first
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
  }
  if (format) ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format);
  if (!wanted.empty())
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(wanted.size()), nullptr, wanted.data());
  ipp_t* response = cupsDoFileRequest(http, request, resource.c_str(), file);
  httpClose(http);
  return response;
}

std::string Value(ipp_t* response, const char* name) {
  char buf[2048] = "";
  if (ipp_attribute_t* a = response ? ippFindAttribute(response, name, IPP_TAG_ZERO) : nullptr)
    ippAttributeString(a, buf, sizeof buf);
  return buf;
}

JobEnd NewestJob(const std::string& printer) {
  ipp_t* r = Ask(IPP_OP_GET_JOBS, printer, {"job-state", "job-state-message", "job-state-reasons"});
  const JobEnd end{Value(r, "job-state"), Value(r, "job-state-message"), Value(r, "job-state-reasons")};
  ippDelete(r);
  return end;
}

std::string PrinterAttribute(const std::string& printer, const char* name, const char* format) {
  ipp_t* r = Ask(IPP_OP_GET_PRINTER_ATTRIBUTES, printer, {name}, format);
  const std::string value = Value(r, name);
  ippDelete(r);
  return value;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WritePwg(const std::string& path, const char* media, const char* type, unsigned pages, const Box& box,
              cups_mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  cups_raster_t* ras = cupsRasterOpen(fd, mode);
  cups_page_header2_t h;
  ASSERT_TRUE(cupsRasterInitPWGHeader(&h, pwgMediaForPWG(media), type, 600, 600, "one-sided", nullptr));
  h.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = pages;
  const unsigned bytes = h.cupsBitsPerPixel / 8;
  const bool boxed = h.cupsBitsPerColor == 8 && (bytes == 1 || bytes == 3);
  const unsigned char white =
      h.cupsColorSpace == CUPS_CSPACE_K || h.cupsColorSpace == CUPS_CSPACE_CMYK ? 0 : 255;
  std::vector<unsigned char> blank(h.cupsBytesPerLine, white), line(blank);
  for (unsigned x = box.x; boxed && x < box.x + box.w; ++x)
    for (unsigned b = 0; b < bytes; ++b)
      line[bytes * x + b] =
          bytes == 1 ? static_cast<unsigned char>((box.r * 30 + box.g * 59 + box.b * 11) / 100) : (&box.r)[b];
  for (unsigned p = 0; p < pages; ++p) {
    ASSERT_TRUE(cupsRasterWriteHeader2(ras, &h));
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
      auto& l = (y >= box.y && y < box.y + box.h) ? line : blank;
      ASSERT_EQ(cupsRasterWritePixels(ras, l.data(), h.cupsBytesPerLine), h.cupsBytesPerLine);
    }
  }
  cupsRasterClose(ras);
  close(fd);
}

// Adds a printer of the model on a file device of its own; returns the
// device file.
std::string AddPrinter(const std::string& name, const std::string& model) {
  // PAPPL takes a file device that exists and can be written, and appends.
  const std::string device = gDir + "/" + name + ".prn";
  std::ofstream{device};
  const Output o = App("add -d " + name + " -m " + model + " -v file://" + device);
  EXPECT_EQ(o.status, 0) << o.text;
  return device;
}

// Waits until the printer's jobs have ended; returns the final state as
// the jobs sub-command says it ("completed", ...).
std::string WaitForJobs(const std::string& printer) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string jobs = App("jobs -d " + printer).text;
    for (const char* end : {"completed", "aborted", "canceled"})
      if (jobs.find(end) != std::string::npos && jobs.find("processing") == std::string::npos &&
          jobs.find("pending") == std::string::npos)
        return end;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return "timeout";
}

void Submit(const std::string& printer, const std::string& file, const std::string& options) {
  const Output submitted =
      App("submit -d " + printer + " -o document-format=image/pwg-raster " + options + " " + file);
  EXPECT_EQ(submitted.status, 0) << submitted.text;
}

// Submits a file with options and waits until the job has ended.
std::string PrintAndWait(const std::string& printer, const std::string& file, const std::string& options) {
  Submit(printer, file, options);
  return WaitForJobs(printer);
}

// Waits until the engine has written the first page block to the device:
// the job is then in the engine's hands.
bool WaitForFirstPage(const std::string& device) {
  for (int i = 0; i < 600; ++i) {
    if (!ReadStream(ReadAll(device)).pages.empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The printer stream a device file got for the last job: the file is
// appended to, so only what follows the last preamble counts.
PrinterStream LastStream(const std::string& device) {
  const std::string all = ReadAll(device);
  const std::size_t at = all.rfind(Preamble());
  return ReadStream(at == std::string::npos ? all : all.substr(at));
}

// The bounding box of the dots of a one-plane page: x, y, w, h.
std::vector<unsigned> DotsBox(const PageBlock& page) {
  // The page data is a whole coded image (with its header) or one sent
  // without its header.
  const std::string& d = page.data;
  const Bytes bits = d.compare(0, 4, std::string("\0\0\1\0", 4)) == 0
                         ? JbigDecode(Bytes(d.begin(), d.end()))
                         : DecodeHeaderless(d, page.Width(), page.Height());
  const unsigned bpl = (page.Width() + 7) / 8;
  unsigned x0 = ~0u, y0 = ~0u, x1 = 0, y1 = 0;
  for (unsigned y = 0; y < page.Height() && bits.size() >= bpl * page.Height(); ++y)
    for (unsigned x = 0; x < page.Width(); ++x)
      if (bits[y * bpl + x / 8] & (0x80 >> (x % 8))) {
        x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
      }
  if (x0 == ~0u) return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

void AppServer::SetUpTestSuite() {
  char tmpl[] = "/tmp/rastertopwg2-app-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  gDir = tmpl;
  std::filesystem::create_directories(gDir + "/root");
  // Socket, state file and spool of the server, the engine's fixed paths
  // and temporary files: all in the private directory (SNAP_COMMON is
  // where a server run by root puts its socket and state).
  for (const char* var : {"SNAP_COMMON", "HOME", "XDG_CONFIG_HOME", "TMPDIR"}) setenv(var, gDir.c_str(), 1);
  setenv("RASTERTOPWG2_ROOT", (gDir + "/root").c_str(), 1);
  setenv("RASTERTOPWG2_PPD_DIR", GENERATED_PPD_DIR, 1);
  StartServer();
}

// Loaded machines start slowly: up to a minute for the socket and the
// first answer.
void AppServer::StartServer() {
  const std::string spool = "spool-directory=" + gDir + "/spool", log = "log-file=" + gDir + "/server.log";
  gServer = fork();
  ASSERT_GE(gServer, 0);
  if (gServer == 0) {
    umask(002);  // as under user-private groups: the state file must still be read back
    execl(APP_BIN, APP_BIN, "server", "-o", "private-server=true", "-o", spool.c_str(), "-o", log.c_str(),
          "-o", "log-level=debug", static_cast<char*>(nullptr));
    _exit(127);
  }
  // A client that finds no server starts one of its own, which would
  // hold the client's output open: ask only once the server takes
  // connections on its socket (a stopped server's socket file stays).
  bool listening = false;
  for (int i = 0; i < 600 && !listening; ++i) {
    http_t* http =
        httpConnect2(Socket().c_str(), 0, nullptr, AF_LOCAL, HTTP_ENCRYPTION_NEVER, 1, 1000, nullptr);
    listening = http != nullptr;
    httpClose(http);
    if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(listening) << ReadAll(gDir + "/server.log");
}

// Stops the server with SIGTERM, as the service manager would; true when
// it has exited within seconds.
bool AppServer::StopServer(int seconds) {
  if (gServer <= 0) return true;
  kill(gServer, SIGTERM);
  int status = 0;
  for (int i = 0; i < 10 * seconds && waitpid(gServer, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool stopped = waitpid(gServer, &status, WNOHANG) != 0;
  if (!stopped) {
    kill(gServer, SIGKILL);
    waitpid(gServer, &status, 0);
  }
  gServer = -1;
  return stopped;
}

void AppServer::TearDownTestSuite() {
  if (!StopServer(10)) ADD_FAILURE() << "the server did not stop on SIGTERM";
  if (!gDir.empty() && !::testing::Test::HasFailure()) std::filesystem::remove_all(gDir);
}

}  // namespace app_test
