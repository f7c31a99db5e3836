// PJL trailer.
#include <cstdint>
#include <string>

#include "pjl_stream.h"
#include "shims.h"
#include "trace.h"

void PJL_WriteCloseJobCmd(PrinterPort& port, bool cancel) {
  static const char FUNCNAME[] = "PJL_WriteCloseJobCmd";
  DWORD start = GetTickCount();
  DbgMessage(FUNCNAME, "In");

  port.Write(EndOfJobStr, sizeof EndOfJobStr - 1);

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
  const std::uint64_t end = port.BytesSent() + trailer.size();
  DbgMessage(FUNCNAME, "gOutputSize = %d", static_cast<int>(end));

  // The job must never end on an exact multiple of 512 bytes: one comment
  // line more moves the end off the boundary.
  if (end % 512 == 0) {
    DbgMessage(FUNCNAME, "512 alignment data send");
    port.Write(kPjlAlignComment, sizeof kPjlAlignComment - 1);
  }

  port.Write(trailer.data(), trailer.size());
  DbgMessage(FUNCNAME, "count_bytes = %d", static_cast<int>(port.BytesSent()));
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - start));
}
