// ImageProcThread: the per-page worker. Turns the gray page of its slot into
// the printer's 1-bit bitmap (1 = toner dot) stage by stage and hands the
// slot on with flag 2, on success and failure alike.
#include <atomic>
#include <cstdint>
#include <cstdio>

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
  const PlaneView page = slot->WholePage();
  const std::uint64_t len = page ? page.Bytes() : 0;
  for (std::uint64_t i = 0; i < len; ++i) page.bits[i] = complement[page.bits[i]];
  DbgMessage(FUNCNAME, "invert image for cupsColorSpace 3");
}

// The back of a sheet in long-edge duplex on printers whose engine turns
// it: turned by 180 degrees, plane by plane.
void RotateBackSide(PageSlot* slot) {
  const cups_page_header2_t& h = slot->inheader;
  DbgMessage(FUNCNAME, "Tumble = %u", h.Tumble);
  const bool turn = (slot->DriverFeature & DF_ZQ3_CHIP) && !(slot->Settings().Feature[0] & F0_IMPR) &&
                    (slot->PageIndex % 2) == 1 && h.Duplex && h.Tumble == 0;
  if (!turn) return;
  const DWORD planes = slot->Planes();
  for (DWORD p = 0; p < planes; ++p) Transpose_1BPP180(slot->Plane(p, planes));
}

// Turns the bitmap by 90 degrees into a new buffer, plane by plane so that
// the planes of a colour page stay stacked; false without memory.
bool Rotate90(PageSlot* slot) {
  const DWORD planes = slot->Planes();
  const DWORD planeRows = slot->page_height / planes;
  const DWORD newStep = (planeRows + 7) / 8;
  const std::uint64_t newPlane = std::uint64_t{newStep} * slot->page_width;
  PageBuffer turned = PageBuffer::Allocate(newPlane * planes);
  if (!turned) return false;
  for (DWORD p = 0; p < planes; ++p)
    MISC_1BPP90(slot->Plane(p, planes),
                PlaneView{turned.data() + p * newPlane, planeRows, slot->page_width, newStep});
  slot->page = std::move(turned);
  slot->linebyte = newStep;
  const DWORD oldWidth = slot->page_width;
  slot->page_width = planeRows;
  slot->page_height = oldWidth * planes;
  return true;
}

// Two-bit mode: every pixel followed by a blank one; false without memory.
bool DoubleWidth(PageSlot* slot) {
  PageBuffer doubled = Prnt_AdjustData(slot->WholePage());
  if (!doubled) return false;
  slot->page = std::move(doubled);
  slot->page_width *= 2;
  slot->linebyte = slot->page_width / 8;
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
  slot->ReleasePage();
}

// Every stage from the ink inversion to the page compression; returns the
// name of the failed stage, or nullptr.
const char* ProcessPage(PageSlot* slot, ImageCompressFn compress) {
  const cups_page_header2_t& h = slot->inheader;
  const ColourMode mode = slot->colourMode;
  if (!slot->page) return "page buffer";

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
    DoNegative(slot->WholePage());
  }

  RotateBackSide(slot);
  if (h.cupsInteger[2]) DoMirror(slot->WholePage());
  // Four-plane pages were turned into their negative in RGB, before the
  // separation (a four-colour mode is left only on a separated page); a
  // black-and-red page has only its black plane inverted.
  if (h.cupsInteger[1] && !IsFourColour(mode))
    DoNegative(IsBlackRed(mode) ? slot->Plane(0, 2) : slot->WholePage());

  DbgMessage(FUNCNAME, "Rotate90 = %d", slot->Rotate90);
  if (slot->Rotate90 && !Rotate90(slot)) return "90-degree rotation";
  if ((slot->Settings().Feature[0] & F0_TWO_BIT_600) && h.cupsInteger[8] == 2 && !DoubleWidth(slot))
    return "two-bit doubling";

  if (!CodedByOutputThread(mode)) {
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
