// The system callback: the server set up from the sub-command's options as
// PAPPL's default set-up does, with this application's filters added.
#include "system.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "image_job.h"
#include "pdf_job.h"

namespace {

// A directory that exists or could be made; false when neither.
bool HaveDirectory(const std::string& dir) {
  return access(dir.c_str(), X_OK) == 0 || (errno == ENOENT && mkdir(dir.c_str(), 0777) == 0);
}

// Where the spool lives when no spool-directory is given: the snap's data
// directory, the system's spool for root, the user's configuration
// directory, and the temporary directory as the last resort.
std::string DefaultSpoolDir(const char* baseName) {
  const std::string name = baseName;
  if (const char* snap = std::getenv("SNAP_COMMON")) return std::string(snap) + "/" + name + ".d";
  if (getuid() == 0 && HaveDirectory("/var/spool")) return "/var/spool/" + name;
  if (const char* home = std::getenv("HOME"); home && getuid() != 0) {
    const std::string config = std::string(home) + "/.config";
    if (HaveDirectory(config)) return config + "/" + name + ".d";
  }
  return std::string(papplGetTempDir()) + "/" + name + std::to_string(getuid()) + ".d";
}

struct ServerOptionName {
  std::string_view name;
  pappl_soptions_t bit;
  bool set;  // false: the keyword takes the bit away
};
constexpr ServerOptionName kServerOptions[] = {
    {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST, true},
    {"no-multi-queue", PAPPL_SOPTIONS_MULTI_QUEUE, false},
    {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET, true},
    {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER, true},
    {"no-web-interface", PAPPL_SOPTIONS_WEB_INTERFACE, false},
    {"web-log", PAPPL_SOPTIONS_WEB_LOG, true},
    {"web-network", PAPPL_SOPTIONS_WEB_NETWORK, true},
    {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE, true},
    {"web-security", PAPPL_SOPTIONS_WEB_SECURITY, true},
    {"no-tls", PAPPL_SOPTIONS_NO_TLS, true},
};

// A comma-separated list applied in order: "none" clears what came before,
// unknown keywords are passed over as PAPPL's own set-up does.
pappl_soptions_t ServerOptions(std::string_view list, pappl_soptions_t options) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view word = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (word == "none") options = PAPPL_SOPTIONS_NONE;
    for (const ServerOptionName& o : kServerOptions)
      if (word == o.name) options = o.set ? (options | o.bit) : (options & ~o.bit);
  }
  return options;
}

}  // namespace

bool ParseServerSettings(const char* baseName, int numOptions, cups_option_t* options, ServerSettings& out,
                         std::string& why) {
  out = ServerSettings{};
  auto get = [&](const char* name) { return cupsGetOption(name, numOptions, options); };
  static constexpr struct {
    std::string_view name;
    pappl_loglevel_t level;
  } kLevels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                 {"error", PAPPL_LOGLEVEL_ERROR},
                 {"warn", PAPPL_LOGLEVEL_WARN},
                 {"info", PAPPL_LOGLEVEL_INFO},
                 {"debug", PAPPL_LOGLEVEL_DEBUG}};
  if (const char* level = get("log-level"))
    for (const auto& l : kLevels)
      if (l.name == level) out.logLevel = l.level;
  if (const char* list = get("server-options")) out.options = ServerOptions(list, out.options);
  if (const char* port = get("server-port")) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(port, &end, 10);
    if (end == port || *end || errno == ERANGE || value < 0 || value > 65535) {
      why = std::string("Bad 'server-port' value: ") + port;
      return false;
    }
    out.port = static_cast<int>(value);
  }
  const char* spool = get("spool-directory");
  out.spoolDir = spool && *spool ? spool : DefaultSpoolDir(baseName);
  if (const char* log = get("log-file")) out.logFile = log;
  if (const char* auth = get("auth-service")) out.authService = auth;
  return true;
}

pappl_system_t* AppSystemCallback(int numOptions, cups_option_t* options, void* /*data*/) {
  // The main loop names the server after the program as it was called.
  const char* baseName = program_invocation_short_name;
  ServerSettings settings;
  std::string why;
  if (!ParseServerSettings(baseName, numOptions, options, settings, why)) {
    std::fprintf(stderr, "%s: %s\n", baseName, why.c_str());
    return nullptr;
  }
  pappl_system_t* system = papplSystemCreate(
      settings.options, baseName, settings.port, "_print,_universal", settings.spoolDir.c_str(),
      settings.logFile.empty() ? nullptr : settings.logFile.c_str(), settings.logLevel,
      settings.authService.empty() ? nullptr : settings.authService.c_str(), false);
  if (!system) return nullptr;
  // PAPPL 1.3 rotates its log by closing the descriptor that other threads
  // may be about to write through; the number, reused by a job's pipe, a
  // device or a client's socket, would get their log lines. The engine
  // logs from several threads of every job, so the log is not rotated
  // here: the journal or logrotate keeps it in bounds.
  papplSystemSetMaxLogSize(system, 0);
  if (const char* group = cupsGetOption("admin-group", numOptions, options))
    papplSystemSetAdminGroup(system, group);
  if (const char* host = cupsGetOption("server-hostname", numOptions, options))
    papplSystemSetHostName(system, host);
  // A private server is reached through its local socket only, which the
  // main loop adds.
  if (!cupsGetOption("private-server", numOptions, options))
    papplSystemAddListeners(system, cupsGetOption("listen-hostname", numOptions, options));
  AddDocumentFilters(system);
  AddImageFilters(system);
  return system;
}
