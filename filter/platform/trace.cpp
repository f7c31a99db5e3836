// Trace log: DbgMessage, job milestones and the raster header dump.
#include "trace.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

#include "paths.h"

namespace {

// The job the calling thread traces for; nullptr outside a job.
thread_local const TraceTarget* tCurrent = nullptr;

const TraceTarget& Current() {
  static const TraceTarget kNoJob;
  return tCurrent ? *tCurrent : kNoJob;
}

// Appends printf-style text to a fixed line buffer, cutting at its end.
struct LineBuf {
  char text[kTraceLineMax];
  std::size_t len = 0;

  LineBuf() { text[0] = '\0'; }
  void vappend(const char* fmt, va_list ap) {
    if (len >= sizeof text - 1) return;
    int n = std::vsnprintf(text + len, sizeof text - len, fmt, ap);
    if (n < 0) return;
    len += static_cast<std::size_t>(n);
    if (len > sizeof text - 1) len = sizeof text - 1;
  }
  void append(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    va_list ap;
    va_start(ap, fmt);
    vappend(fmt, ap);
    va_end(ap);
  }
};

void AppendLocalTime(LineBuf& line) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  line.append("[%04d/%02d/%02d %02d:%02d:%02d] ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
              tm.tm_min, tm.tm_sec);
}

// Writes prefix, msg with its control characters escaped, and a line end to
// err in one stdio call, so lines of concurrent threads never split.
void WriteLine(FILE* err, const char* prefix, std::string_view msg) {
  std::string line(prefix);
  line.append(EscapeControls(msg)).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), err);
  std::fflush(err);
}

void WriteErrLine(const char* prefix, std::string_view msg) {
  WriteLine(Current().err, prefix, msg);
}

// Tells the job once why a trace directory or file is not used.
void SayRefusalOnce(const std::string& what, const char* why) {
  if (Current().refusalSaid.exchange(true)) return;
  const std::string line = what + " not used: " + why;
  WriteErrLine("DEBUG: [---filter---][--DbgMessage--] ", line);
}

}  // namespace

std::string EscapeControls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7F) {
      out.push_back(c);
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out.append(hex);
    }
  }
  return out;
}

void CupsMessage(FILE* err, const char* prefix, const char* format, ...) {
  LineBuf msg;
  va_list ap;
  va_start(ap, format);
  msg.vappend(format, ap);
  va_end(ap);
  WriteLine(err, prefix, std::string_view(msg.text, msg.len));
}

TraceScope::TraceScope(const TraceTarget* target) : previous_(tCurrent) {
  tCurrent = target;
}

TraceScope::~TraceScope() {
  tCurrent = previous_;
}

std::string TraceDirectory() {
  return FixedPath("/tmp/cups");
}

void DbgMessage(LPCTSTR funcName, const char* szMsgFormat, ...) {
  const std::string folderName = TraceDirectory();

  LineBuf msgText;
  msgText.append("[---filter---][--%s--] ", funcName ? funcName : "");
  va_list ap;
  va_start(ap, szMsgFormat);
  msgText.vappend(szMsgFormat, ap);
  va_end(ap);

  // The directory's own check decides every line: one planted or changed
  // while the job runs is passed over from then on.
  const TrustedDir dir(folderName);
  if (dir.Usable()) {
    LineBuf fileLine;
    AppendLocalTime(fileLine);
    fileLine.append("[Job %d] ", Current().jobId);
    std::string text(fileLine.text, fileLine.len);
    text.append(EscapeControls(std::string_view(msgText.text, msgText.len)));
    // Escapes may lengthen the message: the line stays within its bound.
    if (text.size() > kTraceLineMax - 2) text.resize(kTraceLineMax - 2);
    text.push_back('\n');
    const char* why = dir.AppendToFile("printer.log", text.data(), text.size());
    if (why) SayRefusalOnce("trace file " + folderName + "/printer.log", why);
    return;
  }
  if (dir.Why()) SayRefusalOnce("trace directory " + folderName, dir.Why());
  WriteErrLine("DEBUG: ", std::string_view(msgText.text, msgText.len));
}

void LogTime(const char* jobID, const char* message) {
  static const char FUNCNAME[] = "LogTime";
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  DbgMessage(FUNCNAME, "Job %s,%s,%d/%d/%d-%d:%d:%d", jobID, message, tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

void DisplayPageInfo(const cups_page_header2_t* h) {
  static const char FUNCNAME[] = "DisplayPageInfo";
  static const char* const kOptionNames[14] = {
      "TonerSave",           "Invert",      "Mirror",       "zero edge",
      "ColorMode",           "ColorLevel",  "timeout",      "scaling",
      "resolution",          "Support LEF", "Quality mode", "Density",
      "Authentication mode", "Fit to paper"};

  DbgMessage(FUNCNAME, "DisplayPageInfo In");
  DbgMessage(FUNCNAME, "MediaClass = \"%s\"", h->MediaClass);
  DbgMessage(FUNCNAME, "MediaColor = \"%s\"", h->MediaColor);
  DbgMessage(FUNCNAME, "MediaType = \"%s\"", h->MediaType);
  DbgMessage(FUNCNAME, "OutputType = \"%s\"", h->OutputType);
  DbgMessage(FUNCNAME, "AdvanceDistance = %d", h->AdvanceDistance);
  DbgMessage(FUNCNAME, "AdvanceMedia = %d", h->AdvanceMedia);
  DbgMessage(FUNCNAME, "Collate = %d", h->Collate);
  DbgMessage(FUNCNAME, "cupsBitsPerColor = %d", h->cupsBitsPerColor);
  DbgMessage(FUNCNAME, "cupsBitsPerPixel = %d", h->cupsBitsPerPixel);
  DbgMessage(FUNCNAME, "cupsBytesPerLine = %d", h->cupsBytesPerLine);
  DbgMessage(FUNCNAME, "cupsColorOrder = %d", h->cupsColorOrder);
  DbgMessage(FUNCNAME, "cupsColorSpace = %d", h->cupsColorSpace);
  DbgMessage(FUNCNAME, "cupsCompression = %d", h->cupsCompression);
  DbgMessage(FUNCNAME, "cupsHeight = %d", h->cupsHeight);
  for (int i = 0; i < 14; ++i)
    DbgMessage(FUNCNAME, "cupsInteger[%d] = %d (%s)", i, h->cupsInteger[i], kOptionNames[i]);
  DbgMessage(FUNCNAME, "cupsString[0] = %s (Savetofile)", h->cupsString[0]);
  DbgMessage(FUNCNAME, "cupsMediaType = %d (MediaType)", h->cupsMediaType);
  DbgMessage(FUNCNAME, "cupsWidth = %d", h->cupsWidth);
  DbgMessage(FUNCNAME, "CutMedia = %d", h->CutMedia);
  DbgMessage(FUNCNAME, "Duplex = %d (Duplex)", h->Duplex);
  DbgMessage(FUNCNAME, "HWResolution = [ %d %d ]", h->HWResolution[0], h->HWResolution[1]);
  DbgMessage(FUNCNAME, "ImagingBoundingBox = [ %d %d %d %d ]", h->ImagingBoundingBox[0],
             h->ImagingBoundingBox[1], h->ImagingBoundingBox[2], h->ImagingBoundingBox[3]);
  DbgMessage(FUNCNAME, "cupsImagingBBox = [ %f %f %f %f ]", h->cupsImagingBBox[0], h->cupsImagingBBox[1],
             h->cupsImagingBBox[2], h->cupsImagingBBox[3]);
  DbgMessage(FUNCNAME, "InsertSheet = %d", h->InsertSheet);
  DbgMessage(FUNCNAME, "Jog = %d", h->Jog);
  DbgMessage(FUNCNAME, "LeadingEdge = %d", h->LeadingEdge);
  DbgMessage(FUNCNAME, "ManualFeed = %d", h->ManualFeed);
  DbgMessage(FUNCNAME, "Margins = [ %d %d ]", h->Margins[0], h->Margins[1]);
  DbgMessage(FUNCNAME, "MediaPosition = %d (Tray)", h->MediaPosition);
  DbgMessage(FUNCNAME, "MediaWeight = %d", h->MediaWeight);
  DbgMessage(FUNCNAME, "MirrorPrint = %d", h->MirrorPrint);
  DbgMessage(FUNCNAME, "NegativePrint = %d", h->NegativePrint);
  DbgMessage(FUNCNAME, "NumCopies = %d", h->NumCopies);
  DbgMessage(FUNCNAME, "Orientation = %d", h->Orientation);
  DbgMessage(FUNCNAME, "OutputFaceUp = %d", h->OutputFaceUp);
  DbgMessage(FUNCNAME, "PageSize = [ %d %d ]", h->PageSize[0], h->PageSize[1]);
  DbgMessage(FUNCNAME, "Separations = %d", h->Separations);
  DbgMessage(FUNCNAME, "TraySwitch = %d", h->TraySwitch);
  DbgMessage(FUNCNAME, "Tumble = %d (Duplex)", h->Tumble);
  DbgMessage(FUNCNAME, "DisplayPageInfo Out");
}
