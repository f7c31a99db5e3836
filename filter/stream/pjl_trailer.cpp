// PJL trailer.
#include <string>

#include "pjl_stream.h"
#include "shims.h"
#include "trace.h"

void PJL_WriteCloseJobCmd(PrinterPort& port, bool cancel) {
  static const char FUNCNAME[] = "PJL_WriteCloseJobCmd";
  DWORD start = GetTickCount();
  DbgMessage(FUNCNAME, "In");

  port.Write(EndOfJobStr, sizeof EndOfJobStr - 1);
  port.count_bytes.fetch_add(sizeof EndOfJobStr - 1, std::memory_order_acq_rel);
  port.outputSize.fetch_add(sizeof EndOfJobStr - 1, std::memory_order_acq_rel);

  std::string trailer = "@PJL SET TIMEOUT=5\r\n";
  if (cancel) {
    trailer += "@PJL HOST_CANCEL\r\n";
    DbgMessage(FUNCNAME, "add host cancel PJL");
  }
  trailer += "@PJL EOJ\r\n";
  trailer.append(UELStr, sizeof UELStr - 1);
  if (cancel) {
    trailer.append(DrvCancelStr2, sizeof DrvCancelStr2 - 1);
    DbgMessage(FUNCNAME, "add host cancel PJL 2");
  }
  // Fixed parts only: well inside the trailer buffer.
  static_assert(20 + 18 + 10 + (sizeof UELStr - 1) + (sizeof DrvCancelStr2 - 1) < kPjlTrailerBuf);
  const DWORD L = static_cast<DWORD>(trailer.size());
  port.outputSize.fetch_add(static_cast<int>(L), std::memory_order_acq_rel);
  DbgMessage(FUNCNAME, "gOutputSize = %d", port.outputSize.load(std::memory_order_acquire));

  // The job must never end on an exact multiple of 512 bytes: one comment
  // line more moves the end off the boundary.
  if ((port.count_bytes.load(std::memory_order_acquire) + L) % 512 == 0) {
    DbgMessage(FUNCNAME, "512 alignment data send");
    constexpr DWORD n = sizeof kPjlAlignComment - 1;
    port.Write(kPjlAlignComment, n);
    port.count_bytes.fetch_add(n, std::memory_order_acq_rel);
    port.outputSize.fetch_add(static_cast<int>(n), std::memory_order_acq_rel);
  }

  port.Write(trailer.data(), L);
  port.count_bytes.fetch_add(L, std::memory_order_acq_rel);
  DbgMessage(FUNCNAME, "count_bytes = %d",
             static_cast<int>(port.count_bytes.load(std::memory_order_acquire)));
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - start));
}
