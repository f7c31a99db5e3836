// Page loop, end of input and teardown of a job.
#include "page_loop.h"

#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>

#include "accounting.h"
#include "colour_mode.h"
#include "feature_bits.h"
#include "job_record.h"
#include "page_output.h"
#include "page_pipeline.h"
#include "paper_table.h"
#include "pjl_stream.h"
#include "playback.h"
#include "shims.h"
#include "start_job.h"
#include "status_monitor.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "main";

// Float to int as a C cast truncates, but defined for every input: sizes
// come from an untrusted raster header and may be 0.
int TruncToInt(float v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<float>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<float>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);
}

// Smaller of a truncated width ratio and a height ratio, compared as floats.
int MinRatio(int w, float h) {
  return static_cast<float>(w) > h ? TruncToInt(h) : w;
}

bool SameSize(const cups_page_header2_t& a, const cups_page_header2_t& b) {
  return a.PageSize[0] == b.PageSize[0] && a.PageSize[1] == b.PageSize[1];
}

// Longest look at the error hold before its waiter traces again.
constexpr std::chrono::milliseconds kErrorHoldLook{1000};

// The job's settings every page reads, once the job has started (the
// capability bytes are read and spooling is decided): none of them changes
// afterwards, so the slots point at them instead of copying them.
void FillPageSettings(FilterJob& job) {
  PageSettings& s = job.pageSettings;
  s.inras = job.input.stream.get();
  s.jobID = job.config.jobID;
  s.Feature[0] = job.printer.PrnCapInfo.Feature[0];
  s.Feature[1] = job.printer.PrnCapInfo.Feature[1];
  s.cupsHTable = job.config.cupsHTable;
  s.cupsLEF = job.config.cupsLEF;
  s.paperTable = &job.config.paperTable;
  s.colourPlugin = job.colourPlugin.Loaded() ? &job.colourPlugin : nullptr;
  s.spooling = job.spool.Active();
}

// Hands one page to the pipeline; the output thread consumes the processed
// slots, so SendOnePage finds the page's slot free again in time.
bool HandOnPage(FilterJob& job, bool blank, const cups_page_header2_t& header, bool RemoveBlankPage) {
  PageLoopState& loop = job.loop;
  PageOrder order;
  order.DriverFeature = loop.DriverFeature;
  order.referenceHeader = &loop.referenceHeader;
  order.MaxMediaWidth = loop.MaxMediaWidth;
  order.MaxMediaHeight = loop.MaxMediaHeight;
  order.blank = blank;
  order.removeBlankPage = RemoveBlankPage;
  return SendOnePage(job.ring, &loop.page, header, job.pageSettings, order);
}

enum class LoopExit { EndOfInput, Teardown };

// Holds the page loop while the printer reports an error; a change of the
// hold or a cancel wakes it at once.
void WaitWhileErrorHold(FilterJob& job) {
  while (job.events.errorSuspend.load(std::memory_order_acquire)) {
    job.events.WaitFor(kErrorHoldLook, [&job] {
      return job.events.errorSuspend.load(std::memory_order_acquire) == 0 || job.events.Cancelled();
    });
    DbgMessage(FUNCNAME, "gErrorSuspend = %d", job.events.errorSuspend.load(std::memory_order_acquire));
    if (job.events.Cancelled()) break;
  }
}

// Sends the spooled first copy as far as it is ready: every page in a
// simplex job, whole sheets in a duplex one.
void FlushFirstCopy(FilterJob& job) {
  PageLoopState& loop = job.loop;
  if (!job.spool.Active()) return;
  if (!loop.firstPageDuplex)
    SendSpooledPages(job.spoolSender, &loop.FlushPage, 0, loop.DriverFeature, job.printer.PrnCapInfo.Feature);
  else if (job.spool.PageCount() % 2 == 0)
    SendSpooledPages(job.spoolSender, &loop.FlushPage, static_cast<int>(loop.firstPageDuplex),
                     loop.DriverFeature, job.printer.PrnCapInfo.Feature);
}

// Waits until the output thread has written and freed the last page's slot;
// pages leave in order, so every earlier page is out as well.
void WaitForLastPage(FilterJob& job) {
  DbgMessage(FUNCNAME, "start wait image thread");
  const int CurrentPage = static_cast<int>((job.loop.page - 1u) % job.ring.RingSize());
  PageSlot& last = job.ring.slots[CurrentPage];
  // The flag is read first: once it is free, the output thread is done with
  // the slot's buffer.
  auto written = [&last] { return last.LoadFlag() == SLOT_FREE && last.HoldsNothing(); };
  while (job.output.Running()) {
    const DWORD flag = last.LoadFlag();
    DbgMessage(FUNCNAME, "page %d status %0x", CurrentPage, static_cast<unsigned>(flag));
    if (written()) break;
    DbgMessage(FUNCNAME, "image process page %d not yet...", static_cast<int>(last.PageIndex));
    DbgMessage(FUNCNAME, "image process page index %d not yet...", CurrentPage);
    job.events.WaitFor(kSlotLook, written);
  }
}

// Asks the output thread to stop after its current slot and joins it.
void StopOutputThread(FilterJob& job) {
  DbgMessage(FUNCNAME, "end wait thread (new)");
  DbgMessage(FUNCNAME, "page = %d", job.loop.page);
  DbgMessage(FUNCNAME, "end wait thread, gJbigThreadExit = %d", 1);
  job.output.Stop();
  DbgMessage(FUNCNAME, "jbig thread stop");
}

// Enumerated fields of a page header hold whatever number the stream had;
// one outside the values its type can hold must not be loaded as that type.
// Booleans become true, the colour order and space a value the page check
// refuses, every other field its default.
void NormaliseEnumFields(cups_page_header2_t& h) {
  auto fix = [](auto& field, unsigned limit, unsigned replacement) {
    unsigned v;
    static_assert(sizeof v == sizeof field);
    std::memcpy(&v, &field, sizeof v);
    if (v > limit) std::memcpy(&field, &replacement, sizeof v);
  };
  for (cups_bool_t* b : {&h.Collate, &h.Duplex, &h.InsertSheet, &h.ManualFeed, &h.MirrorPrint,
                         &h.NegativePrint, &h.OutputFaceUp, &h.Separations, &h.TraySwitch, &h.Tumble})
    fix(*b, 1, 1);
  fix(h.AdvanceMedia, 7, 0);
  fix(h.CutMedia, 7, 0);
  fix(h.Jog, 3, 0);
  fix(h.LeadingEdge, 3, 0);
  fix(h.Orientation, 3, 0);
  fix(h.cupsColorOrder, 3, 3);
  fix(h.cupsColorSpace, 63, 63);
}

// The colour-mode slot says into how many planes a page is separated and
// coded. A value no PPD sets would leave the page acquired as one gray
// plane but coded by no one: it is printed as the gray page it already is,
// in black and white, and the scheduler hears so.
void CheckColourMode(FilterJob& job) {
  unsigned& mode = job.loop.inheader.cupsInteger[4];
  if (mode <= static_cast<unsigned>(ColourMode::Cmyk)) return;
  CupsMessage(job.events.Err(),
              "WARNING: ", "Page %u has the unknown colour mode %u; it is printed in black and white",
              job.loop.CUPSpages + 1, mode);
  mode = 0;
}

// Reads the next page header. One that is there but cannot be read (cut
// short, or values libcups refuses) must not pass for the end of the input:
// the pages after it would be lost without a word.
bool ReadPageHeader(FilterJob& job) {
  const std::uint64_t before = job.input.bytes;
  if (cupsRasterReadHeader2(job.input.stream.get(), &job.loop.inheader)) {
    NormaliseEnumFields(job.loop.inheader);
    CheckColourMode(job);
    return true;
  }
  if (!job.input.ended || job.input.bytes != before) {
    CupsMessage(job.events.Err(),
                "ERROR: ", "Page %u has a damaged or incomplete page header; the job ends there",
                job.loop.CUPSpages + 1);
    job.loop.inputFailed = true;
  }
  return false;
}

// A page that cannot be read ends the job; the pages before it still go
// out, as at the end of the input.
LoopExit RefusedPage(FilterJob& job) {
  job.loop.inputFailed = true;
  return job.events.Cancelled() ? LoopExit::Teardown : LoopExit::EndOfInput;
}

// The accounting dialog of the first page, when its Authentication mode
// asks for one; false when the job ends unprinted for want of an answer.
bool AskForAccount(FilterJob& job, unsigned type) {
  PrinterLink& printer = job.printer;
  const std::chrono::milliseconds wait = AccountingWait();
  const BOOL answered = AccountingDlg(printer.statusLib, job.events, printer.Selected().PrinterName,
                                      static_cast<int>(type), printer.AccountName, printer.AccountPwd,
                                      sizeof printer.AccountName, kAccountingPoll, wait);
  DbgMessage(FUNCNAME, "AccountName %s!", printer.AccountName);
  // The password itself never goes to the trace.
  DbgMessage(FUNCNAME, "AccountPwd %s!", printer.AccountPwd[0] ? "(received)" : "");
  // The printer takes no job of this kind without an account.
  if (!answered) {
    CupsMessage(job.events.Err(), "ERROR: ",
                "No account was given in the accounting dialog within %lld s; the job is not printed",
                static_cast<long long>(wait.count() / 1000));
    job.loop.accountMissing = true;
    return false;
  }
  // Only the status monitor's dialog supplies the account: without it
  // the printer gets the job without one, which the user should hear.
  if (!printer.AccountName[0] && !job.events.Cancelled())
    CupsMessage(job.events.Err(), "WARNING: ", "%s",
                "Authentication asks for an account ID, but no status monitor supplied one: the job "
                "is sent without it");
  return true;
}

LoopExit PageLoop(FilterJob& job) {
  const JobConfig& config = job.config;
  PageLoopState& loop = job.loop;
  cups_page_header2_t& inheader = loop.inheader;
  while (ReadPageHeader(job)) {
    DbgMessage(FUNCNAME, "Start Page = %d / Copies = %d", loop.page, inheader.NumCopies);
    CupsMessage(job.events.Err(), "INFO: ", "Processing page %u", loop.CUPSpages + 1);
    WaitWhileErrorHold(job);

    const bool PrinterA3 = loop.DriverFeature & DF_A3;
    const PageRatio r = ComputePageRatio(
        inheader, loop.page > 0 ? &loop.referenceHeader : nullptr,
        {config.paperTable, loop.DriverFeature, config.cupsLEF, loop.MaxMediaWidth, loop.MaxMediaHeight});
    inheader.PageSize[0] = r.PageSize[0];
    inheader.PageSize[1] = r.PageSize[1];
    inheader.cupsInteger[7] = r.ratio;
    if (r.maxMediaA4) {
      loop.MaxMediaWidth = 595;
      loop.MaxMediaHeight = 842;
    }
    CountPageSize(loop);

    bool AddBlankPageDone = false;
    if (PrinterA3 && job.spool.Active() && loop.firstPageDuplex && (loop.page % 2) == 1 &&
        !SameSize(inheader, loop.referenceHeader)) {
      DbgMessage(FUNCNAME, "Add blank page %d", loop.page);
      if (!HandOnPage(job, true, loop.referenceHeader, false)) return RefusedPage(job);
      DbgMessage(FUNCNAME, "page = %d", loop.page);
      AddBlankPageDone = true;
    }

    DbgMessage(FUNCNAME, "Orientation %d!", inheader.Orientation);
    if (PrinterA3 || loop.page == 0) loop.referenceHeader = inheader;

    if ((loop.DriverFeature & DF_ABORT_ON_ERROR) && job.events.Cancelled()) return LoopExit::Teardown;

    if (inheader.cupsInteger[10])
      loop.DriverFeature |= DF_BORDER_FILTER;
    else
      loop.DriverFeature &= ~DF_BORDER_FILTER;
    DbgMessage(FUNCNAME, "DriverFeature %0x", loop.DriverFeature);

    if (loop.page == 0) {
      if (inheader.cupsInteger[12] && !AskForAccount(job, inheader.cupsInteger[12]))
        return LoopExit::Teardown;
      loop.firstPageDuplex = inheader.Duplex;
      StartJob(job, inheader);
      FillPageSettings(job);
    }

    if (job.events.Cancelled()) {
      DbgMessage(FUNCNAME, "stop print!");
      return LoopExit::EndOfInput;
    }

    if (loop.DriverFeature & DF_DISCONNECT_DETECT) {
      DbgMessage(FUNCNAME, "disconnection support");
      DbgMessage(FUNCNAME, "disconnection, page = %d", loop.page);
      DbgMessage(FUNCNAME, "disconnection, JobPending = %d", config.pendingAtStart ? 1 : 0);
      if (loop.page > 0 && loop.page % 2 == 0 && !config.pendingAtStart &&
          IsJobPending(config.queue, job.events.trace.jobId)) {
        DbgMessage(FUNCNAME, "disconnection, stop print!");
        job.events.Cancel();
        return LoopExit::EndOfInput;
      }
    }

    if (!HandOnPage(job, false, inheader, AddBlankPageDone)) return RefusedPage(job);
    DbgMessage(FUNCNAME, "page = %d", loop.page);
    FlushFirstCopy(job);

    ++loop.CUPSpages;
    DbgMessage(FUNCNAME, "CUPSpages = %d", loop.CUPSpages);
  }
  return LoopExit::EndOfInput;
}

// After the last page: the trailing filler page of a duplex job.
bool EndOfInput(FilterJob& job) {
  PageLoopState& loop = job.loop;
  const BYTE* Feature = job.printer.PrnCapInfo.Feature;
  DbgMessage(FUNCNAME, "end read CUPS data");
  // Polling ends with the input; the thread is joined at teardown.
  job.statusThread.RequestStop();
  if (job.spool.Active() && (loop.page % 2) == 1 && loop.firstPageDuplex) {
    if (!HandOnPage(job, true, loop.referenceHeader, false)) return false;
  }
  WaitForLastPage(job);
  StopOutputThread(job);
  if (job.events.Cancelled()) {
    DbgMessage(FUNCNAME, "gCancelJob = %d", 1);
    return true;
  }
  if (job.spool.Active()) {
    if (!loop.firstPageDuplex)
      SendSpooledPages(job.spoolSender, &loop.FlushPage, 0, loop.DriverFeature, Feature);
    else if (loop.page % 2 == 0)
      SendSpooledPages(job.spoolSender, &loop.FlushPage, static_cast<int>(loop.firstPageDuplex),
                       loop.DriverFeature, Feature);
    if (loop.page > 0)
      PlaybackSpool(job.spoolSender, Feature, loop.DriverFeature, loop.filterCollates ? TRUE : FALSE,
                    loop.firstPageDuplex, &loop.nCopies);
  }
  return true;
}

void Teardown(FilterJob& job) {
  const JobConfig& config = job.config;
  const bool monitorUsed = config.monitorUse == MonitorUse::Used;
  // The output thread is stopped first, so that on the shortcuts here a page
  // it is still writing cannot interleave with the trailer.
  StopOutputThread(job);
  job.ring.Release();
  PJL_WriteCloseJobCmd(job.port, job.events.Cancelled());

  // Joined whatever the monitor's use: the thread uses the job and the
  // library, and neither outlives this teardown.
  job.statusThread.Stop();
  if (monitorUsed) DbgMessage(FUNCNAME, "status thread stop");

  job.options.Free();
  DbgMessage(FUNCNAME, "cupsFreeOptions");
  job.input.stream.reset();
  DbgMessage(FUNCNAME, "cupsRasterClose");
  DbgMessage(FUNCNAME, "count_bytes = %d", static_cast<int>(job.port.BytesSent()));
  job.input.CloseFile();

  if (job.events.Cancelled()) DbgMessage(FUNCNAME, "发生错误或取消作业");
  DbgMessage(FUNCNAME, "临时文件清除，覆盖1");
  job.spool.Remove();
  WakeNetPrinter(job.printer.statusLib, job.printer.Selected());
  DbgMessage(FUNCNAME, "临时文件清除，覆盖0");

  WriteJobRecord(config, job.printer, job.loop, job.events.Cancelled());
  job.ppd.reset();
  if (job.port.Failed())
    CupsMessage(job.events.Err(), "ERROR: ", "The printer stream failed; the job was not printed completely");
  else if (job.events.Cancelled())
    Sleep(5000);
  if (monitorUsed)
    StatusMonitorDisable(job.printer.statusLib, config.queue, job.events.trace.jobId, job.events.Cancelled());
  CloseStatusMonitor(job.printer.statusLib);
  job.port.CloseCopyFile();

  float seconds = static_cast<float>(GetTickCount() - job.startTick) / 1000.0f;
  DbgMessage(FUNCNAME, "exit job, using %f sec", seconds);
  DbgMessage(FUNCNAME, "%f PPM", static_cast<double>(static_cast<float>(job.loop.page) * 60.0f / seconds));
  LogTime(config.jobID, "filter out");
}

}  // namespace

PageRatio ComputePageRatio(const cups_page_header2_t& h, const cups_page_header2_t* reference,
                           const PageRatioInputs& in) {
  const float W = static_cast<float>(h.PageSize[0]);
  const float H = static_cast<float>(h.PageSize[1]);
  const bool PrinterA3 = in.DriverFeature & DF_A3;
  PageRatio out;
  out.PageSize[0] = h.PageSize[0];
  out.PageSize[1] = h.PageSize[1];
  float maxW = in.MaxMediaWidth, maxH = in.MaxMediaHeight;
  int ratio = 100;

  // Oversized custom page: fit to A4, and A4 is the maximum from now on.
  const int paper_type = GetPaperSizeCode(in.paperTable, &h, PrinterA3, in.cupsLEF);
  if (paper_type == ENG_PAPER_CUSTOMER && (W > maxW || H > maxH)) {
    DbgMessage(FUNCNAME, "custom width fit to A4!");
    int w = TruncToInt(595.0f / W * 100.0f);
    DbgMessage(FUNCNAME, "width ratio %d!", w);
    float hr = 842.0f / H * 100.0f;
    ratio = MinRatio(w, hr);
    DbgMessage(FUNCNAME, "ratio %d!", ratio);
    maxW = 595;
    maxH = 842;
    out.maxMediaA4 = true;
  }

  // Later pages of another size are scaled to the first page's size.
  if (!PrinterA3 && reference && !SameSize(h, *reference)) {
    const float Wb = static_cast<float>(reference->PageSize[0]);
    const float Hb = static_cast<float>(reference->PageSize[1]);
    const int paper_type_p1 = GetPaperSizeCode(in.paperTable, reference, PrinterA3, in.cupsLEF);
    int custom_ratio = 100;
    if (paper_type_p1 == ENG_PAPER_CUSTOMER && (Wb > maxW || Hb > maxH)) {
      int cw = TruncToInt(595.0f / Wb * 100.0f);
      DbgMessage(FUNCNAME, "custom width ratio %d!", cw);
      float ch = 842.0f / Hb * 100.0f;
      custom_ratio = MinRatio(cw, ch);
      DbgMessage(FUNCNAME, "custom ratio %d!", custom_ratio);
      out.maxMediaA4 = true;
    }
    const float cr = static_cast<float>(custom_ratio);
    int w = TruncToInt(Wb * cr / 100.0f / W * 100.0f);
    DbgMessage(FUNCNAME, "page 1 width ratio %d!", w);
    float hr = cr * Hb / 100.0f / H * 100.0f;
    ratio = MinRatio(w, hr);
    DbgMessage(FUNCNAME, "ratio %d!", ratio);
  }

  // Fit to paper: a 1-based row of the paper table; other values are ignored.
  unsigned n = h.cupsInteger[13];
  if (n != 0 && n <= static_cast<unsigned>(kPaperRows)) {
    const PAPERFORMAT& row = in.paperTable[n - 1];
    const float Wp = row.w, Hp = row.h;
    int w = TruncToInt(Wp / W * 100.0f);
    DbgMessage(FUNCNAME, "page 1 width ratio %d!", w);
    float hr = Hp / H * 100.0f;
    ratio = MinRatio(w, hr);
    DbgMessage(FUNCNAME, "fit to paper %d ratio %d!", n, ratio);
    out.PageSize[0] = static_cast<unsigned>(row.w);
    out.PageSize[1] = static_cast<unsigned>(row.h);
  }

  if (unsigned s = h.cupsInteger[7]; s != 0)
    ratio = TruncToInt(static_cast<float>(ratio) * static_cast<float>(s) / 100.0f);

  out.ratio = static_cast<unsigned>(ratio);
  DbgMessage(FUNCNAME, "final ratio %d!", ratio);
  return out;
}

void CountPageSize(PageLoopState& loop) {
  unsigned area = loop.inheader.PageSize[0] * loop.inheader.PageSize[1];
  if (area > 500990u)
    ++loop.BigSizePages;
  else
    ++loop.SmallSizePages;
}

int RunJobPages(FilterJob& job) {
  LoopExit exit = PageLoop(job);
  if (exit == LoopExit::EndOfInput) EndOfInput(job);
  Teardown(job);
  return JobExitStatus(job);
}

const char* RefusedPageHeader(cups_page_header2_t header) {
  NormaliseEnumFields(header);
  PageGeometry g;
  const char* why = nullptr;
  return ComputePageGeometry(header, &g, &why) ? nullptr : why;
}

int JobExitStatus(FilterJob& job) {
  // A broken printer stream or spool file cancels the job too; only a
  // cancel that came first (the user's, the printer's) is the job's end.
  const bool streamFailed = job.port.Failed() && !job.port.FailedAfterCancel();
  if (job.events.Cancelled() && !streamFailed) return 0;
  // CUPS shows a job whose filter exits 0 as printed: every page it had
  // must have reached the printer. Each way to lose one wrote its "ERROR:".
  const bool pageLost =
      streamFailed || job.loop.inputFailed || job.loop.accountMissing || job.reports.PagesLost() > 0;
  const bool nothingSent = job.loop.CUPSpages > 0 && job.reports.PagesSent() == 0;
  return pageLost || nothingSent ? 1 : 0;
}
