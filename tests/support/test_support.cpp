// Test helpers (see test_support.h).
#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "filter_job.h"

namespace testing_support {

PrivateRoot::PrivateRoot() {
  char tmpl[] = "/tmp/rastertopwg2-test-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  dir_ = tmpl;
  std::filesystem::create_directories(dir_ + "/tmp");
  if (const char* t = std::getenv("TMPDIR")) savedTmpdir_ = t;
  setenv("RASTERTOPWG2_ROOT", dir_.c_str(), 1);
  setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
}

PrivateRoot::~PrivateRoot() {
  unsetenv("RASTERTOPWG2_ROOT");
  if (savedTmpdir_)
    setenv("TMPDIR", savedTmpdir_->c_str(), 1);
  else
    unsetenv("TMPDIR");
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void PrivateRoot::EnableTraceFile() const {
  std::filesystem::create_directories(Path("/tmp/cups"));
}

std::string PrivateRoot::TraceLog() const {
  return ReadFile(Path("/tmp/cups/printer.log"));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string MakeRaster(const std::string& path, const std::vector<std::string>& args) {
  std::string cmd = std::string(TESTPAGE_BIN) + " -o '" + path + "'";
  for (const std::string& a : args) cmd += " '" + a + "'";
  int rc = std::system(cmd.c_str());
  if (rc != 0) ADD_FAILURE() << "testpage failed: " << cmd;
  return path;
}

std::string MakePpd(const std::string& path, const std::map<std::string, std::string>& attrs) {
  std::istringstream in(ReadFile(std::string(TEST_DATA_DIR) + "/sample.ppd"));
  std::string out, line;
  while (std::getline(in, line)) {
    const bool replaced =
        line.size() > 1 && line[0] == '*' && attrs.count(line.substr(1, line.find(':') - 1));
    if (!replaced) out += line + "\n";
  }
  for (const auto& [key, value] : attrs)
    if (!value.empty()) out += "*" + key + ": \"" + value + "\"\n";
  WriteFile(path, out);
  return path;
}

std::string Slurp(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

JobResult RunJobArgs(std::vector<std::string> args, const std::string& ppd) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  JobResult r;
  r.status =
      RunFilterJob(static_cast<int>(args.size()), argv.data(), ppd.empty() ? nullptr : ppd.c_str(), out, err);
  r.out = Slurp(out);
  r.err = Slurp(err);
  std::fclose(out);
  std::fclose(err);
  return r;
}

JobResult RunJob(const std::string& ppd, const std::string& raster, const std::string& options,
                 const std::string& queue, const std::string& title, const std::string& user) {
  std::vector<std::string> args = {queue, "42", user, title, "1", options};
  if (!raster.empty()) args.push_back(raster);
  return RunJobArgs(std::move(args), ppd);
}

JobResult RunCommand(const std::string& cmd) {
  char outName[] = "/tmp/rastertopwg2-out-XXXXXX", errName[] = "/tmp/rastertopwg2-err-XXXXXX";
  close(mkstemp(outName));
  close(mkstemp(errName));
  const int rc = std::system((cmd + " >" + outName + " 2>" + errName).c_str());
  JobResult r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(outName), ReadFile(errName)};
  unlink(outName);
  unlink(errName);
  return r;
}

Child StartFilter(const std::vector<std::string>& args, const ChildOptions& opt) {
  // Everything the child needs is made before the fork: between fork and
  // exec only async-signal-safe calls are allowed.
  std::vector<std::string> envStrings, argStrings = args;
  for (const auto& [k, v] : opt.env) envStrings.push_back(k + "=" + v);  // getenv takes the first
  for (char** e = environ; *e; ++e) envStrings.push_back(*e);
  std::vector<char*> argv, envp;
  for (std::string& a : argStrings) argv.push_back(a.data());
  for (std::string& e : envStrings) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  int in[2] = {-1, -1}, out[2], err[2];
  if ((opt.input.empty() && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0 ||
      pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  // Room for a few pages: a test that holds the stream back blocks the
  // filter only once it is ahead by this much.
  fcntl(out[0], F_SETPIPE_SZ, opt.outPipeSize);
  const int inFile = opt.input.empty() ? in[0] : open(opt.input.c_str(), O_RDONLY | O_CLOEXEC);
  const rlimit limit{static_cast<rlim_t>(opt.fileLimit), static_cast<rlim_t>(opt.fileLimit)};
  const rlimit memory{static_cast<rlim_t>(opt.memoryLimit), static_cast<rlim_t>(opt.memoryLimit)};
  const int outFile =
      opt.output.empty() ? -1 : open(opt.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Child c;
  c.pid = fork();
  if (c.pid < 0) throw std::runtime_error("fork failed");
  if (c.pid == 0) {
    dup2(inFile, 0);
    dup2(outFile >= 0 ? outFile : out[1], 1);
    dup2(err[1], 2);
    if (opt.closeStdout) close(1);
    if (opt.fileLimit) {
      signal(SIGXFSZ, opt.fileLimitSignals ? SIG_DFL : SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (opt.memoryLimit) setrlimit(RLIMIT_AS, &memory);
    // Group first: once the user is dropped the group can no longer be.
    if (opt.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(opt.uid) != 0 || setuid(opt.uid) != 0))
      _exit(126);
    execve(RASTERTOPWG2_BIN, argv.data(), envp.data());
    _exit(127);
  }
  close(inFile);
  if (outFile >= 0) close(outFile);
  close(out[1]);
  close(err[1]);
  if (!opt.output.empty()) {
    close(out[0]);
    out[0] = -1;
  }
  c.in = in[1], c.out = out[0], c.err = err[0];
  c.output = opt.output;
  return c;
}

JobResult FinishFilter(Child& c, int watchdogSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(watchdogSeconds);
  JobResult r;
  pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
  std::string* sinks[2] = {&r.out, &r.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "filter " << c.pid << " still running after " << watchdogSeconds << " s: killed";
      Signal(c.pid, SIGKILL);
      deadline += std::chrono::hours(1);
    }
    poll(fds, 2, 200);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0)
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      else
        close(std::exchange(fds[i].fd, -1));
    }
  }
  int status = 0;
  rusage usage{};
  wait4(c.pid, &status, 0, &usage);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.maxRssKb = usage.ru_maxrss;
  if (!c.output.empty()) r.out = ReadFile(c.output);
  if (c.in >= 0) close(c.in);
  c = Child{};
  return r;
}

JobResult RunFilter(const std::vector<std::string>& args, const ChildOptions& opt, int watchdogSeconds) {
  Child c = StartFilter(args, opt);
  return FinishFilter(c, watchdogSeconds);
}

void Signal(int pid, int signo) {
  if (pid > 1)
    kill(pid, signo);
  else
    ADD_FAILURE() << "no signal " << signo << " to process id " << pid;
}

bool WaitForText(const std::string& path, const std::string& needle, int watchdogSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(watchdogSeconds);
  while (ReadFile(path).find(needle) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos) lines.push_back(line);
  return lines;
}

std::vector<std::string> Messages(const std::string& err, const std::string& prefix) {
  std::vector<std::string> lines;
  for (std::string& line : LinesWith(err, prefix))
    if (line.rfind(prefix, 0) == 0) lines.push_back(std::move(line));
  return lines;
}

}  // namespace testing_support
