// A printer model as the printer application presents it: what its PPD
// offers (page sizes and margins, input slots, media types, duplex,
// resolutions, colour), under the IPP names a client asks for, and the PPD
// choices that one job's IPP options stand for. The PPD is the one place
// these facts live; nothing here is typed a second time.
#pragma once

#include <cups/ppd.h>
#include <pappl/pappl.h>

#include <string>
#include <utility>
#include <vector>

// One PPD choice with the IPP keyword it is offered under.
struct ModelChoice {
  std::string pwg;  // IPP keyword ("iso_a4_210x297mm", "tray-1", "stationery")
  std::string ppd;  // PPD choice name ("A4", "Tray1", "Plain")
};

// A page size: its choice and its dimensions in hundredths of millimetres.
struct ModelSize {
  ModelChoice name;
  int width = 0;
  int length = 0;
};

// A PPD option offered as it is, as a PAPPL vendor option: the job's
// attribute `ipp` takes one of the choices' keywords.
struct VendorOption {
  std::string ipp;  // IPP attribute name ("mirror-image")
  std::string ppd;  // PPD option keyword ("MirrorImage")
  std::vector<ModelChoice> choices;
  std::string defaultChoice;  // IPP keyword of the PPD's default
};

struct PrinterModel {
  std::string ppdPath;
  std::string makeAndModel;  // "Manufacturer ModelName"
  std::string deviceId;      // IEEE 1284 device ID
  std::vector<ModelSize> sizes;
  std::vector<ModelChoice> sources;
  std::vector<ModelChoice> types;
  ModelChoice defaultSize, defaultSource, defaultType;
  int leftRight = 0;                             // widest side margin of any size, hundredths of mm
  int bottomTop = 0;                             // widest top or bottom margin of any size
  std::vector<std::pair<int, int>> resolutions;  // dpi, x and y
  bool duplex = false;                           // two-sided choices, unit installed
  bool colour = false;                           // RGB as well as gray pages
  bool tonerSave = false;                        // the PPD has TonerSave=On
  int pagesPerMinute = 0;
  std::vector<std::string> density;  // the PPD's Density choices, lightest first
  int densityDefault = 0;            // index of the PPD's default density
  std::vector<VendorOption> vendor;
};

// Reads the model from its PPD; false with a reason when it cannot be used.
bool LoadPrinterModel(const std::string& ppdPath, PrinterModel& model, std::string& why);

// The printer's vendor options with their supported values and defaults.
ipp_t* VendorAttributes(const PrinterModel& model);

// Fills PAPPL's driver data from the model. The strings it points to belong
// to model, which must outlive the printer.
void FillDriverData(const PrinterModel& model, pappl_pr_driver_data_t& data);

// The PPD choices ("PageSize" -> "A4" ...) for one job's options: page size,
// source, type, sides, colour mode, toner saving for draft quality,
// density for print-darkness and the vendor options.
// False with a reason when the job's paper is not one of the model's.
bool JobChoices(const PrinterModel& model, const pappl_pr_options_t& options,
                std::vector<std::pair<std::string, std::string>>& choices, std::string& why);

// The IPP keyword of an input slot or a media type of a PPD.
std::string SourceKeyword(const std::string& ppdChoice);
std::string TypeKeyword(const std::string& ppdChoice);
