// The server's system object: the options PAPPL's own set-up takes
// (server-port, listen-hostname, spool-directory, log-file, log-level,
// server-options, admin-group, auth-service, private-server,
// server-hostname), plus what this application adds to every server: the
// PDF and printer-stream filters, the typing of printer streams, and a
// state file kept where PAPPL's main loop keeps it but saved only while no
// job is under way.
#pragma once

#include <pappl/pappl.h>

#include <string>

// papplMainloop's system callback; data is the driver table, registered
// here so that the saved printers load with their drivers.
pappl_system_t* AppSystemCallback(int numOptions, cups_option_t* options, void* data);

// The parsed server options: what the system is created with.
struct ServerSettings {
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  pappl_loglevel_t logLevel = PAPPL_LOGLEVEL_WARN;
  int port = 0;          // 0: the first free one from 8000
  std::string spoolDir;  // never empty once parsed
  std::string logFile;   // empty: the system's default
  std::string authService;
};

// Reads the options for a server named baseName; false with a reason for
// a value that cannot be used.
bool ParseServerSettings(const char* baseName, int numOptions, cups_option_t* options, ServerSettings& out,
                         std::string& why);
