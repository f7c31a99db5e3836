// Preamble and PJL job header.
#include <strings.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "feature_bits.h"
#include "pjl_stream.h"
#include "playback.h"
#include "shims.h"
#include "trace.h"

namespace {

// The copy count the header announces: what the job can make of the page's
// count, never a number the printer would read as negative or zero.
unsigned AnnouncedCopies(unsigned NumCopies) {
  return NumCopies == 0 ? 1 : (NumCopies > kMaxCopies ? kMaxCopies : NumCopies);
}

const char FUNCNAME[] = "PJL_WriteStartJobCmd";

// The job's paper source: the manual feeder when the page asks for it, a
// tray by its number, else tray 1 (automatic selection is AUTOSELECT's).
// MediaPosition 0 alone does not name the feeder: raster writers that know
// nothing of trays leave it 0.
std::string MediaSource(const cups_page_header2_t& h) {
  if (h.ManualFeed) return "MANUAL";
  if (h.MediaPosition >= 1 && h.MediaPosition <= 4) return "TRAY" + std::to_string(h.MediaPosition);
  return "TRAY1";
}

// Job values reach the printer inside PJL lines: a control character (CR,
// LF, ESC ...) would end the line or the language and start a command of
// its own, so they are dropped; a '"' would end a quoted value and becomes
// '\''.
std::string PjlValue(const char* s, bool quoted) {
  std::string out;
  for (const char* p = s ? s : ""; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) continue;
    out += (quoted && c == '"') ? '\'' : static_cast<char>(c);
  }
  return out;
}

std::string Text(const char* s) {
  return PjlValue(s, false);
}
std::string Quoted(const char* s) {
  return PjlValue(s, true);
}

// The header text under construction. Lines are added whole; one that does
// not fit beside the closing ENTER LANGUAGE line is left out, so the header
// always fits its buffer and always ends with that line.
class HeaderText {
 public:
  // Adds one formatted line (a line too long for the line buffer is left out).
  void Add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char line[kPjlHeaderBuf];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof line ||
        text_.size() + static_cast<std::size_t>(n) > kBudget) {
      DbgMessage(FUNCNAME, "header full, line left out: %.40s", n > 0 ? line : "");
      return;
    }
    text_.append(line, static_cast<std::size_t>(n));
  }
  // Appends the closing line and returns the whole header.
  const std::string& Finish() {
    text_ += kPjlEnterLanguage;
    return text_;
  }

 private:
  static constexpr std::size_t kBudget = kPjlHeaderBuf - 1 - (sizeof kPjlEnterLanguage - 1);
  std::string text_;
};

// Writes a block to the printer stream and counts it.
void Send(PrinterPort& port, const void* data, std::size_t len) {
  port.Write(data, len);
  port.count_bytes.fetch_add(static_cast<DWORD>(len), std::memory_order_acq_rel);
}

}  // namespace

BOOL PJL_WriteStartJobCmd(PrinterPort& port, cups_page_header2_t* inheader, int numUP,
                          const char* PrinterName, const char* szUserName, const char* szDocName,
                          const char (*json)[kJsonTokenSize], BOOL bDriverDoCollate,
                          const char* PrinterLocation, const BYTE* Feature, DWORD DriverFeature,
                          const char* DriverVersion, const char* AccountName, const char* AccountPwd,
                          const char* PrinterPortName, BOOL bPrinterMakesCopies) {
  std::time_t now = std::time(nullptr);
  std::tm lt{};
  localtime_r(&now, &lt);
  DWORD start = GetTickCount();
  unsigned timeout = inheader->cupsInteger[6] ? inheader->cupsInteger[6] : 300;
  DbgMessage(FUNCNAME, "In, numUP = %d, PrinterName = %s, UserName = %s, DocName = %s, NumCopies = %d", numUP,
             PrinterName, szUserName, szDocName, inheader->NumCopies);

  // Preamble: clear whatever the printer holds, then two empty jobs around
  // 512 zero bytes.
  std::string preamble;
  preamble.append(DrvCancelStr, sizeof DrvCancelStr - 1);
  preamble.append(DrvZeroJobStr, sizeof DrvZeroJobStr - 1);
  preamble.append(512, '\0');
  preamble.append(DrvZeroJobStr, sizeof DrvZeroJobStr - 1);
  static_assert(sizeof DrvCancelStr - 1 + 2 * (sizeof DrvZeroJobStr - 1) + 512 == kPreambleSize);
  Send(port, preamble.data(), preamble.size());
  DbgMessage(FUNCNAME, "count_bytes = %d",
             static_cast<int>(port.count_bytes.load(std::memory_order_acquire)));
  port.outputSize.store(static_cast<int>(kPreambleSize), std::memory_order_release);

  const BYTE f0 = Feature ? Feature[0] : 0, f1 = Feature ? Feature[1] : 0;
  const bool bcp0 = DriverFeature & DF_BCP_MODE0;
  const bool res1200 = f1 & F1_1200X1200;
  const bool lowPower600 = inheader->cupsInteger[8] == 2;

  char host[65] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';

  HeaderText h;
  h.Add("%s@PJL\r\n@PJL JOB NAME=\"%d\"\r\n", UELStr, static_cast<int>(GetTickCount()));
  h.Add("@PJL SET TIMEOUT=%d\r\n", static_cast<int>(timeout));
  h.Add("@PJL COMMENT Filter Version,%s\r\n", Text(DriverVersion).c_str());
  h.Add("@PJL COMMENT %s\r\n", Text(szDocName).c_str());
  h.Add("@PJL COMMENT %s\r\n", Text(szUserName).c_str());
  h.Add("@PJL COMMENT %s\r\n", Text(host).c_str());
  h.Add("@PJL COMMENT %s\r\n", Text(PrinterName).c_str());
  h.Add("@PJL COMMENT %s\r\n", Text(PrinterPortName).c_str());
  h.Add("@PJL COMMENT \r\n");
  h.Add("@PJL COMMENT %04d/%02d/%02d\r\n", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
  h.Add("@PJL COMMENT %02d:%02d:%02d:00\r\n", lt.tm_hour, lt.tm_min, lt.tm_sec);
  h.Add("@PJL COMMENT JBIG,00,%2d\r\n", (DriverFeature & DF_ZQ3_CHIP) ? 64 : 8);
  h.Add("@PJL COMMENT Copies,%u\r\n", AnnouncedCopies(inheader->NumCopies));
  h.Add("@PJL COMMENT %s\r\n", Text(PrinterLocation).c_str());

  if (DriverFeature & DF_BCP_MODE1) {
    h.Add("@PJL SET FAUTHCODE=QZRKVNHTWPLA58302614\r\n");
    h.Add("@PJL SET ORDERNO=JDXMBRUEYKCS71946023\r\n");
    h.Add("@PJL SET USERNAME=\"QZRKVNHTWPLA58302614\"\r\n");
    h.Add("@PJL SET ACCTPASS=\"JDXMBRUEYKCS71946023\"\r\n");
  }

  static const char kNoValues[kJsonMaxTokens][kJsonTokenSize] = {};
  if (!json) json = kNoValues;
  if (bcp0) {
    h.Add("@PJL SET FAUTHCODE=\"%s\"\r\n", Quoted(json[JSON_AUTHCODE]).c_str());
    h.Add("@PJL SET USERNAME=\"%s\"\r\n", Quoted(json[JSON_USERNAME]).c_str());
    h.Add("@PJL SET ACCTPASS=\"%s\"\r\n", Quoted(json[JSON_ACCTPASS]).c_str());
    h.Add("@PJL SET NOTIFYURL=\"%s\"\r\n", Quoted(json[JSON_NOTIFYURL]).c_str());
    h.Add("@PJL SET CHECKAUTHCODEURL=\"%s\"\r\n", Quoted(json[JSON_CHECKAUTHCODEURL]).c_str());
  }

  h.Add("@PJL SET JOBNAME=\"%s:%s\"\r\n", Quoted(szUserName).c_str(), Quoted(szDocName).c_str());
  if (AccountName && *AccountName) h.Add("@PJL SET USERNAME=\"%s\"\r\n", Quoted(AccountName).c_str());
  if (AccountPwd && *AccountPwd) h.Add("@PJL SET ACCTPASS=\"%s\"\r\n", Quoted(AccountPwd).c_str());

  h.Add("@PJL SET ECONOMODE=%s\r\n", (!(f1 & F1_SW_TONERSAVE) && inheader->cupsInteger[0]) ? "ON" : "OFF");
  h.Add("@PJL SET DENSITY=%d\r\n", static_cast<int>(inheader->cupsInteger[11] + 1));
  h.Add("@PJL SET AUTOSELECT=%s\r\n", inheader->MediaPosition == 250 ? "ON" : "OFF");

  std::string duplex = inheader->Duplex == 1 ? "ON" : "OFF";
  std::string duplexType = inheader->Tumble ? "CALENDAR" : "BOOKLET";
  if (bcp0 && json[JSON_DUPLEX][0]) duplex = Text(json[JSON_DUPLEX]);
  if (bcp0 && json[JSON_DUPLEXTYPE][0]) duplexType = Text(json[JSON_DUPLEXTYPE]);
  h.Add("@PJL SET DUPLEX=%s\r\n", duplex.c_str());
  if (bcp0) inheader->Duplex = strcasecmp(json[JSON_DUPLEX], "ON") == 0 ? CUPS_TRUE : CUPS_FALSE;
  h.Add("@PJL SET DUPLEXTYPE=%s\r\n", duplexType.c_str());

  unsigned resolution = 600;
  if (res1200) resolution = inheader->HWResolution[0] < 600 ? 600 : inheader->HWResolution[0];
  h.Add("@PJL SET RESOLUTION=%d\r\n", static_cast<int>(resolution));
  bool ret = !res1200 && (f1 & F1_600_RET) && lowPower600;
  if (ret) DbgMessage(FUNCNAME, "low power 600");
  h.Add("@PJL SET RET=%s\r\n", ret ? "ON" : "OFF");
  h.Add("@PJL SET BITSPERPIXEL=%d\r\n", ((f0 & F0_TWO_BIT_600) && lowPower600) ? 2 : 1);
  if (f1 & F1_SSL) h.Add("@PJL SET ENCRYPTION = SSL\r\n");

  unsigned copies = (bDriverDoCollate || inheader->Collate) ? 1 : AnnouncedCopies(inheader->NumCopies);
  if (bPrinterMakesCopies) copies = AnnouncedCopies(inheader->NumCopies);
  h.Add("@PJL SET COPIES=%u\r\n", copies);
  h.Add("@PJL SET MEDIASOURCE=%s\r\n", MediaSource(*inheader).c_str());
  h.Add("@PJL SET JUSTIFIED=%s\r\n", "LEFT");
  h.Add("@PJL SET MIRROR=%s\r\n", "OFF");
  h.Add("@PJL SET MARGINS=%s\r\n", inheader->Margins[0] <= 6 ? "SMALLER" : "NORMAL");
  if (f0 & F0_IMPR) h.Add("@PJL SET IMPR=1\r\n");
  h.Add("@PJL SET BIDICOMM=%s\r\n", "OFF");
  DbgMessage(FUNCNAME, "ori = %d", static_cast<int>(inheader->Orientation));
  h.Add("@PJL SET ORIENTATION=%s\r\n", inheader->Orientation ? "LANDSCAPE" : "PORTRAIT");
  const std::string& text = h.Finish();

  port.outputSize.fetch_add(static_cast<int>(text.size()), std::memory_order_acq_rel);
  DbgMessage(FUNCNAME, "gOutputSize = %d", port.outputSize.load(std::memory_order_acquire));
  Send(port, text.data(), text.size());
  DbgMessage(FUNCNAME, "count_bytes = %d",
             static_cast<int>(port.count_bytes.load(std::memory_order_acquire)));
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - start));
  return TRUE;
}
