// ImageProcThread: the per-page worker. Turns the gray page of its slot into
// the printer's 1-bit bitmap (1 = toner dot) stage by stage and hands the
// slot on with flag 2, on success and failure alike.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "feature_bits.h"
#include "image.h"
#include "page_pipeline.h"
#include "shims.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "ImageProcThread";

// Inverts an ink-amount page into gray through a table of complements.
void InvertInkPage(JobInfo* lpJob) {
  BYTE complement[256];
  for (int i = 0; i < 256; ++i) complement[i] = static_cast<BYTE>(255 - i);
  const std::uint64_t len = static_cast<std::uint64_t>(lpJob->linebyte) * lpJob->page_height;
  for (std::uint64_t i = 0; i < len; ++i) lpJob->lpbuf[i] = complement[lpJob->lpbuf[i]];
  DbgMessage(FUNCNAME, "invert image for cupsColorSpace 3");
}

// Planes stacked in the buffer for a colour mode.
DWORD ColorPlanes(unsigned ColorMode) {
  return ColorMode == 3 ? 4 : ColorMode == 1 ? 2 : 1;
}

// The back of a sheet in long-edge duplex on printers whose engine turns
// it: turned by 180 degrees, plane by plane.
void RotateBackSide(JobInfo* lpJob) {
  const cups_page_header2_t& h = lpJob->inheader;
  DbgMessage(FUNCNAME, "Tumble = %u", h.Tumble);
  const bool turn = (lpJob->DriverFeature & DF_ZQ3_CHIP) && !(lpJob->Feature[0] & F0_IMPR) &&
                    (lpJob->PageIndex % 2) == 1 && h.Duplex && h.Tumble == 0;
  if (!turn) return;
  const DWORD planes = ColorPlanes(h.cupsInteger[4]);
  const long linebytes = static_cast<long>(lpJob->page_width / 8);
  const long rows = static_cast<long>(lpJob->page_height / planes);
  for (DWORD p = 0; p < planes; ++p)
    Transpose_1BPP180(lpJob->lpbuf + static_cast<std::uint64_t>(p) * linebytes * rows, linebytes, rows);
}

// Turns the bitmap by 90 degrees into a new buffer, plane by plane so that
// the planes of a colour page stay stacked; false without memory.
bool Rotate90(JobInfo* lpJob) {
  const DWORD planes = ColorPlanes(lpJob->inheader.cupsInteger[4]);
  const std::uint64_t planeRows = lpJob->page_height / planes;
  const std::uint64_t newStep = (planeRows + 7) / 8;
  const std::uint64_t newPlane = newStep * lpJob->page_width;
  const std::uint64_t newSize = newPlane * planes;
  BYTE* turned = static_cast<BYTE*>(std::malloc(newSize ? newSize : 1));
  if (!turned) return false;
  for (DWORD p = 0; p < planes; ++p)
    MISC_1BPP90(lpJob->lpbuf + p * planeRows * lpJob->linebyte, turned + p * newPlane,
                static_cast<long>(lpJob->linebyte), static_cast<long>(newStep),
                static_cast<long>(lpJob->page_width), static_cast<long>(planeRows));
  std::free(lpJob->lpbuf);
  lpJob->lpbuf = turned;
  lpJob->linebyte = static_cast<DWORD>(newStep);
  const DWORD oldWidth = lpJob->page_width;
  lpJob->page_width = static_cast<DWORD>(planeRows);
  lpJob->page_height = oldWidth * planes;
  lpJob->pagesize = static_cast<DWORD>(newSize);
  return true;
}

// Two-bit mode: every pixel followed by a blank one; false without memory.
bool DoubleWidth(JobInfo* lpJob) {
  BYTE* doubled = Prnt_AdjustData(lpJob->lpbuf, static_cast<long>(lpJob->pagesize));
  if (!doubled) return false;
  std::free(lpJob->lpbuf);
  lpJob->lpbuf = doubled;
  lpJob->page_width *= 2;
  lpJob->linebyte = lpJob->page_width / 8;
  lpJob->pagesize = lpJob->linebyte * lpJob->page_height;
  DbgMessage(FUNCNAME, "page_width = %u", static_cast<unsigned>(lpJob->page_width));
  DbgMessage(FUNCNAME, "linebyte = %u", static_cast<unsigned>(lpJob->linebyte));
  return true;
}

// Marks the page as not printable: its buffer goes, so that no consumer can
// write a half-processed bitmap, and the scheduler hears which page it was.
void FailPage(JobInfo* lpJob, const char* step) {
  DbgMessage(FUNCNAME, "%s fail!", step);
  if (!lpJob->Cancelled()) {
    CupsMessage(lpJob->Err(), "ERROR: ", "Page %u not printed: %s failed",
                static_cast<unsigned>(lpJob->PageIndex) + 1, step);
  }
  std::free(lpJob->lpbuf);
  lpJob->lpbuf = nullptr;
  lpJob->CurPageDataLen = 0;
}

// Every stage from the ink inversion to the page compression; returns the
// name of the failed stage, or nullptr.
const char* ProcessPage(JobInfo* lpJob, ImageCompressFn compress) {
  cups_page_header2_t& h = lpJob->inheader;
  if (!lpJob->lpbuf) return "page buffer";

  if (lpJob->LoadFlag() & SLOT_SCREENED) {
    DbgMessage(FUNCNAME, "page screened as it was read");
  } else {
    if (h.cupsColorSpace == CUPS_CSPACE_K) InvertInkPage(lpJob);

    if (lpJob->LoadFlag() & SLOT_GEOMETRY_DONE) {
      DbgMessage(FUNCNAME, "pass 1 those process!");
    } else if (!RunPageGeometry(lpJob, FUNCNAME)) {
      return "page geometry";
    }

    if (lpJob->DriverFeature & DF_BORDER_FILTER) {
      if (!DoBorderQuality(lpJob)) return "DoBorderQuality";
    } else if (!ApplyHalftone(lpJob)) {
      return "ApplyHalftone";
    }
    DoNegative(lpJob, FALSE);
  }

  RotateBackSide(lpJob);
  if (h.cupsInteger[2]) DoMirror(lpJob);
  // Four-plane pages were turned into their negative in RGB, before the
  // separation (ColorMode 3 is left only on a separated page).
  if (h.cupsInteger[1] && h.cupsInteger[4] != 3) DoNegative(lpJob, h.cupsInteger[4] == 1);

  DbgMessage(FUNCNAME, "Rotate90 = %d", lpJob->Rotate90);
  if (lpJob->Rotate90 && !Rotate90(lpJob)) return "90-degree rotation";
  if ((lpJob->Feature[0] & F0_TWO_BIT_600) && h.cupsInteger[8] == 2 && !DoubleWidth(lpJob))
    return "two-bit doubling";

  const unsigned ColorMode = h.cupsInteger[4];
  if (ColorMode == 0 || ColorMode == 2) {
    if (compress)
      compress(lpJob);
    else
      DbgMessage(FUNCNAME, "no page compression, page stays a bitmap");
  }
  return nullptr;
}

}  // namespace

void ImageProcThread(JobInfo* lpJob, ImageCompressFn compress) {
  const DWORD PageIndex = lpJob->PageIndex;
  DbgMessage(FUNCNAME, "image process thread page %u start", static_cast<unsigned>(PageIndex));
  DisplayPageInfo(&lpJob->inheader);
  DbgMessage(FUNCNAME, "cupsBitsPerPixel %u", lpJob->inheader.cupsBitsPerPixel);
  DbgMessage(FUNCNAME, "BorderProc = %u", static_cast<unsigned>(lpJob->DriverFeature & DF_BORDER_FILTER));

  if (const char* failed = ProcessPage(lpJob, compress)) FailPage(lpJob, failed);

  // Last write to the slot: from here on it belongs to its consumer.
  lpJob->StoreFlag(lpJob->LoadFlag() | SLOT_PROCESSED);
  DbgMessage(FUNCNAME, "exit image process thread page %u", static_cast<unsigned>(PageIndex));
}
