// Printer capability: live query through the status library, else the
// capability file the last live query left in /tmp.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "feature_bits.h"
#include "job_config.h"
#include "paths.h"
#include "status_monitor.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "main";

// "//tmp//<queue>.dat", or "//tmp/PRN.dat" when the status monitor is not
// used. A queue name can never leave /tmp: '/' is replaced. Names that do
// not fit the 128-byte name buffer give an empty result.
std::string CapabilityFileName(const FilterJob& job, const char* queue) {
  std::string name;
  if (job.IgnorePSM == 0) {
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

FILE* OpenForReading(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

}  // namespace

void ObtainCapability(FilterJob& job, const char* queue) {
  BYTE* Feature = job.PrnCapInfo.Feature;

  int rc = -1;
  if (fnSendPrinterControl && job.IgnorePSM == 0) {
    char name[sizeof job.Selected().PrinterName];
    CopyBounded(name, sizeof name, job.Selected().PrinterName);
    for (int attempt = 0; attempt < 3; ++attempt) {
      rc = fnSendPrinterControl(name, PRINT_QUERY_CAPABILITY, &job.PrnCapInfo, sizeof job.PrnCapInfo);
      if (rc == 0) break;
      DbgMessage(FUNCNAME, "fail to get capability, try = %d", attempt);
    }
    DbgMessage(FUNCNAME, "Feature = %0x, %0x", Feature[0], Feature[1]);
  }
  if (rc != 0) {
    DbgMessage(FUNCNAME, "rc = %d", rc);
    if (job.DriverFeature & DF_DISABLE_COMPRESS) Feature[0] |= F0_RAW_DATA;
  }

  std::string path = CapabilityFileName(job, queue);
  if (rc == 0) {
    FILE* f = path.empty() ? nullptr : OpenNoFollow(path.c_str(), "w+b", 0644);
    if (f) {
      std::fwrite(&job.PrnCapInfo, 1, sizeof job.PrnCapInfo, f);
      std::fclose(f);
      DbgMessage(FUNCNAME, "write Feature = %0x, %0x", Feature[0], Feature[1]);
    } else {
      DbgMessage(FUNCNAME, "fopen fail! errno = %d", path.empty() ? ENAMETOOLONG : errno);
    }
  } else {
    FILE* f = path.empty() ? nullptr : OpenForReading(path);
    if (f) {
      // A short file replaces only its own length of the record.
      std::size_t n = std::fread(&job.PrnCapInfo, 1, sizeof job.PrnCapInfo, f);
      (void)n;
      std::fclose(f);
      DbgMessage(FUNCNAME, "read Feature = %0x, %0x", Feature[0], Feature[1]);
    } else {
      DbgMessage(FUNCNAME, "fopen fail! errno = %d", path.empty() ? ENAMETOOLONG : errno);
    }
  }

  // Both tests run, so with bits 11, 24 and 25 the line is written twice.
  if ((job.DriverFeature & DF_ZQ3_CHIP) && (job.DriverFeature & DF_A3)) {
    Feature[0] |= F0_IMPR;
    DbgMessage(FUNCNAME, "Setting IMPR");
  }
  if (job.DriverFeature & DF_IMPR) {
    Feature[0] |= F0_IMPR;
    DbgMessage(FUNCNAME, "Setting IMPR");
  }
  if (Feature[0] & F0_RAW_DATA) Feature[0] &= static_cast<BYTE>(~(F0_JBIG | F0_CHECKSUM));
  if (job.IgnorePSM == 2) DbgMessage(FUNCNAME, "Feature = %0x, %0x", Feature[0], Feature[1]);
  TraceFeature(Feature);
}
