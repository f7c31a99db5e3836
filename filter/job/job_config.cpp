// PPD attributes, job options and destination scan.
#include "job_config.h"

#include <strings.h>

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

}  // namespace

void ReadPpdAttributes(FilterJob& job) {
  ppd_file_t* ppd = job.ppd;
  const char* v = AttrValue(ppd, "MaxMediaWidth");
  job.MaxMediaWidth = v ? static_cast<float>(std::atof(v)) : 595.0f;
  DbgMessage(FUNCNAME, "MaxMediaWidth = %f", job.MaxMediaWidth);
  v = AttrValue(ppd, "MaxMediaHeight");
  job.MaxMediaHeight = v ? static_cast<float>(std::atof(v)) : 842.0f;
  DbgMessage(FUNCNAME, "MaxMediaHeight = %f", job.MaxMediaHeight);

  ReadStringAttr(ppd, "DriverVersion", job.DriverVersion, sizeof job.DriverVersion);
  ReadStringAttr(ppd, "Toolfd", job.Toolfd, sizeof job.Toolfd);
  ReadStringAttr(ppd, "Toolfd2", job.Toolfd2, sizeof job.Toolfd2);
  ReadStringAttr(ppd, "cupslibCMYK", job.cupslibCMYK, sizeof job.cupslibCMYK);
  ReadStringAttr(ppd, "cupsiccCMYK", job.cupsiccCMYK, sizeof job.cupsiccCMYK);
  ReadNumberAttr(ppd, "cupsHTable", job.cupsHTable);
  ReadNumberAttr(ppd, "cupsLEF", job.cupsLEF);
  ReadNumberAttr(ppd, "DriverFeature", job.DriverFeature, false);
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

void ScanJobOptions(FilterJob& job, const char* optionText) {
  job.num_options = cupsParseOptions(optionText, 0, &job.options);
  DbgMessage(FUNCNAME, "num_options = %d", job.num_options);
  for (int i = 0; i < job.num_options; ++i)
    DbgMessage(FUNCNAME, "option(%d): %s = %s", i, job.options[i].name, job.options[i].value);
  for (int i = 0; i < job.num_options; ++i) {
    const cups_option_t& o = job.options[i];
    if (strcasecmp(o.name, "number-up") == 0) job.numUP = str2Int(o.value);
    if (strcasecmp(o.name, "Collate") == 0 && strcasecmp(o.value, "true") == 0) job.bCollate = 1;
  }
  DbgMessage(FUNCNAME, "numUP = %d", job.numUP);
  DbgMessage(FUNCNAME, "bCollate = %d", job.bCollate);
  if (job.ppd) {
    ppdMarkDefaults(job.ppd);
    cupsMarkOptions(job.ppd, job.num_options, job.options);
  }
}

void ScanDestinations(FilterJob& job, const char* queue, cups_dest_t* dests, int num_dests) {
  for (int i = 0; i < num_dests; ++i) {
    const cups_dest_t& d = dests[i];
    DbgMessage(FUNCNAME, "======Printer Name(%s)======", d.name);
    if (std::strcmp(d.name, queue) != 0) continue;
    for (int k = 0; k < d.num_options; ++k) {
      const cups_option_t& o = d.options[k];
      if (std::strcmp(o.name, "device-uri") != 0) continue;
      DbgMessage(FUNCNAME, "device-uri = %s", o.value);
      CopyBounded(job.PrinterPortName, sizeof job.PrinterPortName, o.value);
      if (std::strstr(o.value, "SaveFileBackend") != nullptr) {
        DbgMessage(FUNCNAME, "IgnorePSM");
        job.IgnorePSM = 2;
        break;
      }
    }
  }
}
