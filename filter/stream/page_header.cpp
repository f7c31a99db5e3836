// Page header of the printer stream.
#include "page_header.h"

#include <cstring>

#include "byte_order.h"
#include "feature_bits.h"
#include "paper_table.h"
#include "trace.h"

const WORD MediaType[kMediaTypes] = {
    ENG_MEDIA_PLAIN,    ENG_MEDIA_CARDSTOCK,    ENG_MEDIA_THICK,    ENG_MEDIA_LASER,
    ENG_MEDIA_BOND,     ENG_MEDIA_TRANSPARENCY, ENG_MEDIA_THIN,     ENG_MEDIA_ENVELOPE,
    ENG_MEDIA_POSTCARD, ENG_MEDIA_AUTO,         ENG_MEDIA_ENHANCED,
};

void BuildPageHeader(const PageSlot& slot, char* outbuf, DWORD CompressSize, DWORD blackDots) {
  static const char FUNCNAME[] = "PJL_WritePageHeader";
  const cups_page_header2_t& h = slot.inheader;
  const PageSettings& job = slot.Settings();
  const DWORD df = slot.DriverFeature;
  const bool a3 = df & DF_A3;
  DbgMessage(FUNCNAME, "In");
  DbgMessage(FUNCNAME, "CompressOff = %d", (df & DF_DISABLE_COMPRESS) ? 1 : 0);

  std::memset(outbuf, 0, kPageHeaderSize);
  std::memcpy(outbuf + offsetof(PageHeader, idf), "GDI", 4);

  // Two bits per printer pixel: the printer's width is half the bitmap's.
  const bool twoBit = (job.Feature[0] & F0_TWO_BIT_600) && h.cupsInteger[8] == 2;
  DWORD width = slot.page_width;
  if (twoBit) {
    width /= 2;
    DbgMessage(FUNCNAME, "two bit 120, page_width = %d", static_cast<int>(width));
  }

  DWORD datasize = slot.linebyte * slot.page_height;
  PutLE32(outbuf + offsetof(PageHeader, page_width), width);
  DbgMessage(FUNCNAME, "width = %d", static_cast<int>(width));
  PutLE32(outbuf + offsetof(PageHeader, page_height), slot.page_height);
  DbgMessage(FUNCNAME, "height = %d", static_cast<int>(slot.page_height));
  PutLE32(outbuf + offsetof(PageHeader, datasize), datasize);
  DbgMessage(FUNCNAME, "datasize = %d", static_cast<int>(datasize));
  DbgMessage(FUNCNAME, "linebyte = %d", static_cast<int>(slot.linebyte));
  PutLE32(outbuf + offsetof(PageHeader, compsize), CompressSize);
  DbgMessage(FUNCNAME, "compsize = %d", static_cast<int>(CompressSize));
  PutLE32(outbuf + offsetof(PageHeader, blackDots), blackDots);
  DbgMessage(FUNCNAME, "blackDots = %d", static_cast<int>(blackDots));

  // Printers without the A3 bit take every page on the first page's paper.
  const PaperTable noPaper{};
  const PaperTable& table = job.paperTable ? *job.paperTable : noPaper;
  int paper = a3 ? GetPaperSizeCode(table, &h, 1, job.cupsLEF)
                 : GetPaperSizeCode(table, &slot.referenceHeader, 0, job.cupsLEF);
  outbuf[offsetof(PageHeader, paper_type)] = static_cast<char>(paper);
  DbgMessage(FUNCNAME, "paper_type = %d", paper);

  BYTE media = h.cupsMediaType < static_cast<unsigned>(kMediaTypes)
                   ? static_cast<BYTE>(MediaType[h.cupsMediaType] & 0xff)
                   : ENG_MEDIA_PLAIN;
  outbuf[offsetof(PageHeader, MediaType)] = static_cast<char>(media);
  DbgMessage(FUNCNAME, "MediaType = %d", media);

  BYTE tray = static_cast<BYTE>(h.MediaPosition);
  if (h.MediaPosition == ENG_INBIN_AUTO) tray = a3 ? ENG_INBIN_TRAY_1 : ENG_INBIN_MANUAL;
  outbuf[offsetof(PageHeader, MediaPosition)] = static_cast<char>(tray);
  DbgMessage(FUNCNAME, "MediaPosition = %d", tray);

  outbuf[offsetof(PageHeader, OutBin)] = 0;
  DbgMessage(FUNCNAME, "OutBin = %d", 0);

  BYTE bits = 1;
  if (twoBit) {
    bits = 2;
    DbgMessage(FUNCNAME, "two bit 1200, Bits = %d", bits);
  }
  outbuf[offsetof(PageHeader, Bits)] = static_cast<char>(bits);
  DbgMessage(FUNCNAME, "Bits = %d", bits);

  BYTE colors = 1, colorMode = 0;
  DbgMessage(FUNCNAME, "Colors = %d", colors);
  switch (slot.colourMode) {
    case ColourMode::Cmyk:
      colors = 4, colorMode = 3;
      break;
    case ColourMode::BlackRed:
      colors = 2, colorMode = 2;
      break;
    case ColourMode::Gray:
      colors = 1, colorMode = 1;
      break;
    case ColourMode::Mono:
      break;
  }
  outbuf[offsetof(PageHeader, Colors)] = static_cast<char>(colors);
  outbuf[offsetof(PageHeader, ColorMode)] = static_cast<char>(colorMode);
  DbgMessage(FUNCNAME, "ColorMode = %d", colorMode);

  BYTE comp = 0;
  if (!(job.Feature[0] & F0_RAW_DATA)) {
    comp = 1;
    if (df & DF_ZQ3_CHIP) comp += 1;
    if (job.Feature[0] & F0_CHECKSUM) comp += 2;
  }
  outbuf[offsetof(PageHeader, CompMethod)] = static_cast<char>(comp);
  DbgMessage(FUNCNAME, "CompMethod = %d", comp);
  DbgMessage(FUNCNAME, "Out");
}
