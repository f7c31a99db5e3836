// Job-control globals (see job_context.h).
#include "job_context.h"

cups_page_header2_t ginheader_bak{};
char g_cupslibCMYK[128];
char g_cupsiccCMYK[128];
pthread_t gjbig_id{};
pthread_t gstatus_id{};
FILE* stdoutPRN = nullptr;

namespace {
PrinterAttribute gNoPrinter{};
}

const PrinterAttribute& FilterJob::Selected() const {
  if (SelectPrnter < 0 || SelectPrnter >= printerNumber || SelectPrnter >= kMaxPrinters) return gNoPrinter;
  return myPrinters[SelectPrnter];
}

PrinterAttribute& FilterJob::Selected() {
  if (SelectPrnter < 0 || SelectPrnter >= printerNumber || SelectPrnter >= kMaxPrinters) {
    gNoPrinter = PrinterAttribute{};
    return gNoPrinter;
  }
  return myPrinters[SelectPrnter];
}
