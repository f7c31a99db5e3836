// The driver table from the model directory and the driver callback.
#include "drivers.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "attributes.h"
#include "model.h"
#include "raster_job.h"
#include "status.h"
#include "testpage.h"

namespace {

// The manufacturer and model of an IEEE 1284 device ID, under their long or
// short keys; empty when missing.
struct MakeModel {
  std::string make, model;
};
MakeModel MakeModelOf(const char* deviceId) {
  cups_option_t* keys = nullptr;
  const int n = papplDeviceParseID(deviceId, &keys);
  const auto value = [&](const char* longKey, const char* shortKey) {
    const char* v = cupsGetOption(longKey, n, keys);
    if (!v) v = cupsGetOption(shortKey, n, keys);
    return std::string(v ? v : "");
  };
  MakeModel m{value("MANUFACTURER", "MFG"), value("MODEL", "MDL")};
  cupsFreeOptions(n, keys);
  return m;
}

void DeleteModel(pappl_printer_t* /*printer*/, pappl_pr_driver_data_t* data) {
  delete static_cast<PrinterModel*>(data->extension);
  data->extension = nullptr;
}

}  // namespace

std::string ModelDirectory() {
  const char* dir = std::getenv("RASTERTOPWG2_PPD_DIR");
  if (dir && *dir) return dir;
  if (*RASTERTOPWG2_MODEL_DIR) return RASTERTOPWG2_MODEL_DIR;
  // The program's real path, not argv[0]: a link in another bin/ or a
  // start through PATH still finds the PPDs of its own install.
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return (self.parent_path() / RASTERTOPWG2_MODEL_FROM_BIN).lexically_normal().string();
}

void LoadDriverTable(const std::string& dir, DriverTable& table) {
  table = DriverTable{};
  table.dir = dir;
  std::vector<std::filesystem::path> ppds;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
    if (entry.path().extension() == ".ppd") ppds.push_back(entry.path());
  if (ec) std::fprintf(stderr, "rastertopwg2-app: no models in %s: %s\n", dir.c_str(), ec.message().c_str());
  std::sort(ppds.begin(), ppds.end());
  for (const auto& path : ppds) {
    PrinterModel model;
    std::string why;
    if (!LoadPrinterModel(path.string(), model, why)) {
      std::fprintf(stderr, "rastertopwg2-app: %s\n", why.c_str());
      continue;
    }
    table.names.push_back(path.stem().string());
    table.descriptions.push_back(model.makeAndModel);
    table.deviceIds.push_back(model.deviceId);
  }
  for (std::size_t i = 0; i < table.names.size(); ++i)
    table.drivers.push_back(
        {table.names[i].c_str(), table.descriptions[i].c_str(), table.deviceIds[i].c_str(), nullptr});
}

bool DriverCallback(pappl_system_t* system, const char* driverName, const char* /*deviceUri*/,
                    const char* /*deviceId*/, pappl_pr_driver_data_t* driverData, ipp_t** driverAttrs,
                    void* data) {
  const auto& table = *static_cast<const DriverTable*>(data);
  if (std::find(table.names.begin(), table.names.end(), driverName) == table.names.end()) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver named '%s'", driverName);
    return false;
  }
  // Read now, not from the table: the printer gets what its PPD says today.
  auto model = std::make_unique<PrinterModel>();
  std::string why;
  if (!LoadPrinterModel(table.dir + "/" + driverName + ".ppd", *model, why)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
    return false;
  }
  FillDriverData(*model, *driverData);
  *driverAttrs = VendorAttributes(*model);
  AddEverywhereAttributes(*driverAttrs);
  driverData->rstartjob_cb = AppStartJob;
  driverData->rstartpage_cb = AppStartPage;
  driverData->rwriteline_cb = AppWriteLine;
  driverData->rendpage_cb = AppEndPage;
  driverData->rendjob_cb = AppEndJob;
  driverData->delete_cb = DeleteModel;
  driverData->status_cb = AppStatus;
  driverData->testpage_cb = AppTestPage;
  driverData->identify_cb = AppIdentify;
  driverData->identify_supported = driverData->identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;
  driverData->extension = model.release();
  return true;
}

const char* AutoAddCallback(const char* /*deviceInfo*/, const char* /*deviceUri*/, const char* deviceId,
                            void* data) {
  const auto& table = *static_cast<const DriverTable*>(data);
  const MakeModel printer = MakeModelOf(deviceId);
  if (printer.make.empty() || printer.model.empty()) return nullptr;
  for (std::size_t i = 0; i < table.names.size(); ++i) {
    const MakeModel model = MakeModelOf(table.deviceIds[i].c_str());
    if (strcasecmp(model.make.c_str(), printer.make.c_str()) == 0 &&
        strcasecmp(model.model.c_str(), printer.model.c_str()) == 0)
      return table.names[i].c_str();
  }
  return nullptr;
}
