// PPD attributes, job options and destination scan.
#include "job_config.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "feature_bits.h"
#include "paths.h"
#include "shims.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "main";
const char kDashes[] = "---------------------------------------------";

const char* AttrValue(ppd_file_t* ppd, const char* name) {
  if (!ppd) return nullptr;
  ppd_attr_t* attr = ppdFindAttr(ppd, name, nullptr);
  return attr ? attr->value : nullptr;
}

void ReadStringAttr(ppd_file_t* ppd, const char* name, char* dest, std::size_t size) {
  if (const char* v = AttrValue(ppd, name)) {
    CopyBounded(dest, size, v);
    DbgMessage(FUNCNAME, "%s = %s", name, dest);
  }
}

template <typename T>
void ReadNumberAttr(ppd_file_t* ppd, const char* name, T& dest, bool trace = true) {
  if (const char* v = AttrValue(ppd, name)) {
    dest = static_cast<T>(std::atoi(v));
    if (trace) DbgMessage(FUNCNAME, "%s = %d", name, static_cast<int>(dest));
  }
}

// The values the PPD's choices give the raster header's cupsInteger[slot]
// ("<</cupsInteger6 60>>setpagedevice").
SlotRange ChoicesOfSlot(ppd_file_t* ppd, int slot) {
  SlotRange r;
  if (!ppd) return r;
  for (ppd_option_t* o = ppdFirstOption(ppd); o; o = ppdNextOption(ppd)) {
    for (int c = 0; c < o->num_choices; ++c) {
      for (const char* p = o->choices[c].code; p && (p = std::strstr(p, "/cupsInteger"));) {
        char* end = nullptr;
        p += sizeof "/cupsInteger" - 1;
        const long index = std::strtol(p, &end, 10);
        if (end == p || index != slot) continue;
        p = end;
        const long v = std::strtol(p, &end, 10);
        if (end == p || v < INT_MIN || v > INT_MAX) continue;
        r.lo = r.Empty() ? static_cast<int>(v) : std::min(r.lo, static_cast<int>(v));
        r.hi = r.Empty() ? static_cast<int>(v) : std::max(r.hi, static_cast<int>(v));
      }
    }
  }
  return r;
}

// A PPD without the option (one made by hand) gets the choices of the
// driver's own PPDs, so that the printer never reads a negative or
// wrapped-around TIMEOUT or DENSITY.
constexpr SlotRange kTimeoutChoices{0, 600}, kDensityChoices{0, 9};

SlotRange ChoicesOr(ppd_file_t* ppd, int slot, SlotRange fallback) {
  const SlotRange r = ChoicesOfSlot(ppd, slot);
  return r.Empty() ? fallback : r;
}

}  // namespace

void ReadPpdAttributes(ppd_file_t* ppd, JobConfig& config) {
  const char* v = AttrValue(ppd, "MaxMediaWidth");
  config.MaxMediaWidth = v ? static_cast<float>(std::atof(v)) : 595.0f;
  DbgMessage(FUNCNAME, "MaxMediaWidth = %f", config.MaxMediaWidth);
  v = AttrValue(ppd, "MaxMediaHeight");
  config.MaxMediaHeight = v ? static_cast<float>(std::atof(v)) : 842.0f;
  DbgMessage(FUNCNAME, "MaxMediaHeight = %f", config.MaxMediaHeight);

  ReadStringAttr(ppd, "DriverVersion", config.DriverVersion, sizeof config.DriverVersion);
  ReadStringAttr(ppd, "Toolfd", config.Toolfd, sizeof config.Toolfd);
  ReadStringAttr(ppd, "Toolfd2", config.Toolfd2, sizeof config.Toolfd2);
  ReadStringAttr(ppd, "cupslibCMYK", config.cupslibCMYK, sizeof config.cupslibCMYK);
  ReadStringAttr(ppd, "cupsiccCMYK", config.cupsiccCMYK, sizeof config.cupsiccCMYK);
  ReadNumberAttr(ppd, "cupsHTable", config.cupsHTable);
  ReadNumberAttr(ppd, "cupsLEF", config.cupsLEF);
  ReadNumberAttr(ppd, "DriverFeature", config.DriverFeature, false);

  config.slotRanges = {ChoicesOr(ppd, 6, kTimeoutChoices), ChoicesOr(ppd, 11, kDensityChoices)};
  if (ppd && ppd->jcl_begin) config.jclBegin = ppd->jcl_begin;
}

void TraceDriverFeature(DWORD f) {
  struct Bit {
    DWORD mask;
    const char* line;
  };
  static const Bit kBits[] = {
      {DF_DISABLE_COMPRESS, "Disable Compress = %d"},
      {DF_BORDER_FILTER, "Border filter = %d"},
      {DF_BCP_MODE0, "BCP Mode 0 = %d"},
      {DF_BCP_MODE1, "BCP Mode 1 = %d"},
      {DF_ABORT_ON_ERROR, "Abort job when error = %d"},
      {DF_DISCONNECT_DETECT, "Disconnection detect = %d"},
      {DF_DISABLE_STATUS_MONITOR, "Disable status monitor = %d"},
      {DF_HIDDEN_WATERMARK, "Hidden watermark = %d"},
      {DF_HALFTONE_RED, "halftone red color = %d"},
      {DF_IMPR, "IMPR = %d"},
      {DF_CMYK_SEPARATE_COMPRESS, "CMYK separate compress = %d"},
      {DF_ZQ3_CHIP, "ZQ3 Chip = %d"},
      {DF_A3, "A3 = %d"},
      {DF_VORDAN, "Vordan = %d"},
  };
  DbgMessage(FUNCNAME, "DriverFeature = %08x", f);
  DbgMessage(FUNCNAME, "%s", kDashes);
  for (const Bit& b : kBits) DbgMessage(FUNCNAME, b.line, (f & b.mask) ? 1 : 0);
  DbgMessage(FUNCNAME, "%s", kDashes);
}

void ScanJobOptions(JobConfig& config, JobOptions& options, ppd_file_t* ppd, const char* optionText) {
  options.Parse(optionText);
  const int n = options.Count();
  const cups_option_t* list = options.List();
  DbgMessage(FUNCNAME, "num_options = %d", n);
  for (int i = 0; i < n; ++i) DbgMessage(FUNCNAME, "option(%d): %s = %s", i, list[i].name, list[i].value);
  for (int i = 0; i < n; ++i) {
    const cups_option_t& o = list[i];
    if (strcasecmp(o.name, "number-up") == 0) config.numUP = str2Int(o.value);
    if (strcasecmp(o.name, "Collate") == 0 && strcasecmp(o.value, "true") == 0) config.collate = true;
  }
  DbgMessage(FUNCNAME, "numUP = %d", config.numUP);
  DbgMessage(FUNCNAME, "bCollate = %d", config.collate ? 1 : 0);
  if (ppd) {
    ppdMarkDefaults(ppd);
    cupsMarkOptions(ppd, n, options.List());
  }
}

void ScanDestinations(JobConfig& config, const char* queue, cups_dest_t* dests, int num_dests) {
  for (int i = 0; i < num_dests; ++i) {
    const cups_dest_t& d = dests[i];
    DbgMessage(FUNCNAME, "======Printer Name(%s)======", d.name);
    if (std::strcmp(d.name, queue) != 0) continue;
    for (int k = 0; k < d.num_options; ++k) {
      const cups_option_t& o = d.options[k];
      if (std::strcmp(o.name, "device-uri") != 0) continue;
      DbgMessage(FUNCNAME, "device-uri = %s", o.value);
      CopyBounded(config.PrinterPortName, sizeof config.PrinterPortName, o.value);
      if (std::strstr(o.value, "SaveFileBackend") != nullptr) {
        DbgMessage(FUNCNAME, "IgnorePSM");
        config.monitorUse = MonitorUse::JobToFile;
        break;
      }
    }
  }
}
