// Spool records built from the input (a 2-byte length and the record, over
// and over), sent and replayed as the first byte says: bit 0 an encrypting
// printer, bit 1 duplex, bit 2 a raw-data printer whose records are decoded.
#include <algorithm>

#include "feature_bits.h"
#include "fuzz_support.h"
#include "playback.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  fuzz::Root();
  fuzz::Quiet quiet;
  PrinterPort port(quiet.events, quiet.sink.get());
  PageReports reports(quiet.sink.get());
  SpoolFile spool;
  if (!spool.Create(7)) abort();
  for (std::size_t pos = 1; pos + 2 <= size;) {
    const std::size_t len = std::min<std::size_t>(data[pos] | data[pos + 1] << 8, size - pos - 2);
    spool.Append(data + pos + 2, static_cast<DWORD>(len), 1, reports);
    pos += 2 + len;
  }
  const BYTE feature[2] = {static_cast<BYTE>(data[0] & 4 ? F0_RAW_DATA : 0),
                           static_cast<BYTE>(data[0] & 1 ? F1_SSL : 0)};
  const unsigned duplex = (data[0] & 2) != 0;
  SpoolSender s{spool, port, reports, quiet.events};
  DWORD finished = 0;
  SendSpooledPages(s, &finished, duplex, 0, feature);
  unsigned copies = 2;
  PlaybackSpool(s, feature, 0, TRUE, duplex, &copies);
  return 0;
}
