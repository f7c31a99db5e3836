// Authorization tool call and authorization file reader.
#include "auth_json.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "paths.h"
#include "shims.h"
#include "trace.h"

extern char** environ;

namespace {

const char* const kJsonKeys[kJsonSlots] = {"AUTHCODE",   "USERNAME",  "ACCTPASS",        "DUPLEX",
                                           "DUPLEXTYPE", "NOTIFYURL", "CHECKAUTHCODEURL"};

// Characters that may not reach a file name: '/' would leave the directory,
// control characters only confuse.
std::string FileNamePart(const char* s, std::size_t max) {
  std::string out;
  for (const char* p = s ? s : ""; *p && out.size() < max; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += (c == '/' || c < 0x20 || c == 0x7f) ? '_' : static_cast<char>(c);
  }
  return out;
}

// Between two looks at the tool and the job's cancel.
constexpr std::chrono::milliseconds kToolLook{100};
// How long a tool asked to end may take before it is killed.
constexpr std::chrono::milliseconds kToolGrace{2000};

// Reaps the tool; a cancelled job does not wait for it to finish its work
// but ends it, politely first. Returns its wait status (0 when unknown).
int WaitForTool(pid_t pid, JobEvents& events) {
  static const char FUNCNAME[] = "StartJob";
  int status = 0;
  auto reaped = [&] {
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    return r != 0;  // ended, or not our child any more
  };
  while (!reaped()) {
    if (events.Cancelled()) {
      DbgMessage(FUNCNAME, "job cancelled, ending ATM");
      kill(pid, SIGTERM);
      const auto deadline = std::chrono::steady_clock::now() + kToolGrace;
      while (!reaped()) {
        if (std::chrono::steady_clock::now() >= deadline) {
          DbgMessage(FUNCNAME, "ATM still running, killed");
          kill(pid, SIGKILL);
          while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
          }
          break;
        }
        std::this_thread::sleep_for(kToolLook / 2);
      }
      return status;
    }
    events.WaitFor(kToolLook, [&events] { return events.Cancelled(); });
  }
  return status;
}

}  // namespace

std::string CreateAuthFile(const char* title, const char* jobId) {
  static const char FUNCNAME[] = "StartJob";
  constexpr std::size_t kNameMax = 127;
  static const char kDir[] = "//tmp//";
  static const char kJob[] = "_job";
  static const char kUnique[] = "_XXXXXX.txt";
  const std::size_t fixed = sizeof kDir - 1 + sizeof kJob - 1 + sizeof kUnique - 1;
  std::string id = FileNamePart(jobId, 32);
  std::string name = FileNamePart(title, kNameMax - fixed - id.size());
  // Anyone can guess "<title>_job<id>.txt" and plant a FIFO, a link or a file
  // of their own values there first: the file is made private under a name
  // no one can know beforehand, and that name is what the tool gets.
  std::string path = FixedPath((std::string(kDir) + name + kJob + id + kUnique).c_str());
  int fd = mkostemps(path.data(), 4, O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    DbgMessage(FUNCNAME, "cannot create the authorization file, errno = %d, %s", err, std::strerror(err));
    return std::string();
  }
  close(fd);
  return path;
}

void RunAuthorizationTool(const char* jsonFile, const char* title, JobEvents& events) {
  static const char FUNCNAME[] = "StartJob";
  std::string tool = FixedPath("/opt/Pravo/ATM");
  if (!jsonFile || !*jsonFile) return;  // no private file to name

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);

  std::string f = "-f", n = "-n", file = jsonFile, name = title ? title : "";
  char* args[] = {tool.data(), f.data(), file.data(), n.data(), name.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, tool.c_str(), &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    DbgMessage(FUNCNAME, "run ATM fail, errno = %d, %s", rc, std::strerror(rc));
    return;
  }
  const int status = WaitForTool(pid, events);
  DbgMessage(FUNCNAME, "ATM done, status = %d", status);
}

BOOL ParseJSON(const char* szJsonFileName, char outputJsonInfo[][kJsonTokenSize]) {
  static const char FUNCNAME[] = "ParseJSON";
  DWORD start = GetTickCount();
  DbgMessage(FUNCNAME, "In, szJsonFileName = %s", szJsonFileName);

  // The file lies in /tmp: a FIFO, link or another user's file put in its
  // place is not read.
  const char* why = nullptr;
  FILE* f = OpenTrustedForReading(szJsonFileName, &why);
  if (!f) {
    int err = errno;
    if (why)
      DbgMessage(FUNCNAME, "Open file failed, %s", why);
    else
      DbgMessage(FUNCNAME, "Open file failed, errno = %d, %s", err, std::strerror(err));
    return FALSE;
  }
  long dataSize = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) dataSize = std::ftell(f);
  std::rewind(f);
  DbgMessage(FUNCNAME, "dataSize = %d", static_cast<int>(dataSize));
  if (dataSize < 0) {
    std::fclose(f);
    return FALSE;
  }
  std::vector<char> data;
  try {
    data.resize(static_cast<std::size_t>(dataSize));
  } catch (const std::bad_alloc&) {
    std::fclose(f);
    return FALSE;
  }
  std::size_t got = std::fread(data.data(), 1, data.size(), f);
  if (got != data.size()) {
    DbgMessage(FUNCNAME, "fread failed, incorrect elements = %d", static_cast<int>(got));
    std::fclose(f);
    return FALSE;
  }
  std::fclose(f);
  DbgMessage(FUNCNAME, "Close file");

  // Strings of the first object, in order; there is no escape character.
  // Longer strings are cut and strings beyond the table are passed over.
  std::vector<std::string> tokens;
  bool started = false, ended = false;
  for (std::size_t i = 0; i < data.size() && !ended; ++i) {
    char c = data[i];
    if (!started) {
      if (c == '{') {
        started = true;
        DbgMessage(FUNCNAME, "JSON_START");
      }
    } else if (c == '"') {
      std::size_t close = i + 1;
      while (close < data.size() && data[close] != '"') ++close;
      if (close >= data.size()) break;  // unterminated string: no end of object
      if (tokens.size() < static_cast<std::size_t>(kJsonMaxTokens)) {
        std::size_t len = std::min<std::size_t>(close - i - 1, kJsonTokenSize - 1);
        tokens.emplace_back(data.data() + i + 1, len);
        // The value after the password key is the password: it stays out of
        // the trace, as the dialog's does.
        const bool secret =
            tokens.size() > 1 && strcasecmp(tokens[tokens.size() - 2].c_str(), kJsonKeys[JSON_ACCTPASS]) == 0;
        DbgMessage(FUNCNAME, "jsonStr[%d] = %s", static_cast<int>(tokens.size() - 1),
                   secret ? "(password)" : tokens.back().c_str());
      }
      i = close;
    } else if (c == '}') {
      ended = true;
      DbgMessage(FUNCNAME, "JSON_END");
    }
  }
  if (!ended) return FALSE;

  for (std::size_t t = 0; t + 1 < tokens.size(); ++t) {
    for (int k = 0; k < kJsonSlots; ++k) {
      if (strcasecmp(tokens[t].c_str(), kJsonKeys[k]) == 0) {
        CopyBounded(outputJsonInfo[k], kJsonTokenSize, tokens[t + 1].c_str());
        DbgMessage(FUNCNAME, "jsonStr[%d] = %s", static_cast<int>(t), kJsonKeys[k]);
      }
    }
  }
  BOOL rc = TRUE;
  DbgMessage(FUNCNAME, "Out, using = %d, rc = %d", static_cast<int>((GetTickCount() - start) / 1000), rc);
  return rc;
}
