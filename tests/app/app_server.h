// A private printer application server for the application's tests: its
// own socket, state file, spool and engine paths in a temporary directory,
// printers on file devices, jobs through the application's own client
// sub-commands, and the printer streams read back with the stream oracles.
// Each test program runs one server for its suite.
#pragma once

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

// Runs the application's client sub-command with arguments (already quoted).
Output App(const std::string& args);

std::string ReadAll(const std::string& path);

// A rectangle of one colour on a white sheet, in pixels at 600 dpi.
struct Box {
  unsigned x, y, w, h;
  unsigned char r, g, b;
};

// Writes a PWG raster: pages sheets of media, each white with the box, as
// sgray_8 (the box's luminance) or srgb_8.
void WritePwg(const std::string& path, const char* media, const char* type, unsigned pages, const Box& box);

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
  // Stops the server with SIGTERM, as the service manager would; true when
  // it has exited within seconds.
  static bool StopServer(int seconds);
};

}  // namespace app_test
