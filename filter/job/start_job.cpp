// Job start on the first page.
#include "start_job.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "auth_json.h"
#include "feature_bits.h"
#include "paths.h"
#include "pjl_stream.h"
#include "shims.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "StartJob";

// Location of the queue from its CUPS destination, or "".
void FindPrinterLocation(const char* queue, char* PrinterLocation, std::size_t size) {
  cups_dest_t* dests = nullptr;
  int num = cupsGetDests(&dests);
  for (int i = 0; i < num; ++i) {
    DbgMessage(FUNCNAME, "[%d]%s", i, dests[i].name);
    if (queue && std::strcmp(dests[i].name, queue) == 0) {
      const char* loc = cupsGetOption("printer-location", dests[i].num_options, dests[i].options);
      if (loc && *loc) {
        DbgMessage(FUNCNAME, "location = %s", loc);
        CopyBounded(PrinterLocation, size, loc);
      }
    }
  }
  cupsFreeDests(num, dests);
}

// Opens the copy file of the printer stream when its directory is there and
// passes the trace directory's rule (TrustedDir): every job's printer
// stream lands in it, so a directory another user made, can write to or
// linked elsewhere gets nothing. The file is made afresh, owner-only,
// relative to the checked directory.
void OpenCopyFile(PrinterPort& port, const char* jobId) {
  std::string id;
  for (const char* p = jobId ? jobId : ""; *p && id.size() < 32; ++p) id += (*p == '/') ? '_' : *p;
  const std::string dirPath = FixedPath("//tmp//saveprn");
  const TrustedDir dir(dirPath);
  if (dir.Why()) DbgMessage(FUNCNAME, "copy directory %s not used: %s", dirPath.c_str(), dir.Why());
  if (!dir.Usable()) return;
  if (FILE* f = dir.CreateFile(("job" + id + ".prn").c_str(), "w+b")) port.SetCopyFile(f);
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

// Ring size: pages in flight that half the available memory can hold.
int RingSizeForPage(const cups_page_header2_t* inheader) {
  std::uint64_t m = inheader->cupsInteger[4] == 3 ? 6 : inheader->cupsInteger[4] == 1 ? 8 : 2;
  std::uint64_t referSize = static_cast<std::uint64_t>(inheader->cupsWidth) * inheader->cupsHeight * m;
  std::uint64_t mem = AvailableMemory();
  DbgMessage(FUNCNAME, "referSize = %llu", static_cast<unsigned long long>(referSize));
  DbgMessage(FUNCNAME, "getTotalSystemMemory = %llu", static_cast<unsigned long long>(mem));
  std::uint64_t n = referSize ? mem / 2 / referSize : 5;  // an empty page costs nothing
  DbgMessage(FUNCNAME, "gMAX_THREAD = %llu", static_cast<unsigned long long>(n));
  int ring = n > 5 ? 5 : n == 0 ? 1 : static_cast<int>(n);
  DbgMessage(FUNCNAME, "gMAX_THREAD = %d", ring);
  return ring;
}

}  // namespace

DWORD StartJob(FilterJob& job, cups_page_header2_t* inheader) {
  char** argv = job.argv;
  const DWORD DriverFeature = job.DriverFeature;
  char authCommand[128] = {};
  char PrinterLocation[260] = {};
  std::string szJsonFile;

  FindPrinterLocation(argv[0], PrinterLocation, sizeof PrinterLocation);

  if (DriverFeature & DF_BCP_MODE0) {
    szJsonFile = CreateAuthFile(argv[3], argv[1]);
    DbgMessage(FUNCNAME, "szJsonFile = %s", szJsonFile.c_str());
    std::snprintf(authCommand, sizeof authCommand, "/opt/Pravo/ATM -f %s -n %s", szJsonFile.c_str(), argv[3]);
    DbgMessage(FUNCNAME, "szAtmPar = %s", authCommand);
    RunAuthorizationTool(szJsonFile.c_str(), argv[3], job.events);
  }

  OpenCopyFile(job.port, argv[1]);

  // A raster header asking for collation counts like the "Collate" option:
  // the job header then announces one copy, so the filter must make the rest.
  if ((job.bCollate == 1 || inheader->Collate) && inheader->NumCopies > 1) job.bDriverDoCollate = TRUE;
  DbgMessage(FUNCNAME, "bDriverDoCollate = %d", job.bDriverDoCollate);
  job.nCopies = inheader->NumCopies;

  // Collated copies need the spool file; without one the printer is asked
  // for the copies instead of announcing one copy and losing the others.
  BOOL printerMakesCopies = FALSE;
  const int jobID = job.events.trace.jobId;
  FILE* err = job.events.Err();
  if (job.bDriverDoCollate && !job.spool.Create(jobID)) {
    CupsMessage(err, "WARNING: ", "Unable to create the spool file, the printer makes the %u copies",
                inheader->NumCopies);
    job.bDriverDoCollate = FALSE;
    printerMakesCopies = TRUE;
  }

  char json[kJsonMaxTokens][kJsonTokenSize] = {};
  if (DriverFeature & DF_BCP_MODE0) ParseJSON(szJsonFile.c_str(), json);
  PJL_WriteStartJobCmd(job.port, inheader, job.numUP, argv[0], argv[2], argv[3], json, job.bDriverDoCollate,
                       PrinterLocation, job.PrnCapInfo.Feature, DriverFeature, job.DriverVersion,
                       job.AccountName, job.AccountPwd, job.PrinterPortName, printerMakesCopies,
                       {ChoicesOr(job.ppd, 6, kTimeoutChoices), ChoicesOr(job.ppd, 11, kDensityChoices)});
  // The copies the job header asks the printer for, as its progress lines
  // report them.
  job.reports.SetPrinterCopies(
      (job.bDriverDoCollate || inheader->Collate) && !printerMakesCopies ? 1 : inheader->NumCopies);

  // Duplex (as the header may have changed it) needs the spool file too.
  if ((inheader->Duplex || job.bDriverDoCollate) && !job.spool.Active() && !job.spool.Create(jobID)) {
    CupsMessage(err, "WARNING: ", "Unable to create the spool file, pages are sent in reading order");
  }

  DWORD jclLen = 0;
  ppd_file_t* ppd = job.ppd;
  if (ppd && ppd->jcl_begin && *ppd->jcl_begin) {
    jclLen = static_cast<DWORD>(std::strlen(ppd->jcl_begin));
    DbgMessage(FUNCNAME, "jcl_begin = %s, len = %d", ppd->jcl_begin, static_cast<int>(jclLen));
    job.port.WriteJclEscape();
    job.port.Write(ppd->jcl_begin, jclLen);
  }

  job.ring.slotsInUse.store(RingSizeForPage(inheader), std::memory_order_release);
  return jclLen;
}
