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
void InvertInkPage(PageSlot* slot) {
  BYTE complement[256];
  for (int i = 0; i < 256; ++i) complement[i] = static_cast<BYTE>(255 - i);
  const std::uint64_t len = static_cast<std::uint64_t>(slot->linebyte) * slot->page_height;
  for (std::uint64_t i = 0; i < len; ++i) slot->lpbuf[i] = complement[slot->lpbuf[i]];
  DbgMessage(FUNCNAME, "invert image for cupsColorSpace 3");
}

// Planes stacked in the buffer for a colour mode.
DWORD ColorPlanes(unsigned ColorMode) {
  return ColorMode == 3 ? 4 : ColorMode == 1 ? 2 : 1;
}

// The back of a sheet in long-edge duplex on printers whose engine turns
// it: turned by 180 degrees, plane by plane.
void RotateBackSide(PageSlot* slot) {
  const cups_page_header2_t& h = slot->inheader;
  DbgMessage(FUNCNAME, "Tumble = %u", h.Tumble);
  const bool turn = (slot->DriverFeature & DF_ZQ3_CHIP) && !(slot->Feature[0] & F0_IMPR) &&
                    (slot->PageIndex % 2) == 1 && h.Duplex && h.Tumble == 0;
  if (!turn) return;
  const DWORD planes = ColorPlanes(h.cupsInteger[4]);
  const long linebytes = static_cast<long>(slot->page_width / 8);
  const long rows = static_cast<long>(slot->page_height / planes);
  for (DWORD p = 0; p < planes; ++p)
    Transpose_1BPP180(slot->lpbuf + static_cast<std::uint64_t>(p) * linebytes * rows, linebytes, rows);
}

// Turns the bitmap by 90 degrees into a new buffer, plane by plane so that
// the planes of a colour page stay stacked; false without memory.
bool Rotate90(PageSlot* slot) {
  const DWORD planes = ColorPlanes(slot->inheader.cupsInteger[4]);
  const std::uint64_t planeRows = slot->page_height / planes;
  const std::uint64_t newStep = (planeRows + 7) / 8;
  const std::uint64_t newPlane = newStep * slot->page_width;
  const std::uint64_t newSize = newPlane * planes;
  BYTE* turned = static_cast<BYTE*>(std::malloc(newSize ? newSize : 1));
  if (!turned) return false;
  for (DWORD p = 0; p < planes; ++p)
    MISC_1BPP90(slot->lpbuf + p * planeRows * slot->linebyte, turned + p * newPlane,
                static_cast<long>(slot->linebyte), static_cast<long>(newStep),
                static_cast<long>(slot->page_width), static_cast<long>(planeRows));
  std::free(slot->lpbuf);
  slot->lpbuf = turned;
  slot->linebyte = static_cast<DWORD>(newStep);
  const DWORD oldWidth = slot->page_width;
  slot->page_width = static_cast<DWORD>(planeRows);
  slot->page_height = oldWidth * planes;
  slot->pagesize = static_cast<DWORD>(newSize);
  return true;
}

// Two-bit mode: every pixel followed by a blank one; false without memory.
bool DoubleWidth(PageSlot* slot) {
  BYTE* doubled = Prnt_AdjustData(slot->lpbuf, static_cast<long>(slot->pagesize));
  if (!doubled) return false;
  std::free(slot->lpbuf);
  slot->lpbuf = doubled;
  slot->page_width *= 2;
  slot->linebyte = slot->page_width / 8;
  slot->pagesize = slot->linebyte * slot->page_height;
  DbgMessage(FUNCNAME, "page_width = %u", static_cast<unsigned>(slot->page_width));
  DbgMessage(FUNCNAME, "linebyte = %u", static_cast<unsigned>(slot->linebyte));
  return true;
}

// Marks the page as not printable: its buffer goes, so that no consumer can
// write a half-processed bitmap, and the scheduler hears which page it was.
void DropFailedPage(PageSlot* slot, const char* step) {
  DbgMessage(FUNCNAME, "%s fail!", step);
  if (!slot->Cancelled()) {
    CupsMessage(slot->Err(), "ERROR: ", "Page %u not printed: %s failed",
                static_cast<unsigned>(slot->PageIndex) + 1, step);
  }
  std::free(slot->lpbuf);
  slot->lpbuf = nullptr;
  slot->CurPageDataLen = 0;
}

// Every stage from the ink inversion to the page compression; returns the
// name of the failed stage, or nullptr.
const char* ProcessPage(PageSlot* slot, ImageCompressFn compress) {
  cups_page_header2_t& h = slot->inheader;
  if (!slot->lpbuf) return "page buffer";

  if (slot->LoadFlag() & SLOT_SCREENED) {
    DbgMessage(FUNCNAME, "page screened as it was read");
  } else {
    if (h.cupsColorSpace == CUPS_CSPACE_K) InvertInkPage(slot);

    if (slot->LoadFlag() & SLOT_GEOMETRY_DONE) {
      DbgMessage(FUNCNAME, "pass 1 those process!");
    } else if (!RunPageGeometry(slot, FUNCNAME)) {
      return "page geometry";
    }

    if (slot->DriverFeature & DF_BORDER_FILTER) {
      if (!DoBorderQuality(slot)) return "DoBorderQuality";
    } else if (!ApplyHalftone(slot)) {
      return "ApplyHalftone";
    }
    DoNegative(slot, FALSE);
  }

  RotateBackSide(slot);
  if (h.cupsInteger[2]) DoMirror(slot);
  // Four-plane pages were turned into their negative in RGB, before the
  // separation (ColorMode 3 is left only on a separated page).
  if (h.cupsInteger[1] && h.cupsInteger[4] != 3) DoNegative(slot, h.cupsInteger[4] == 1);

  DbgMessage(FUNCNAME, "Rotate90 = %d", slot->Rotate90);
  if (slot->Rotate90 && !Rotate90(slot)) return "90-degree rotation";
  if ((slot->Feature[0] & F0_TWO_BIT_600) && h.cupsInteger[8] == 2 && !DoubleWidth(slot))
    return "two-bit doubling";

  const unsigned ColorMode = h.cupsInteger[4];
  if (ColorMode == 0 || ColorMode == 2) {
    if (compress)
      compress(slot);
    else
      DbgMessage(FUNCNAME, "no page compression, page stays a bitmap");
  }
  return nullptr;
}

}  // namespace

void ImageProcThread(PageSlot* slot, ImageCompressFn compress) {
  const DWORD PageIndex = slot->PageIndex;
  DbgMessage(FUNCNAME, "image process thread page %u start", static_cast<unsigned>(PageIndex));
  DisplayPageInfo(&slot->inheader);
  DbgMessage(FUNCNAME, "cupsBitsPerPixel %u", slot->inheader.cupsBitsPerPixel);
  DbgMessage(FUNCNAME, "BorderProc = %u", static_cast<unsigned>(slot->DriverFeature & DF_BORDER_FILTER));

  if (const char* failed = ProcessPage(slot, compress)) DropFailedPage(slot, failed);

  // Last write to the slot: from here on it belongs to its consumer.
  slot->StoreFlag(slot->LoadFlag() | SLOT_PROCESSED);
  DbgMessage(FUNCNAME, "exit image process thread page %u", static_cast<unsigned>(PageIndex));
}
