// A private printer application server for the application's tests: its
// own socket, state file, spool and engine paths in a temporary directory,
// printers on file devices, jobs through the application's own client
// sub-commands, and the printer streams read back with the stream oracles.
// Each test program runs one server for its suite.
#pragma once

#include <cups/cups.h>
#include <cups/raster.h>
#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "printer_stream.h"

namespace app_test {

extern std::string gDir;  // the server's private directory: socket, state, spool, devices
extern pid_t gServer;     // the server process

struct Output {
  int status;
  std::string text;  // standard output and error
};

// Runs a shell command; its exit status and its output with its errors.
Output Shell(const std::string& cmd);

// Runs the application's client sub-command with arguments (already quoted).
Output App(const std::string& args);

// The server's local socket: a server run by root names it without its uid.
std::string Socket();

// One IPP request to the server; the response or nullptr. A Get-Jobs asks
// for the newest job only.
ipp_t* Ask(ipp_op_t op, const std::string& printer, const std::vector<const char*>& wanted,
           const char* format = nullptr, const char* file = nullptr);

// All values of a response's attribute, as text.
std::string Value(ipp_t* response, const char* name);

// The printer's newest job as the server tells it.
struct JobEnd {
  std::string state, message, reasons;
};
JobEnd NewestJob(const std::string& printer);

std::string PrinterAttribute(const std::string& printer, const char* name, const char* format = nullptr);

std::string ReadAll(const std::string& path);

// A rectangle of one colour on a white sheet, in pixels at 600 dpi.
struct Box {
  unsigned x, y, w, h;
  unsigned char r, g, b;
};

// Writes a PWG (or Apple) raster: pages sheets of media, each blank but for
// the box, of any type libcups writes; the box only on 8-bit gray (its
// luminance) or RGB.
void WritePwg(const std::string& path, const char* media, const char* type, unsigned pages, const Box& box,
              cups_mode_t mode = CUPS_RASTER_WRITE_PWG);

// Adds a printer of the model on a file device of its own; returns the
// device file.
std::string AddPrinter(const std::string& name, const std::string& model);

// Waits until the printer's jobs have ended; returns the final state as
// the jobs sub-command says it ("completed", "aborted", "canceled") or
// "timeout".
std::string WaitForJobs(const std::string& printer);

// Submits a PWG raster file with options (returns when the job is done).
void Submit(const std::string& printer, const std::string& file, const std::string& options);

// Submits a file with options and waits until the job has ended.
std::string PrintAndWait(const std::string& printer, const std::string& file, const std::string& options);

// Waits until the engine has written the first page block to the device:
// the job is then in the engine's hands.
bool WaitForFirstPage(const std::string& device);

// The printer stream a device file got for the last job: the file is
// appended to, so only what follows the last preamble counts.
testing_support::PrinterStream LastStream(const std::string& device);

// The bounding box of the dots of a one-plane page: x, y, w, h.
std::vector<unsigned> DotsBox(const testing_support::PageBlock& page);

// The suite's server: started before the first test, stopped after the last.
class AppServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  // Starts the suite's server on the private directory.
  static void StartServer();
  // Stops the server with SIGTERM, as the service manager would; true when
  // it has exited within seconds.
  static bool StopServer(int seconds);
};

}  // namespace app_test
