// Supplies, state reasons and identification through the status library.
#include "status.h"

#include <cups/ppd.h>
#include <cups/raster.h>
#include <stdio.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "attributes.h"
#include "colour_mode.h"
#include "model.h"
#include "printer_query.h"
#include "trace.h"

namespace {

// What the status library's error codes mean to the printer application.
// The library's own codes are not documented; these are the ones the
// printers report for the conditions a user can act on.
struct CodeReason {
  int code;
  pappl_preason_t reason;
};
constexpr CodeReason kCodeReasons[] = {
    {500101, PAPPL_PREASON_MEDIA_EMPTY},
    {500102, PAPPL_PREASON_MEDIA_JAM},
    // PAPPL 1.3 lists no reason past toner-low in printer-state-reasons, so
    // an open door is reported as the open cover it is on these printers.
    {500103, PAPPL_PREASON_COVER_OPEN},
    {500104, PAPPL_PREASON_TONER_LOW},
    {500105, PAPPL_PREASON_TONER_EMPTY},
    {500106, PAPPL_PREASON_OFFLINE},
    {500107, PAPPL_PREASON_MARKER_WASTE_FULL},
};

// Every reason this file sets, and so clears when it no longer holds;
// others (PAPPL's own, a device's) are left as they are.
constexpr pappl_preason_t kOwnReasons = [] {
  pappl_preason_t all = PAPPL_PREASON_OTHER;
  for (const CodeReason& c : kCodeReasons) all |= c.reason;
  return all;
}();

// One supply: where the library reports it, what it is.
struct SupplySlot {
  int index;  // enumUsageRemain
  pappl_supply_color_t color;
  pappl_supply_type_t type;
  const char* description;
  bool always;  // listed even when not reported (level unknown then)
};

// Toners of each colour the engine prints, then the parts listed only when
// the library reports them. The library has no entry for yellow toner, and
// PAPPL no colour for red.
constexpr SupplySlot kBlackToner{USAGE_REMAIN_CARTRIDGE, PAPPL_SUPPLY_COLOR_BLACK, PAPPL_SUPPLY_TYPE_TONER,
                                 "Black Toner", true};
constexpr SupplySlot kRedToner{USAGE_REMAIN_REDCARTRIDGE, PAPPL_SUPPLY_COLOR_NO_COLOR,
                               PAPPL_SUPPLY_TYPE_TONER, "Red Toner", true};
constexpr SupplySlot kColourToners[] = {
    {USAGE_REMAIN_CTONER, PAPPL_SUPPLY_COLOR_CYAN, PAPPL_SUPPLY_TYPE_TONER, "Cyan Toner", true},
    {USAGE_REMAIN_MTONER, PAPPL_SUPPLY_COLOR_MAGENTA, PAPPL_SUPPLY_TYPE_TONER, "Magenta Toner", true},
    {-1, PAPPL_SUPPLY_COLOR_YELLOW, PAPPL_SUPPLY_TYPE_TONER, "Yellow Toner", true},
};
constexpr SupplySlot kParts[] = {
    {USAGE_REMAIN_DRUM, PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_SUPPLY_TYPE_OPC, "Drum", false},
    {USAGE_REMAIN_REDDRUM, PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_SUPPLY_TYPE_OPC, "Red Drum", false},
    {USAGE_REMAIN_CDRUM, PAPPL_SUPPLY_COLOR_CYAN, PAPPL_SUPPLY_TYPE_OPC, "Cyan Drum", false},
    {USAGE_REMAIN_MDRUM, PAPPL_SUPPLY_COLOR_MAGENTA, PAPPL_SUPPLY_TYPE_OPC, "Magenta Drum", false},
    {USAGE_REMAIN_TONER_COLLECTOR, PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_SUPPLY_TYPE_WASTE_TONER, "Waste Toner",
     false},
    {USAGE_REMAIN_FUSER, PAPPL_SUPPLY_COLOR_NO_COLOR, PAPPL_SUPPLY_TYPE_FUSER, "Fuser", false},
};

// What the printer's PPD says about its status library and its colours.
struct PrinterFacts {
  LibraryPlaces places;
  DWORD driverFeature = 0;
  ColourMode colour = ColourMode::Mono;  // of a colour page
  bool known = false;
};

std::string Attr(ppd_file_t* ppd, const char* name) {
  ppd_attr_t* a = ppdFindAttr(ppd, name, nullptr);
  return a && a->value ? a->value : "";
}

// Read at each look, like the model itself when a printer is made: the PPD
// is small and a status query comes every few seconds at most.
PrinterFacts ReadFacts(pappl_printer_t* printer) {
  PrinterFacts facts;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const auto* model = static_cast<const PrinterModel*>(data.extension);
  if (!model) return facts;
  std::unique_ptr<ppd_file_t, void (*)(ppd_file_t*)> ppd(ppdOpenFile(model->ppdPath.c_str()), ppdClose);
  if (!ppd) return facts;
  facts.places = {Attr(ppd.get(), "Toolfd"), Attr(ppd.get(), "Toolfd2")};
  facts.driverFeature =
      static_cast<DWORD>(std::strtoul(Attr(ppd.get(), "DriverFeature").c_str(), nullptr, 10));
  // The engine's colour mode is the option slot the PPD's colour choice
  // sets: what a colour job would print with.
  if (model->colour) {
    ppdMarkDefaults(ppd.get());
    ppdMarkOption(ppd.get(), "ColorModel", "RGB");
    cups_page_header2_t h;
    if (cupsRasterInterpretPPD(&h, ppd.get(), 0, nullptr, nullptr) == 0)
      facts.colour = ColourModeOf(h.cupsInteger[4]);
  }
  facts.known = true;
  return facts;
}

// The status library's trace lines for one look, into the printer's log
// (the server's standard error is no scheduler to read them).
class PrinterTrace {
 public:
  explicit PrinterTrace(pappl_printer_t* printer) : printer_(printer) {
    target_.err = stream_ ? stream_ : stderr;
  }
  ~PrinterTrace() {
    if (!stream_) return;
    std::fclose(stream_);
    std::string_view text(buf_ ? buf_ : "", size_);
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = std::min(text.find('\n', at), text.size());
      papplLogPrinter(printer_, PAPPL_LOGLEVEL_DEBUG, "%.*s", static_cast<int>(end - at), text.data() + at);
      at = end + 1;
    }
    std::free(buf_);
  }
  PrinterTrace(const PrinterTrace&) = delete;
  PrinterTrace& operator=(const PrinterTrace&) = delete;
  bool Usable() const { return stream_ != nullptr; }

 private:
  pappl_printer_t* printer_;
  char* buf_ = nullptr;
  std::size_t size_ = 0;
  FILE* stream_ = open_memstream(&buf_, &size_);
  TraceTarget target_;
  TraceScope scope_{&target_};
};

int Level(std::int64_t remain) {
  return remain < 0 ? -1 : static_cast<int>(std::min<std::int64_t>(remain, 100));
}

// The supplies of a printer of the colour mode from a snapshot.
int Supplies(const PrinterSnapshot& snap, ColourMode colour, pappl_supply_t (&out)[PAPPL_MAX_SUPPLY]) {
  int n = 0;
  auto add = [&](const SupplySlot& s) {
    const std::int64_t remain = s.index >= 0 ? snap.remain[s.index] : -1;
    if (!s.always && remain < 0) return;
    pappl_supply_t& p = out[n++];
    p = {};
    p.color = s.color;
    std::snprintf(p.description, sizeof p.description, "%s", s.description);
    p.is_consumed = s.type == PAPPL_SUPPLY_TYPE_TONER;
    p.level = Level(remain);
    p.type = s.type;
  };
  add(kBlackToner);
  if (IsBlackRed(colour)) add(kRedToner);
  if (IsFourColour(colour))
    for (const SupplySlot& s : kColourToners) add(s);
  for (const SupplySlot& s : kParts) add(s);
  return n;
}

// The state reasons the library's error codes stand for; a code without a
// meaning of its own is "other".
pappl_preason_t ReasonsOfCodes(const std::vector<int>& codes) {
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  for (int code : codes) {
    const auto* known = std::find_if(std::begin(kCodeReasons), std::end(kCodeReasons),
                                     [code](const CodeReason& c) { return c.code == code; });
    reasons |= known != std::end(kCodeReasons) ? known->reason : pappl_preason_t{PAPPL_PREASON_OTHER};
  }
  return reasons;
}

}  // namespace

bool AppStatus(pappl_printer_t* printer) {
  const PrinterFacts facts = ReadFacts(printer);
  PrinterSnapshot snap;
  bool seen = false;
  {
    PrinterTrace trace(printer);
    seen = facts.known && trace.Usable() &&
           TakePrinterSnapshot(papplPrinterGetName(printer), facts.places, facts.driverFeature, snap);
  }
  if (!seen) {
    // IPP Everywhere clients expect a supply even when nothing is known.
    papplPrinterSetSupplies(printer, 0, nullptr);
    ReportUnknownSupplies(printer);
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, kOwnReasons);
    return true;
  }
  pappl_supply_t supplies[PAPPL_MAX_SUPPLY];
  papplPrinterSetSupplies(printer, Supplies(snap, facts.colour, supplies), supplies);
  const pappl_preason_t reasons = ReasonsOfCodes(snap.codes);
  papplPrinterSetReasons(printer, reasons, kOwnReasons & ~reasons);
  return true;
}

void AppIdentify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message) {
  const char* text = message && *message ? message : papplPrinterGetName(printer);
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", text);
  if (!(actions & PAPPL_IDENTIFY_ACTIONS_DISPLAY)) return;
  const PrinterFacts facts = ReadFacts(printer);
  bool shown = false;
  {
    PrinterTrace trace(printer);
    shown = facts.known && ShowPrinterMessage(papplPrinterGetName(printer), facts.places, text);
  }
  if (!shown) papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "No status monitor shows the message");
}
