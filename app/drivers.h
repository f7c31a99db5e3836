// The application's drivers: one per PPD of the model directory, named like
// the PPD file ("gdimled" for gdimled.ppd), and the driver callback that
// gives a new printer its model's capabilities and the raster callbacks.
#pragma once

#include <pappl/pappl.h>

#include <string>
#include <vector>

struct DriverTable {
  std::string dir;  // where the PPDs are read from
  std::vector<std::string> names, descriptions, deviceIds;
  std::vector<pappl_pr_driver_t> drivers;  // point into the strings above
};

// RASTERTOPWG2_PPD_DIR when set, else the directory the build was configured
// with, else the PPDs installed under the program's own prefix
// (<bindir>/../share/cups/model/rastertopwg2 as installed), so that an
// install moved to another prefix still finds them.
std::string ModelDirectory();

// One driver for each readable PPD of dir, in name order; what is passed
// over is said on the error stream.
void LoadDriverTable(const std::string& dir, DriverTable& table);

// PAPPL's driver callback; data is the DriverTable.
bool DriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                    const char* deviceId, pappl_pr_driver_data_t* driverData, ipp_t** driverAttrs,
                    void* data);

// PAPPL's auto-add callback: the driver whose PPD device ID names the same
// manufacturer and model as the printer's IEEE 1284 device ID (keys and
// values case-insensitive), else nullptr. data is the DriverTable.
const char* AutoAddCallback(const char* deviceInfo, const char* deviceUri, const char* deviceId, void* data);
