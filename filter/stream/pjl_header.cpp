// Preamble and PJL job header.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
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

// A value cut to at most cap bytes, never inside a UTF-8 character.
std::string Cut(const std::string& s, std::size_t cap) {
  if (s.size() <= cap) return s;
  std::size_t n = cap;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

// The header text under construction, lines appended whole.
class HeaderText {
 public:
  void Add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n > 0) {
      const std::size_t at = text_.size();
      text_.resize(at + static_cast<std::size_t>(n) + 1);
      std::vsnprintf(&text_[at], static_cast<std::size_t>(n) + 1, fmt, again);
      text_.resize(at + static_cast<std::size_t>(n));
    }
    va_end(again);
  }
  // Appends the closing line and returns the whole header.
  std::string Finish() {
    text_ += kPjlEnterLanguage;
    return std::move(text_);
  }

 private:
  std::string text_;
};

constexpr std::size_t kHeaderMax = kPjlHeaderBuf - 1;

// The largest cap up to top whose header still fits (0 when none does):
// the header only grows with the cap.
template <typename Build>
std::size_t LargestFittingCap(std::size_t top, Build build) {
  if (build(top).size() <= kHeaderMax) return top;
  std::size_t lo = 0, hi = top;  // build(hi) does not fit
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    (build(mid).size() <= kHeaderMax ? lo : hi) = mid;
  }
  return lo;
}

// The slot's value as the PPD's choices allow it; 0 when none sets it.
long InRange(unsigned slot, const SlotRange& range) {
  if (range.Empty()) return 0;
  return std::clamp<long>(static_cast<int>(slot), range.lo, range.hi);
}

// One "WARNING:" line for each identity or secret whose double quote the
// header sends as a single quote: the printer may then refuse the account.
void WarnQuoteChanges(FILE* err, const char (*json)[kJsonTokenSize], bool bcp0, const char* AccountName,
                      const char* AccountPwd) {
  const struct {
    const char* what;
    const char* value;
  } values[] = {
      {"authorization code", bcp0 ? json[JSON_AUTHCODE] : nullptr},
      {"authorization user name", bcp0 ? json[JSON_USERNAME] : nullptr},
      {"authorization password", bcp0 ? json[JSON_ACCTPASS] : nullptr},
      {"account ID", AccountName},
      {"account password", AccountPwd},
  };
  for (const auto& v : values) {
    if (v.value && std::strchr(v.value, '"'))
      CupsMessage(err, "WARNING: ", "The %s contains a double quote, sent to the printer as a single quote",
                  v.what);
  }
}

}  // namespace

DuplexOverride DuplexFromAuthorization(const char (*json)[kJsonTokenSize]) {
  DuplexOverride d;
  d.active = true;
  d.duplex = strcasecmp(json[JSON_DUPLEX], "ON") == 0;
  d.duplexText.assign(json[JSON_DUPLEX], strnlen(json[JSON_DUPLEX], kJsonTokenSize));
  d.duplexTypeText.assign(json[JSON_DUPLEXTYPE], strnlen(json[JSON_DUPLEXTYPE], kJsonTokenSize));
  return d;
}

void PJL_WriteStartJobCmd(PrinterPort& port, const JobHeader& job) {
  const cups_page_header2_t* inheader = job.page;
  const DWORD DriverFeature = job.DriverFeature;
  std::time_t now = std::time(nullptr);
  std::tm lt{};
  localtime_r(&now, &lt);
  DWORD start = GetTickCount();
  const long timeoutSlot = InRange(inheader->cupsInteger[6], job.ranges.timeout);
  const long timeout = timeoutSlot ? timeoutSlot : 300;
  const long density = InRange(inheader->cupsInteger[11], job.ranges.density) + 1;
  DbgMessage(FUNCNAME, "In, numUP = %d, PrinterName = %s, UserName = %s, DocName = %s, NumCopies = %d",
             job.numUP, job.PrinterName, job.szUserName, job.szDocName, inheader->NumCopies);

  // Preamble: clear whatever the printer holds, then two empty jobs around
  // 512 zero bytes.
  std::string preamble;
  preamble.append(DrvCancelStr, sizeof DrvCancelStr - 1);
  preamble.append(DrvZeroJobStr, sizeof DrvZeroJobStr - 1);
  preamble.append(512, '\0');
  preamble.append(DrvZeroJobStr, sizeof DrvZeroJobStr - 1);
  static_assert(sizeof DrvCancelStr - 1 + 2 * (sizeof DrvZeroJobStr - 1) + 512 == kPreambleSize);
  port.Write(preamble.data(), preamble.size());
  DbgMessage(FUNCNAME, "count_bytes = %d", static_cast<int>(port.BytesSent()));

  const BYTE f0 = job.Feature[0], f1 = job.Feature[1];
  const bool bcp0 = DriverFeature & DF_BCP_MODE0;
  const bool res1200 = f1 & F1_1200X1200;
  const bool lowPower600 = inheader->cupsInteger[8] == 2;

  char host[65] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';

  static const char kNoValues[kJsonMaxTokens][kJsonTokenSize] = {};
  const char(*json)[kJsonTokenSize] = job.json ? job.json : kNoValues;

  // Free texts may be shortened to fit; account values only when that is
  // not enough (see below). Settings are never shortened.
  const std::string version = Text(job.DriverVersion), doc = Text(job.szDocName), user = Text(job.szUserName),
                    hostName = Text(host), queue = Text(job.PrinterName), uri = Text(job.PrinterPortName),
                    location = Text(job.PrinterLocation), jobUser = Quoted(job.szUserName),
                    jobDoc = Quoted(job.szDocName);
  const std::string* const texts[] = {&version, &doc,      &user,    &hostName, &queue,
                                      &uri,     &location, &jobUser, &jobDoc};
  // The account values, each no longer than its buffer.
  auto bounded = [](const char* v) {
    return v ? std::string(v, strnlen(v, kJsonTokenSize - 1)) : std::string();
  };
  const std::string authCode = Quoted(json[JSON_AUTHCODE]), authUser = Quoted(json[JSON_USERNAME]),
                    authPass = Quoted(json[JSON_ACCTPASS]), notifyUrl = Quoted(json[JSON_NOTIFYURL]),
                    checkUrl = Quoted(json[JSON_CHECKAUTHCODEURL]),
                    accName = Quoted(bounded(job.AccountName).c_str()),
                    accPwd = Quoted(bounded(job.AccountPwd).c_str());
  const DuplexOverride& fromFile = job.duplexOverride;
  std::string duplex = inheader->Duplex == 1 ? "ON" : "OFF";
  std::string duplexType = inheader->Tumble ? "CALENDAR" : "BOOKLET";
  if (fromFile.active && !fromFile.duplexText.empty()) duplex = Text(fromFile.duplexText.c_str());
  if (fromFile.active && !fromFile.duplexTypeText.empty()) duplexType = Text(fromFile.duplexTypeText.c_str());
  const std::string* const values[] = {&authCode, &authUser, &authPass, &notifyUrl, &checkUrl,
                                       &accName,  &accPwd,   &duplex,   &duplexType};

  unsigned resolution = 600;
  if (res1200) resolution = inheader->HWResolution[0] < 600 ? 600 : inheader->HWResolution[0];
  const bool ret = !res1200 && (f1 & F1_600_RET) && lowPower600;
  if (ret) DbgMessage(FUNCNAME, "low power 600");
  unsigned copies = (job.filterCollates || inheader->Collate) ? 1 : AnnouncedCopies(inheader->NumCopies);
  if (job.printerMakesCopies) copies = AnnouncedCopies(inheader->NumCopies);
  DbgMessage(FUNCNAME, "ori = %d", static_cast<int>(inheader->Orientation));
  const int jobName = static_cast<int>(GetTickCount());

  // The header with every free text cut to textCap bytes and every account
  // value to valueCap.
  auto build = [&](std::size_t textCap, std::size_t valueCap) {
    auto t = [textCap](const std::string& v) { return Cut(v, textCap); };
    auto v = [valueCap](const std::string& s) { return Cut(s, valueCap); };
    HeaderText h;
    h.Add("%s@PJL\r\n@PJL JOB NAME=\"%d\"\r\n", UELStr, jobName);
    h.Add("@PJL SET TIMEOUT=%ld\r\n", timeout);
    h.Add("@PJL COMMENT Filter Version,%s\r\n", t(version).c_str());
    h.Add("@PJL COMMENT %s\r\n", t(doc).c_str());
    h.Add("@PJL COMMENT %s\r\n", t(user).c_str());
    h.Add("@PJL COMMENT %s\r\n", t(hostName).c_str());
    h.Add("@PJL COMMENT %s\r\n", t(queue).c_str());
    h.Add("@PJL COMMENT %s\r\n", t(uri).c_str());
    h.Add("@PJL COMMENT \r\n");
    h.Add("@PJL COMMENT %04d/%02d/%02d\r\n", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday);
    h.Add("@PJL COMMENT %02d:%02d:%02d:00\r\n", lt.tm_hour, lt.tm_min, lt.tm_sec);
    h.Add("@PJL COMMENT JBIG,00,%2d\r\n", (DriverFeature & DF_ZQ3_CHIP) ? 64 : 8);
    h.Add("@PJL COMMENT Copies,%u\r\n", AnnouncedCopies(inheader->NumCopies));
    h.Add("@PJL COMMENT %s\r\n", t(location).c_str());

    if (DriverFeature & DF_BCP_MODE1) {
      h.Add("@PJL SET FAUTHCODE=QZRKVNHTWPLA58302614\r\n");
      h.Add("@PJL SET ORDERNO=JDXMBRUEYKCS71946023\r\n");
      h.Add("@PJL SET USERNAME=\"QZRKVNHTWPLA58302614\"\r\n");
      h.Add("@PJL SET ACCTPASS=\"JDXMBRUEYKCS71946023\"\r\n");
    }
    if (bcp0) {
      h.Add("@PJL SET FAUTHCODE=\"%s\"\r\n", v(authCode).c_str());
      h.Add("@PJL SET USERNAME=\"%s\"\r\n", v(authUser).c_str());
      h.Add("@PJL SET ACCTPASS=\"%s\"\r\n", v(authPass).c_str());
      h.Add("@PJL SET NOTIFYURL=\"%s\"\r\n", v(notifyUrl).c_str());
      h.Add("@PJL SET CHECKAUTHCODEURL=\"%s\"\r\n", v(checkUrl).c_str());
    }

    h.Add("@PJL SET JOBNAME=\"%s:%s\"\r\n", t(jobUser).c_str(), t(jobDoc).c_str());
    if (*job.AccountName) h.Add("@PJL SET USERNAME=\"%s\"\r\n", v(accName).c_str());
    if (*job.AccountPwd) h.Add("@PJL SET ACCTPASS=\"%s\"\r\n", v(accPwd).c_str());

    h.Add("@PJL SET ECONOMODE=%s\r\n", (!(f1 & F1_SW_TONERSAVE) && inheader->cupsInteger[0]) ? "ON" : "OFF");
    h.Add("@PJL SET DENSITY=%ld\r\n", density);
    h.Add("@PJL SET AUTOSELECT=%s\r\n", inheader->MediaPosition == 250 ? "ON" : "OFF");
    h.Add("@PJL SET DUPLEX=%s\r\n", v(duplex).c_str());
    h.Add("@PJL SET DUPLEXTYPE=%s\r\n", v(duplexType).c_str());
    h.Add("@PJL SET RESOLUTION=%d\r\n", static_cast<int>(resolution));
    h.Add("@PJL SET RET=%s\r\n", ret ? "ON" : "OFF");
    h.Add("@PJL SET BITSPERPIXEL=%d\r\n", ((f0 & F0_TWO_BIT_600) && lowPower600) ? 2 : 1);
    if (f1 & F1_SSL) h.Add("@PJL SET ENCRYPTION = SSL\r\n");
    h.Add("@PJL SET COPIES=%u\r\n", copies);
    h.Add("@PJL SET MEDIASOURCE=%s\r\n", MediaSource(*inheader).c_str());
    h.Add("@PJL SET JUSTIFIED=%s\r\n", "LEFT");
    h.Add("@PJL SET MIRROR=%s\r\n", "OFF");
    h.Add("@PJL SET MARGINS=%s\r\n", inheader->Margins[0] <= 6 ? "SMALLER" : "NORMAL");
    if (f0 & F0_IMPR) h.Add("@PJL SET IMPR=1\r\n");
    h.Add("@PJL SET BIDICOMM=%s\r\n", "OFF");
    h.Add("@PJL SET ORIENTATION=%s\r\n", inheader->Orientation ? "LANDSCAPE" : "PORTRAIT");
    return h.Finish();
  };

  // An over-long header gives up the longest free texts first, down to
  // nothing; only then the account values (the printer will likely refuse
  // a shortened one, but the job's settings all arrive).
  std::size_t longestText = 0, longestValue = 0;
  for (const std::string* s : texts) longestText = std::max(longestText, s->size());
  for (const std::string* s : values) longestValue = std::max(longestValue, s->size());
  const std::size_t textCap =
      LargestFittingCap(longestText, [&](std::size_t c) { return build(c, longestValue); });
  std::size_t valueCap = longestValue;
  if (textCap < longestText)
    DbgMessage(FUNCNAME, "job texts shortened to %u bytes", static_cast<unsigned>(textCap));
  if (textCap == 0) {
    valueCap = LargestFittingCap(longestValue, [&](std::size_t c) { return build(0, c); });
    if (valueCap < longestValue)
      CupsMessage(port.Err(),
                  "WARNING: ", "The job header has no room for the account values, shortened to %u bytes",
                  static_cast<unsigned>(valueCap));
  }
  WarnQuoteChanges(port.Err(), json, bcp0, job.AccountName, job.AccountPwd);
  const std::string text = build(textCap, valueCap);

  port.Write(text.data(), text.size());
  DbgMessage(FUNCNAME, "gOutputSize = %d", static_cast<int>(port.BytesSent()));
  DbgMessage(FUNCNAME, "count_bytes = %d", static_cast<int>(port.BytesSent()));
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - start));
}
