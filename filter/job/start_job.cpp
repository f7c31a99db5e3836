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
#include "colour_mode.h"
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

// Ring size: pages in flight that half the available memory can hold.
int RingSizeForPage(const cups_page_header2_t* inheader) {
  const ColourMode mode = ColourModeOf(inheader->cupsInteger[4]);
  std::uint64_t m = mode == ColourMode::Cmyk ? 6 : mode == ColourMode::BlackRed ? 8 : 2;
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

void StartJob(FilterJob& job, cups_page_header2_t& inheader) {
  JobConfig& config = job.config;
  PageLoopState& loop = job.loop;
  const DWORD DriverFeature = loop.DriverFeature;
  char authCommand[128] = {};
  char PrinterLocation[260] = {};
  std::string szJsonFile;

  if (config.askScheduler) FindPrinterLocation(config.queue, PrinterLocation, sizeof PrinterLocation);

  if (DriverFeature & DF_BCP_MODE0) {
    szJsonFile = CreateAuthFile(config.title, config.jobID);
    DbgMessage(FUNCNAME, "szJsonFile = %s", szJsonFile.c_str());
    std::snprintf(authCommand, sizeof authCommand, "/opt/Pravo/ATM -f %s -n %s", szJsonFile.c_str(),
                  config.title);
    DbgMessage(FUNCNAME, "szAtmPar = %s", authCommand);
    RunAuthorizationTool(szJsonFile.c_str(), config.title, job.events);
  }

  OpenCopyFile(job.port, config.jobID);

  // A raster header asking for collation counts like the "Collate" option:
  // the job header then announces one copy, so the filter must make the rest.
  if ((config.collate || inheader.Collate) && inheader.NumCopies > 1) loop.filterCollates = true;
  DbgMessage(FUNCNAME, "bDriverDoCollate = %d", loop.filterCollates ? 1 : 0);
  loop.nCopies = inheader.NumCopies;

  // Collated copies need the spool file; without one the printer is asked
  // for the copies instead of announcing one copy and losing the others.
  bool printerMakesCopies = false;
  const int jobID = job.events.trace.jobId;
  FILE* err = job.events.Err();
  if (loop.filterCollates && !job.spool.Create(jobID)) {
    CupsMessage(err, "WARNING: ", "Unable to create the spool file, the printer makes the %u copies",
                inheader.NumCopies);
    loop.filterCollates = false;
    printerMakesCopies = true;
  }

  char json[kJsonMaxTokens][kJsonTokenSize] = {};
  if (DriverFeature & DF_BCP_MODE0) {
    ParseJSON(szJsonFile.c_str(), json);
    config.duplexOverride = DuplexFromAuthorization(json);
  }

  JobHeader header;
  header.page = &inheader;
  header.numUP = config.numUP;
  header.PrinterName = config.queue;
  header.szUserName = config.user;
  header.szDocName = config.title;
  header.PrinterLocation = PrinterLocation;
  header.PrinterPortName = config.PrinterPortName;
  header.DriverVersion = config.DriverVersion;
  header.AccountName = job.printer.AccountName;
  header.AccountPwd = job.printer.AccountPwd;
  header.json = json;
  header.duplexOverride = config.duplexOverride;
  header.Feature[0] = job.printer.PrnCapInfo.Feature[0];
  header.Feature[1] = job.printer.PrnCapInfo.Feature[1];
  header.DriverFeature = DriverFeature;
  header.filterCollates = loop.filterCollates;
  header.printerMakesCopies = printerMakesCopies;
  header.ranges = config.slotRanges;
  PJL_WriteStartJobCmd(job.port, header);
  // The copies the job header asks the printer for, as its progress lines
  // report them.
  job.reports.SetPrinterCopies(
      (loop.filterCollates || inheader.Collate) && !printerMakesCopies ? 1 : inheader.NumCopies);

  // The authorization file decides whether the job is two-sided, and with
  // it whether its pages are spooled for sheet order.
  if (config.duplexOverride.active) inheader.Duplex = config.duplexOverride.duplex ? CUPS_TRUE : CUPS_FALSE;
  if ((inheader.Duplex || loop.filterCollates) && !job.spool.Active() && !job.spool.Create(jobID)) {
    CupsMessage(err, "WARNING: ", "Unable to create the spool file, pages are sent in reading order");
  }

  if (!config.jclBegin.empty()) {
    const auto jclLen = static_cast<DWORD>(config.jclBegin.size());
    DbgMessage(FUNCNAME, "jcl_begin = %s, len = %d", config.jclBegin.c_str(), static_cast<int>(jclLen));
    job.port.WriteJclEscape();
    job.port.Write(config.jclBegin.data(), jclLen);
  }

  job.ring.slotsInUse.store(RingSizeForPage(&inheader), std::memory_order_release);
}
