// Printer capability: live query through the status library, else the
// capability file the last live query left in /tmp.
#include "capability.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "feature_bits.h"
#include "paths.h"
#include "status_monitor.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "main";
const char kDashes[] = "---------------------------------------------";

// "//tmp//<queue>.dat", or "//tmp/PRN.dat" when the status monitor is not
// used. A queue name can never leave /tmp: '/' is replaced. Names that do
// not fit the 128-byte name buffer give an empty result.
std::string CapabilityFileName(MonitorUse use, const char* queue) {
  std::string name;
  if (use == MonitorUse::Used) {
    std::string q = queue ? queue : "";
    for (char& c : q)
      if (c == '/') c = '_';
    if (q.empty() || q == "." || q == "..") q = "_" + q;
    name = "//tmp//" + q + ".dat";
  } else {
    name = "//tmp/PRN.dat";
  }
  if (name.size() >= 128) return {};
  return FixedPath(name.c_str());
}

}  // namespace

void TraceFeature(const BYTE Feature[2]) {
  struct Bit {
    int byte;
    BYTE mask;
    const char* line;
  };
  static const Bit kBits[] = {
      {0, F0_JBIG, "Jbig = %d"},
      {0, F0_STORAGE_JOB, "storage job = %d"},
      {0, F0_QTY, "QTY = %d"},
      {0, F0_LSU, "LSU = %d"},
      {0, F0_CHECKSUM, "Checksum = %d"},
      {0, F0_IMPR, "IMPR = %d"},
      {0, F0_RAW_DATA, "raw data = %d"},
      {0, F0_TWO_BIT_600, "two bit 600 = %d"},
      {1, F1_SSL, "SSL = %d"},
      {1, F1_SW_TONERSAVE, "SW tonersave = %d"},
      {1, F1_600_RET, "600 RET = %d"},
      {1, F1_ACCOUNTING, "Accounting = %d"},
      {1, F1_S3, "S3 = %d"},
      {1, F1_1200X1200, "1200*1200 = %d"},
      {1, F1_DISABLE_AUTO, "Disable auto = %d"},
  };
  DbgMessage(FUNCNAME, "%s", kDashes);
  for (const Bit& b : kBits) DbgMessage(FUNCNAME, b.line, (Feature[b.byte] & b.mask) ? 1 : 0);
  DbgMessage(FUNCNAME, "%s", kDashes);
}

void ObtainCapability(const StatusLibrary& lib, const PrinterAttribute& selected, MonitorUse use,
                      DWORD DriverFeature, const char* queue, PrinterCapability& cap, FILE* err) {
  BYTE* Feature = cap.Feature;

  int rc = -1;
  if (lib.fnSendPrinterControl && use == MonitorUse::Used) {
    char name[sizeof selected.PrinterName];
    CopyBounded(name, sizeof name, selected.PrinterName);
    for (int attempt = 0; attempt < 3; ++attempt) {
      rc = lib.fnSendPrinterControl(name, PRINT_QUERY_CAPABILITY, &cap, sizeof cap);
      if (rc == 0) break;
      DbgMessage(FUNCNAME, "fail to get capability, try = %d", attempt);
    }
    DbgMessage(FUNCNAME, "Feature = %0x, %0x", Feature[0], Feature[1]);
  }
  if (rc != 0) {
    DbgMessage(FUNCNAME, "rc = %d", rc);
    if (DriverFeature & DF_DISABLE_COMPRESS) Feature[0] |= F0_RAW_DATA;
  }

  std::string path = CapabilityFileName(use, queue);
  if (rc == 0) {
    FILE* f = path.empty() ? nullptr : OpenNoFollow(path.c_str(), "w+b", 0644);
    if (f) {
      std::fwrite(&cap, 1, sizeof cap, f);
      std::fclose(f);
      DbgMessage(FUNCNAME, "write Feature = %0x, %0x", Feature[0], Feature[1]);
    } else {
      DbgMessage(FUNCNAME, "fopen fail! errno = %d", path.empty() ? ENAMETOOLONG : errno);
    }
  } else {
    // Anyone may create files in /tmp: a file that is not the filter's own
    // regular file is not read, and never waited on.
    const char* why = nullptr;
    FILE* f = path.empty() ? nullptr : OpenTrustedForReading(path.c_str(), &why);
    if (why) {
      CupsMessage(err, "WARNING: ", "Ignoring the capability file %s: %s", path.c_str(), why);
    }
    if (f) {
      // A short file replaces only its own length of the record.
      std::size_t n = std::fread(&cap, 1, sizeof cap, f);
      (void)n;
      std::fclose(f);
      DbgMessage(FUNCNAME, "read Feature = %0x, %0x", Feature[0], Feature[1]);
    } else {
      DbgMessage(FUNCNAME, "fopen fail! errno = %d", path.empty() ? ENAMETOOLONG : errno);
    }
  }

  // Both tests run, so with bits 11, 24 and 25 the line is written twice.
  if ((DriverFeature & DF_ZQ3_CHIP) && (DriverFeature & DF_A3)) {
    Feature[0] |= F0_IMPR;
    DbgMessage(FUNCNAME, "Setting IMPR");
  }
  if (DriverFeature & DF_IMPR) {
    Feature[0] |= F0_IMPR;
    DbgMessage(FUNCNAME, "Setting IMPR");
  }
  if (Feature[0] & F0_RAW_DATA) Feature[0] &= static_cast<BYTE>(~(F0_JBIG | F0_CHECKSUM));
  if (use == MonitorUse::JobToFile) DbgMessage(FUNCNAME, "Feature = %0x, %0x", Feature[0], Feature[1]);
  TraceFeature(Feature);
}
