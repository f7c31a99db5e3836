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
#include <vector>

#include "drivers.h"
#include "image_job.h"
#include "paths.h"
#include "pdf_job.h"

namespace {

// A printer with a job that is not held: printing, stopped on its device,
// about to start, or still being received (held until its document is in,
// which is when a failed upload ends it the way a refusal does).
bool HasJobUnderWay(pappl_printer_t* printer) {
  bool underWay = false;
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t* job, void* data) {
        if (papplJobGetState(job) != IPP_JSTATE_HELD || !papplJobGetFilename(job))
          *static_cast<bool*>(data) = true;
      },
      &underWay, 1, 0);
  return underWay;
}

// PAPPL 1.3 saves its state holding the system's lock while it takes each
// printer's, and turns away a raster job that comes while another prints
// holding the printer's lock while it takes the system's: the two wait on
// each other and the whole server stops. So the state is saved only while
// no printer has a job under way; the end of each job is a change of its
// own, which brings the save back, and a stopping server always saves.
// Nothing here may hold the system's lock while it asks a printer.
// The state names the devices jobs are written to, and a server without a
// home keeps it in the temporary directory: a state file is read or
// written only when it is a plain file of this user's (or root's) that no
// one else may change. nullptr when it is, or is not there yet.
const char* StateFileUntrusted(const char* path) {
  struct stat st {};
  if (lstat(path, &st) != 0) return errno == ENOENT ? nullptr : "cannot be read";
  return UntrustedReason(st, false);
}

bool SaveStateWhenIdle(pappl_system_t* system, void* data) {
  if (papplSystemIsRunning(system)) {
    std::vector<int> ids;
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* out) {
          static_cast<std::vector<int>*>(out)->push_back(papplPrinterGetID(printer));
        },
        &ids);
    for (const int id : ids)
      if (pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
          printer && HasJobUnderWay(printer)) {
        papplLog(system, PAPPL_LOGLEVEL_DEBUG, "State not saved while printer %d has a job under way.", id);
        return true;
      }
  }
  const char* path = static_cast<const char*>(data);
  if (const char* why = StateFileUntrusted(path)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "State file '%s' not written: %s.", path, why);
    return false;
  }
  // Whatever the server's umask, the file must pass the rule above when
  // the next server reads it.
  const bool saved = papplSystemSaveState(system, path);
  if (saved) chmod(path, S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
  return saved;
}

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

// Where PAPPL's main loop keeps a server's state, in its order: the
// snap's data directory, /var/lib for root, the user's configuration
// directory, and the temporary directory as the last resort. The main loop
// only places it when the system callback has not.
std::string StateFile(const char* baseName) {
  const std::string name = baseName;
  if (const char* snap = std::getenv("SNAP_COMMON")) {
    if (access(snap, X_OK) == 0) return std::string(snap) + "/" + name + ".state";
  } else if (getuid() == 0) {
    if (HaveDirectory("/var/lib")) return "/var/lib/" + name + ".state";
  } else if (const char* xdg = std::getenv("XDG_CONFIG_HOME")) {
    if (access(xdg, X_OK) == 0) return std::string(xdg) + "/" + name + ".state";
  } else if (const char* home = std::getenv("HOME")) {
    if (HaveDirectory(std::string(home) + "/.config"))
      return std::string(home) + "/.config/" + name + ".state";
  }
  return std::string(papplGetTempDir()) + "/" + name + std::to_string(getuid()) + ".state";
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

pappl_system_t* AppSystemCallback(int numOptions, cups_option_t* options, void* data) {
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
  // The state names each printer's driver, so the drivers come first; the
  // main loop leaves both alone once they are set.
  const DriverTable& table = *static_cast<const DriverTable*>(data);
  papplSystemSetPrinterDrivers(system, static_cast<int>(table.drivers.size()),
                               const_cast<pappl_pr_driver_t*>(table.drivers.data()), AutoAddCallback, nullptr,
                               DriverCallback, data);
  static std::string stateFile;  // the save callback's data for the server's life
  stateFile = StateFile(baseName);
  if (const char* why = StateFileUntrusted(stateFile.c_str()))
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "State file '%s' not read: %s.", stateFile.c_str(), why);
  else
    papplSystemLoadState(system, stateFile.c_str());
  papplSystemSetSaveCallback(system, SaveStateWhenIdle, stateFile.data());
  return system;
}
