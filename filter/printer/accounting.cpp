// The accounting dialog (see accounting.h).
#include "accounting.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "paths.h"
#include "status_records.h"
#include "trace.h"

namespace {

const char FUNCNAME[] = "AccountingDlg";

// The monitor may fill a field to its last byte: at most size - 1
// characters are taken.
template <std::size_t N>
std::string Field(const char (&field)[N]) {
  return std::string(field, strnlen(field, N - 1));
}

}  // namespace

std::chrono::milliseconds AccountingWait() {
  const char* env = std::getenv("RASTERTOPWG2_ACCOUNT_WAIT");
  char* end = nullptr;
  const long seconds = env ? std::strtol(env, &end, 10) : 0;
  if (!env || end == env || *end || seconds < 1 || seconds > 86400) return kAccountingWait;
  return std::chrono::seconds(seconds);
}

BOOL AccountingDlg(const StatusLibrary& lib, JobEvents& events, const char* PrinterName, int type,
                   char* accid, char* accpw, std::size_t accSize, std::chrono::milliseconds poll,
                   std::chrono::milliseconds limit) {
  DbgMessage(FUNCNAME, "in");
  auto data = std::make_unique<SMMemDataEx>();
  data->base.JobID = events.trace.jobId;
  data->AccDialogType = type == 2 ? 2 : 1;
  DbgMessage(FUNCNAME, "JobID = %d", data->base.JobID);
  DbgMessage(FUNCNAME, "AccDialogType = %d", data->AccDialogType);
  if (lib.fnReadWriteMemoryEx) {
    char name[128];
    CopyBounded(name, sizeof name, PrinterName ? PrinterName : "");
    const int size = static_cast<int>(sizeof(SMMemDataEx));
    lib.fnReadWriteMemoryEx(SDK_Write, Write_JobID, name, data.get(), size);
    lib.fnReadWriteMemoryEx(SDK_Write, Write_AccDiaType, name, data.get(), size);
    const bool withPassword = data->AccDialogType == 2;
    bool answered = false, waitSaid = false;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // A cancelled job no longer waits for an answer that may never come.
    while (!answered && !events.Cancelled()) {
      lib.fnReadWriteMemoryEx(SDK_Read, Read_None, name, data.get(), size);
      const std::string id = Field(data->AccID), pwd = Field(data->AccPwd);
      if (!id.empty() && (!withPassword || !pwd.empty())) {
        DbgMessage(FUNCNAME, "ID = %s", id.c_str());
        CopyBounded(accid, accSize, id.c_str());
        if (withPassword) {
          DbgMessage(FUNCNAME, "Password received");
          CopyBounded(accpw, accSize, pwd.c_str());
        }
        answered = true;
      } else {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds::zero()) {
          DbgMessage(FUNCNAME, "no answer within %lld ms", static_cast<long long>(limit.count()));
          DbgMessage(FUNCNAME, "Out. rc = %d", FALSE);
          return FALSE;
        }
        if (!waitSaid) {
          CupsMessage(events.Err(),
                      "INFO: ", "Waiting for the account in the status monitor's dialog (up to %lld s)",
                      static_cast<long long>(limit.count() / 1000));
          waitSaid = true;
        }
        events.WaitFor(std::min(poll, left), [&events] { return events.Cancelled(); });
      }
    }
    if (!answered) DbgMessage(FUNCNAME, "job cancelled, no answer taken");
  }
  DbgMessage(FUNCNAME, "Out. rc = %d", TRUE);
  return TRUE;
}
