// The model's capabilities read from its PPD, and a job's IPP options as
// PPD choices.
#include "model.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "pdf_job.h"

namespace {

struct PpdCloser {
  void operator()(ppd_file_t* ppd) const { ppdClose(ppd); }
};
using PpdFile = std::unique_ptr<ppd_file_t, PpdCloser>;

// Points to hundredths of millimetres, rounded to the nearest.
int Hundredths(float points) {
  return static_cast<int>(std::lround(points * 2540.0 / 72.0));
}

// Margins are rounded up: a client that keeps within them stays on the
// printable area.
int MarginHundredths(float points) {
  return points <= 0 ? 0 : static_cast<int>(std::ceil(points * 2540.0 / 72.0 - 1e-6));
}

std::string Lower(const std::string& s) {
  std::string out;
  for (const char c : s) out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return out;
}

// A standard size keeps its PWG name; any other gets a self-describing
// name of its own ("om_8k_267.05x390.17mm"), which PAPPL reads back into
// dimensions.
ModelSize SizeOf(const ppd_size_t& size) {
  ModelSize out;
  out.name.ppd = size.name;
  out.width = Hundredths(size.width);
  out.length = Hundredths(size.length);
  const pwg_media_t* pwg = pwgMediaForSize(out.width, out.length);
  if (pwg && pwg->pwg && std::strncmp(pwg->pwg, "custom_", 7) != 0) {
    out.name.pwg = pwg->pwg;
    out.width = pwg->width;
    out.length = pwg->length;
  } else {
    char keyword[128];
    pwgFormatSizeName(keyword, sizeof keyword, "om", Lower(size.name).c_str(), out.width, out.length,
                      nullptr);
    out.name.pwg = keyword;
  }
  return out;
}

const ModelChoice* FindPwg(const std::vector<ModelChoice>& list, const char* pwg) {
  for (const ModelChoice& c : list)
    if (c.pwg == pwg) return &c;
  return nullptr;
}

const char* DefaultChoice(ppd_file_t* ppd, const char* option) {
  const ppd_choice_t* c = ppdFindMarkedChoice(ppd, option);
  return c ? c->choice : "";
}

bool HasChoice(ppd_file_t* ppd, const char* option, const char* choice) {
  return ppdFindChoice(ppdFindOption(ppd, option), choice) != nullptr;
}

// "600dpi" or "600x1200dpi"; false for anything else.
bool ParseResolution(const char* text, int& x, int& y) {
  char unit[8] = "";
  const int n = std::sscanf(text, "%dx%d%7s", &x, &y, unit);
  if (n == 3 && std::strcmp(unit, "dpi") == 0) return x > 0 && y > 0;
  if (std::sscanf(text, "%d%7s", &x, unit) == 2 && std::strcmp(unit, "dpi") == 0) {
    y = x;
    return x > 0;
  }
  return false;
}

// The PPD options a user chooses per job besides the standard IPP ones, as
// vendor options; keywords start with a letter, hence the prefix of
// numeric choices.
constexpr struct {
  const char* ppd;
  const char* ipp;
  const char* numericPrefix;
} kVendorOptions[] = {
    {"JobTimeout", "job-timeout", "seconds-"},
    {"QualityMode", "edge-enhancement", ""},
    {"Invert", "negative-print", ""},
    {"MirrorImage", "mirror-image", ""},
};

std::string ChoiceKeyword(const char* choice, const char* numericPrefix) {
  const std::string keyword = Lower(choice);
  return std::isdigit(static_cast<unsigned char>(keyword[0])) ? numericPrefix + keyword : keyword;
}

// The darkness PAPPL reports (printer-darkness-configured plus the job's
// print-darkness, 0 to 100) as a Density choice; the configured default
// stands for the PPD's default.
int DarknessOf(const PrinterModel& model) {
  const int levels = static_cast<int>(model.density.size());
  return levels > 1 ? model.densityDefault * 100 / (levels - 1) : 0;
}

}  // namespace

std::string SourceKeyword(const std::string& ppdChoice) {
  if (ppdChoice == "Auto") return "auto";
  if (ppdChoice == "Manual") return "manual";
  if (ppdChoice.size() > 4 && ppdChoice.compare(0, 4, "Tray") == 0 &&
      std::isdigit(static_cast<unsigned char>(ppdChoice[4])))
    return "tray-" + ppdChoice.substr(4);
  return Lower(ppdChoice);
}

std::string TypeKeyword(const std::string& ppdChoice) {
  if (ppdChoice == "Plain") return "stationery";
  if (ppdChoice == "Thin") return "stationery-lightweight";
  if (ppdChoice == "Thick") return "stationery-heavyweight";
  return Lower(ppdChoice);
}

bool LoadPrinterModel(const std::string& ppdPath, PrinterModel& model, std::string& why) {
  PpdFile ppd(ppdOpenFile(ppdPath.c_str()));
  if (!ppd) {
    int line = 0;
    why = ppdPath + ": " + ppdErrorString(ppdLastError(&line)) + " on line " + std::to_string(line);
    return false;
  }
  ppdMarkDefaults(ppd.get());
  model = PrinterModel{};
  model.ppdPath = ppdPath;
  // A PPD's ModelName already starts with its maker.
  const std::string maker = ppd->manufacturer ? ppd->manufacturer : "";
  model.makeAndModel = ppd->modelname ? ppd->modelname : "";
  if (model.makeAndModel.compare(0, maker.size(), maker) != 0)
    model.makeAndModel = maker + " " + model.makeAndModel;
  // The PPD's own device ID, else one made of its maker and model.
  if (const ppd_attr_t* id = ppdFindAttr(ppd.get(), "1284DeviceID", nullptr); id && id->value)
    model.deviceId = id->value;
  else
    model.deviceId = "MFG:" + maker +
                     ";MDL:" + model.makeAndModel.substr(maker.empty() ? 0 : maker.size() + 1) +
                     ";CMD:PJL;CLS:PRINTER;";
  model.pagesPerMinute = ppd->throughput;
  model.colour = ppd->color_device != 0 && HasChoice(ppd.get(), "ColorModel", "RGB") &&
                 HasChoice(ppd.get(), "ColorModel", "Gray");
  model.tonerSave = HasChoice(ppd.get(), "TonerSave", "On");
  // Two-sided printing needs the choices and, where the PPD knows one, its
  // installed duplex unit.
  model.duplex = HasChoice(ppd.get(), "Duplex", "DuplexNoTumble") &&
                 HasChoice(ppd.get(), "Duplex", "DuplexTumble") &&
                 std::strcmp(DefaultChoice(ppd.get(), "OptionDuplexer"), "False") != 0;

  for (int i = 0; i < ppd->num_sizes && model.sizes.size() < PAPPL_MAX_MEDIA; ++i) {
    const ppd_size_t& size = ppd->sizes[i];
    if (std::strcmp(size.name, "Custom") == 0) continue;
    model.sizes.push_back(SizeOf(size));
    model.leftRight =
        std::max({model.leftRight, MarginHundredths(size.left), MarginHundredths(size.width - size.right)});
    model.bottomTop =
        std::max({model.bottomTop, MarginHundredths(size.bottom), MarginHundredths(size.length - size.top)});
    if (std::strcmp(size.name, DefaultChoice(ppd.get(), "PageSize")) == 0)
      model.defaultSize = model.sizes.back().name;
  }
  if (model.sizes.empty()) {
    why = ppdPath + ": no page sizes";
    return false;
  }
  if (model.defaultSize.ppd.empty()) model.defaultSize = model.sizes.front().name;

  if (const ppd_option_t* slot = ppdFindOption(ppd.get(), "InputSlot"))
    for (int i = 0; i < slot->num_choices && model.sources.size() < PAPPL_MAX_SOURCE; ++i)
      model.sources.push_back({SourceKeyword(slot->choices[i].choice), slot->choices[i].choice});
  if (model.sources.empty()) model.sources.push_back({"auto", ""});
  model.defaultSource = model.sources.front();
  if (const ModelChoice* c =
          FindPwg(model.sources, SourceKeyword(DefaultChoice(ppd.get(), "InputSlot")).c_str()))
    model.defaultSource = *c;

  if (const ppd_option_t* type = ppdFindOption(ppd.get(), "MediaType"))
    for (int i = 0; i < type->num_choices && model.types.size() < PAPPL_MAX_TYPE; ++i)
      model.types.push_back({TypeKeyword(type->choices[i].choice), type->choices[i].choice});
  if (model.types.empty()) model.types.push_back({"stationery", ""});
  model.defaultType = model.types.front();
  if (const ModelChoice* c = FindPwg(model.types, TypeKeyword(DefaultChoice(ppd.get(), "MediaType")).c_str()))
    model.defaultType = *c;

  if (const ppd_option_t* density = ppdFindOption(ppd.get(), "Density")) {
    for (int i = 0; i < density->num_choices; ++i) {
      if (std::strcmp(density->choices[i].choice, density->defchoice) == 0)
        model.densityDefault = static_cast<int>(model.density.size());
      model.density.push_back(density->choices[i].choice);
    }
  }
  for (const auto& v : kVendorOptions) {
    const ppd_option_t* option = ppdFindOption(ppd.get(), v.ppd);
    if (!option || option->num_choices < 2) continue;
    VendorOption out{v.ipp, v.ppd, {}, ""};
    for (int i = 0; i < option->num_choices; ++i) {
      out.choices.push_back(
          {ChoiceKeyword(option->choices[i].choice, v.numericPrefix), option->choices[i].choice});
      if (std::strcmp(option->choices[i].choice, option->defchoice) == 0)
        out.defaultChoice = out.choices.back().pwg;
    }
    if (out.defaultChoice.empty()) out.defaultChoice = out.choices.front().pwg;
    model.vendor.push_back(std::move(out));
  }

  // A resolution option lists what the engine takes; without one the PPD's
  // default resolution is the only one.
  int x = 0, y = 0;
  if (const ppd_option_t* res = ppdFindOption(ppd.get(), "Resolution")) {
    for (int i = 0; i < res->num_choices && model.resolutions.size() < PAPPL_MAX_RESOLUTION; ++i)
      if (ParseResolution(res->choices[i].choice, x, y)) model.resolutions.emplace_back(x, y);
  } else if (const ppd_attr_t* def = ppdFindAttr(ppd.get(), "DefaultResolution", nullptr)) {
    if (def->value && ParseResolution(def->value, x, y)) model.resolutions.emplace_back(x, y);
  }
  if (model.resolutions.empty()) {
    why = ppdPath + ": no resolution";
    return false;
  }
  return true;
}

ipp_t* VendorAttributes(const PrinterModel& model) {
  ipp_t* attrs = ippNew();
  for (const VendorOption& v : model.vendor) {
    std::vector<const char*> values;
    for (const ModelChoice& c : v.choices) values.push_back(c.pwg.c_str());
    ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (v.ipp + "-supported").c_str(),
                  static_cast<int>(values.size()), nullptr, values.data());
    ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (v.ipp + "-default").c_str(), nullptr,
                 v.defaultChoice.c_str());
  }
  return attrs;
}

void FillDriverData(const PrinterModel& model, pappl_pr_driver_data_t& data) {
  std::snprintf(data.make_and_model, sizeof data.make_and_model, "%s", model.makeAndModel.c_str());
  data.ppm = model.pagesPerMinute > 0 ? model.pagesPerMinute : 1;
  data.kind = PAPPL_KIND_DOCUMENT;
  data.orient_default = IPP_ORIENT_PORTRAIT;
  data.quality_default = IPP_QUALITY_NORMAL;
  data.content_default = PAPPL_CONTENT_AUTO;
  data.scaling_default = PAPPL_SCALING_AUTO;

  // 8-bit pages only: the engine screens them itself, a 1-bit page would
  // arrive screened twice.
  data.raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  // A printer stream made for these printers goes to them as it is.
  data.format = kPrinterStreamType;
  data.force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  if (model.colour) {
    data.raster_types |= PAPPL_PWG_RASTER_TYPE_SRGB_8;
    data.color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_COLOR | PAPPL_COLOR_MODE_MONOCHROME;
    data.color_default = PAPPL_COLOR_MODE_AUTO;
  } else {
    data.color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
    data.color_default = PAPPL_COLOR_MODE_MONOCHROME;
  }

  // Back sides come as the client renders them; the engine turns nothing.
  data.duplex = model.duplex ? PAPPL_DUPLEX_NORMAL : PAPPL_DUPLEX_NONE;
  data.sides_supported = PAPPL_SIDES_ONE_SIDED;
  if (model.duplex)
    data.sides_supported |= PAPPL_SIDES_TWO_SIDED_LONG_EDGE | PAPPL_SIDES_TWO_SIDED_SHORT_EDGE;
  data.sides_default = PAPPL_SIDES_ONE_SIDED;

  data.num_resolution = static_cast<int>(model.resolutions.size());
  for (int i = 0; i < data.num_resolution; ++i) {
    data.x_resolution[i] = model.resolutions[static_cast<std::size_t>(i)].first;
    data.y_resolution[i] = model.resolutions[static_cast<std::size_t>(i)].second;
  }
  data.x_default = data.x_resolution[0];
  data.y_default = data.y_resolution[0];

  data.borderless = false;
  data.left_right = model.leftRight;
  data.bottom_top = model.bottomTop;
  data.num_media = static_cast<int>(model.sizes.size());
  for (int i = 0; i < data.num_media; ++i)
    data.media[i] = model.sizes[static_cast<std::size_t>(i)].name.pwg.c_str();
  data.num_source = static_cast<int>(model.sources.size());
  for (int i = 0; i < data.num_source; ++i)
    data.source[i] = model.sources[static_cast<std::size_t>(i)].pwg.c_str();
  data.num_type = static_cast<int>(model.types.size());
  for (int i = 0; i < data.num_type; ++i) data.type[i] = model.types[static_cast<std::size_t>(i)].pwg.c_str();

  if (model.density.size() > 1) {
    data.darkness_supported = static_cast<int>(model.density.size());
    data.darkness_configured = DarknessOf(model);
    data.darkness_default = 0;
  }
  data.num_vendor = 0;
  for (const VendorOption& v : model.vendor)
    if (data.num_vendor < PAPPL_MAX_VENDOR) data.vendor[data.num_vendor++] = v.ipp.c_str();

  pappl_media_col_t media{};
  for (const ModelSize& s : model.sizes)
    if (s.name.pwg == model.defaultSize.pwg) {
      media.size_width = s.width;
      media.size_length = s.length;
    }
  std::snprintf(media.size_name, sizeof media.size_name, "%s", model.defaultSize.pwg.c_str());
  std::snprintf(media.type, sizeof media.type, "%s", model.defaultType.pwg.c_str());
  media.left_margin = media.right_margin = model.leftRight;
  media.bottom_margin = media.top_margin = model.bottomTop;
  for (int i = 0; i < data.num_source; ++i) {
    data.media_ready[i] = media;
    std::snprintf(data.media_ready[i].source, sizeof media.source, "%s", data.source[i]);
  }
  data.media_default = media;
  std::snprintf(data.media_default.source, sizeof media.source, "%s", model.defaultSource.pwg.c_str());
}

bool JobChoices(const PrinterModel& model, const pappl_pr_options_t& options,
                std::vector<std::pair<std::string, std::string>>& choices, std::string& why) {
  choices.clear();
  // The paper by name, else by size within a millimetre (a media-col
  // with dimensions only).
  const ModelSize* size = nullptr;
  for (const ModelSize& s : model.sizes)
    if (s.name.pwg == options.media.size_name) size = &s;
  for (const ModelSize& s : model.sizes)
    if (!size && std::abs(s.width - options.media.size_width) <= 100 &&
        std::abs(s.length - options.media.size_length) <= 100)
      size = &s;
  if (!size) {
    why = std::string("paper ") + options.media.size_name + " is not one this printer takes";
    return false;
  }
  choices.emplace_back("PageSize", size->name.ppd);

  if (const ModelChoice* c = FindPwg(model.sources, options.media.source); c && !c->ppd.empty())
    choices.emplace_back("InputSlot", c->ppd);
  if (const ModelChoice* c = FindPwg(model.types, options.media.type); c && !c->ppd.empty())
    choices.emplace_back("MediaType", c->ppd);
  if (model.duplex) {
    const char* duplex = options.sides == PAPPL_SIDES_TWO_SIDED_LONG_EDGE    ? "DuplexNoTumble"
                         : options.sides == PAPPL_SIDES_TWO_SIDED_SHORT_EDGE ? "DuplexTumble"
                                                                             : "None";
    choices.emplace_back("Duplex", duplex);
  }
  if (model.colour)
    choices.emplace_back("ColorModel", options.print_color_mode == PAPPL_COLOR_MODE_COLOR ? "RGB" : "Gray");
  if (model.tonerSave && options.print_quality == IPP_QUALITY_DRAFT) choices.emplace_back("TonerSave", "On");
  if (model.density.size() > 1) {
    const int levels = static_cast<int>(model.density.size());
    const int darkness = std::clamp(options.darkness_configured + options.print_darkness, 0, 100);
    const auto level = static_cast<std::size_t>(std::lround(darkness * (levels - 1) / 100.0));
    choices.emplace_back("Density", model.density[level]);
  }
  for (const VendorOption& v : model.vendor) {
    const char* value = cupsGetOption(v.ipp.c_str(), options.num_vendor, options.vendor);
    if (!value) continue;
    const ModelChoice* c = FindPwg(v.choices, value);
    if (!c) {
      why = v.ipp + " " + value + " is not one this printer takes";
      return false;
    }
    choices.emplace_back(v.ppd, c->ppd);
  }
  return true;
}
