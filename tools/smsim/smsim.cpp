// A stand-in for the status-monitor library, for tests and hand runs: the
// seven entries with the library's signatures and records, answering from a
// scenario file named by SMSIM_SCENARIO (format in scenario.md). It keeps no
// state of its own: each call reads the scenario again and counts the
// earlier calls in its call log, so several jobs and threads may share it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "status_records.h"

namespace {

struct Printer {
  std::string queue, port;
  unsigned long feature = 0;
};

struct Scenario {
  std::string log;
  std::vector<Printer> printers;
  int listRc = 0;
  BYTE feature[2] = {0, 0};
  int capabilityFailures = 0;  // < 0: the query never succeeds
  int psmRunning = 0;
  int wakeupRc = 0;
  std::vector<int> errors;  // reported by every status poll
  // From the poll in first on, the codes in second replace errors; the
  // latest start not after a poll counts.
  std::vector<std::pair<int, std::vector<int>>> errorsAtPoll;
  long long toner = -1;                             // percent; < 0 not reported
  std::vector<std::pair<int, long long>> supplies;  // further UsageRemain entries: index, value
  int cancelAtPoll = -1;                            // 1-based monitor read that sees the cancel button
  int accountingAfter = -1;                         // extended reads before the dialog answers
  std::string accId, accPwd;
  // Consumable serials of the capability record: the count the record
  // claims (which may exceed the entries, as a faulty library's may) and
  // the entries themselves.
  struct Serials {
    int count = 0;
    std::vector<std::string> entries;
  } drumSerials, tonerSerials, developerSerials;
  std::optional<int> errNum;  // the ErrNum every status report claims, whatever its codes
};

Scenario Load() {
  Scenario s;
  const char* name = std::getenv("SMSIM_SCENARIO");
  if (!name) return s;
  std::ifstream in(name);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string key;
    f >> key;
    if (key == "log") {
      f >> s.log;
    } else if (key == "printer") {
      Printer p;
      f >> p.queue >> p.port >> p.feature;
      s.printers.push_back(p);
    } else if (key == "list_rc") {
      f >> s.listRc;
    } else if (key == "capability") {
      unsigned b0 = 0, b1 = 0;
      f >> std::hex >> b0 >> b1;
      s.feature[0] = static_cast<BYTE>(b0);
      s.feature[1] = static_cast<BYTE>(b1);
    } else if (key == "capability_failures") {
      std::string n;
      f >> n;
      s.capabilityFailures = n == "always" ? -1 : std::atoi(n.c_str());
    } else if (key == "psm_running") {
      f >> s.psmRunning;
    } else if (key == "wakeup_rc") {
      f >> s.wakeupRc;
    } else if (key == "errors") {
      for (int code; f >> code;) s.errors.push_back(code);
    } else if (key == "errors_at_poll") {
      std::pair<int, std::vector<int>> change;
      f >> change.first;
      for (int code; f >> code;) change.second.push_back(code);
      s.errorsAtPoll.push_back(change);
    } else if (key == "toner") {
      f >> s.toner;
    } else if (key == "supply") {
      std::pair<int, long long> entry;
      if (f >> entry.first >> entry.second && entry.first >= 0 && entry.first < USAGE_REMAIN_NUM)
        s.supplies.push_back(entry);
    } else if (key == "cancel_at_poll") {
      f >> s.cancelAtPoll;
    } else if (key == "accounting") {
      f >> s.accountingAfter >> s.accId >> s.accPwd;
    } else if (key == "serials") {
      std::string kind;
      Scenario::Serials serials;
      f >> kind >> serials.count;
      for (std::string sn; f >> sn;) serials.entries.push_back(sn);
      if (kind == "drum") s.drumSerials = serials;
      if (kind == "toner") s.tonerSerials = serials;
      if (kind == "developer") s.developerSerials = serials;
    } else if (key == "err_num") {
      int n = 0;
      if (f >> n) s.errNum = n;
    }
    // Other keys belong to later scenarios and are skipped.
  }
  return s;
}

// Earlier calls of the log whose line starts with prefix.
int CountCalls(const Scenario& s, const std::string& prefix) {
  std::ifstream in(s.log);
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, prefix.size(), prefix) == 0) ++n;
  return n;
}

void Log(const Scenario& s, const std::string& line) {
  if (s.log.empty()) return;
  int fd = open(s.log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string l = line + "\n";
  ssize_t n = write(fd, l.data(), l.size());
  (void)n;
  close(fd);
}

// Like the real library, fills a field completely when the text is as long
// as the field: no terminator then.
template <std::size_t N>
void Fill(char (&field)[N], const std::string& text) {
  std::memcpy(field, text.data(), std::min(N, text.size()));
}

// The error codes of the n-th (1-based) poll of one status entry.
const std::vector<int>& ErrorsOfPoll(const Scenario& s, int poll) {
  const std::vector<int>* codes = &s.errors;
  int from = 0;
  for (const auto& [start, list] : s.errorsAtPoll)
    if (start <= poll && start >= from) {
      from = start;
      codes = &list;
    }
  return *codes;
}

// Entries the scenario does not give are reported as unknown (-1).
void FillSupplies(const Scenario& s, SuppliesInfo& supplies) {
  // Packed: assigned one by one, never bound to a reference.
  for (int i = 0; i < USAGE_REMAIN_NUM; ++i) supplies.UsageRemain[i] = -1;
  supplies.UsageRemain[USAGE_REMAIN_CARTRIDGE] = s.toner;
  for (const auto& [index, value] : s.supplies) supplies.UsageRemain[index] = value;
}

void FillStatus(const Scenario& s, pErrorInfo& status, const std::vector<int>& codes) {
  int n = std::min<int>(512, static_cast<int>(codes.size()));
  status.ErrNum = s.errNum.value_or(n);
  for (int i = 0; i < n; ++i) status.code[i] = codes[i];
}

template <std::size_t N>
std::int32_t FillSerials(char (&field)[4][N], const Scenario::Serials& serials) {
  for (std::size_t i = 0; i < std::min<std::size_t>(4, serials.entries.size()); ++i)
    Fill(field[i], serials.entries[i]);
  return serials.count;
}

std::string Name(const char* name, std::size_t size) {
  return name ? std::string(name, strnlen(name, size)) : std::string("(null)");
}

}  // namespace

extern "C" {

int GetPrinterList_s(PrinterAttribute* list, int capacity, int* count) {
  Scenario s = Load();
  Log(s, "GetPrinterList_s " + std::to_string(capacity));
  int n = std::min<int>(capacity, static_cast<int>(s.printers.size()));
  for (int i = 0; i < n; ++i) {
    std::memset(&list[i], 0, sizeof list[i]);
    Fill(list[i].PrinterName, s.printers[i].queue);
    Fill(list[i].PortName, s.printers[i].port);
    list[i].DriverFeature = static_cast<DWORD>(s.printers[i].feature);
  }
  *count = n;
  return s.listRc;
}

int SendPrinterControl(char* name, int func, void* buffer, int size) {
  Scenario s = Load();
  int earlier = CountCalls(s, "SendPrinterControl ");
  Log(s, "SendPrinterControl " + Name(name, 128) + " " + std::to_string(func) + " " + std::to_string(size));
  if (func != PRINT_QUERY_CAPABILITY || size < static_cast<int>(sizeof(PrinterCapability))) return -1;
  if (s.capabilityFailures < 0 || earlier < s.capabilityFailures) return -1;
  auto* cap = static_cast<PrinterCapability*>(buffer);
  std::memset(cap, 0, sizeof *cap);
  cap->Feature[0] = s.feature[0];
  cap->Feature[1] = s.feature[1];
  cap->DrumNum = FillSerials(cap->DrumSN, s.drumSerials);  // packed: assigned, never bound
  cap->TonerNum = FillSerials(cap->TonerSN, s.tonerSerials);
  cap->DeveloperNum = FillSerials(cap->DeveloperSN, s.developerSerials);
  return 0;
}

int QueryPrinterStatus(char* name, pErrorInfo* status, SuppliesInfo* supplies) {
  Scenario s = Load();
  int earlier = CountCalls(s, "QueryPrinterStatus ");
  Log(s, "QueryPrinterStatus " + Name(name, 128));
  std::memset(status, 0, sizeof *status);
  std::memset(supplies, 0, sizeof *supplies);
  FillStatus(s, *status, ErrorsOfPoll(s, earlier + 1));
  FillSupplies(s, *supplies);
  return 0;
}

int ReadWriteMemory(int direction, int item, char* name, SMCancelJobStruc* info) {
  Scenario s = Load();
  int reads = CountCalls(s, "ReadWriteMemory 0 ");
  std::string line = "ReadWriteMemory " + std::to_string(direction) + " " + std::to_string(item) + " " +
                     Name(name, 128) + " " + std::to_string(info->JobID) + " " +
                     std::to_string(info->CancelReady);
  // A message for the monitor to show goes into the log with its text.
  if (direction == SDK_Write && item == Write_Message)
    line += " " + Name(info->Message, sizeof info->Message);
  Log(s, line);
  if (direction == SDK_Read && item == Read_None) {
    info->CancelSignal = s.cancelAtPoll > 0 && reads + 1 >= s.cancelAtPoll;
    // The monitor's record names the printer and its port, as the list does.
    std::memset(info->PInfo.PrinterName, 0, sizeof info->PInfo.PrinterName);
    std::memset(info->PInfo.Port, 0, sizeof info->PInfo.Port);
    for (const Printer& p : s.printers)
      if (p.queue == Name(name, 128)) {
        Fill(info->PInfo.PrinterName, p.queue);
        Fill(info->PInfo.Port, p.port);
      }
    FillStatus(s, info->PInfo.status, ErrorsOfPoll(s, reads + 1));
    FillSupplies(s, info->PInfo.supplies);
  }
  return 0;
}

int IsPSMRunning() {
  Scenario s = Load();
  Log(s, "IsPSMRunning");
  return s.psmRunning;
}

int ReadWriteMemoryEx(int direction, int item, char* name, SMMemDataEx* data, int size) {
  Scenario s = Load();
  int reads = CountCalls(s, "ReadWriteMemoryEx 0 ");
  std::string line = "ReadWriteMemoryEx " + std::to_string(direction) + " " + std::to_string(item) + " " +
                     Name(name, 128) + " " + std::to_string(size);
  // What the monitor is told goes into the log: the job and the dialog's type.
  if (direction == SDK_Write && data && size >= static_cast<int>(sizeof(SMMemDataEx)))
    line += " " + std::to_string(data->base.JobID) + " " + std::to_string(data->AccDialogType);
  Log(s, line);
  if (size < static_cast<int>(sizeof(SMMemDataEx))) return -1;
  if (direction == SDK_Read && s.accountingAfter >= 0 && reads >= s.accountingAfter) {
    Fill(data->AccID, s.accId);
    Fill(data->AccPwd, s.accPwd);
  }
  return 0;
}

int WeakupNetPrinter(char* port) {
  Scenario s = Load();
  Log(s, "WeakupNetPrinter " + Name(port, 128));
  return s.wakeupRc;
}

}  // extern "C"
