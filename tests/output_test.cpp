// Page coding, the output thread, spool records and their replay.
#include <gtest/gtest.h>
extern "C" {
#include <jbig.h>
}
#include <semaphore.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "feature_bits.h"
#include "job_context.h"
#include "job_state.h"
#include "job_streams.h"
#include "page_output.h"
#include "spool_file.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Reference coder straight on JBIG-KIT: one stripe, order 0.
Bytes RefBie(const Bytes& bitmap, unsigned long w, unsigned long h, int options) {
  Bytes out;
  jbg_enc_state s;
  unsigned char* planes[1] = {const_cast<unsigned char*>(bitmap.data())};
  jbg_enc_init(
      &s, w, h, 1, planes,
      [](unsigned char* p, size_t n, void* f) {
        static_cast<Bytes*>(f)->insert(static_cast<Bytes*>(f)->end(), p, p + n);
      },
      &out);
  jbg_enc_layers(&s, 0);
  jbg_enc_options(&s, 0, options, h, 0, 0);
  jbg_enc_out(&s);
  jbg_enc_free(&s);
  return out;
}

// Reference decoder; empty on error.
Bytes RefDecode(const Bytes& bie) {
  jbg_dec_state d;
  jbg_dec_init(&d);
  Bytes data = bie;
  size_t used = 0;
  Bytes img;
  if (jbg_dec_in(&d, data.data(), data.size(), &used) == JBG_EOK)
    img.assign(jbg_dec_getimage(&d, 0), jbg_dec_getimage(&d, 0) + jbg_dec_getsize(&d));
  jbg_dec_free(&d);
  return img;
}

// The sampled checksum the printer checks: one byte every 32 lines, the
// column stepping one byte per line, plus the last byte.
DWORD RefChecksum(const unsigned char* p, unsigned width, unsigned rows) {
  const unsigned bpl = width / 8;
  DWORD sum = 0;
  for (unsigned i = 0; i < rows; i += 32) sum += p[i * bpl + i % bpl];
  return sum + p[bpl * rows - 1];
}

DWORD LE32(const unsigned char* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}
void PutLE32(Bytes& b, DWORD v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A page with some structure: diagonal bands and a dark block.
Bytes PatternPage(unsigned width, unsigned rows, unsigned seed = 0) {
  Bytes b(width / 8 * rows);
  for (unsigned y = 0; y < rows; ++y)
    for (unsigned x = 0; x < width / 8; ++x)
      b[y * (width / 8) + x] = static_cast<unsigned char>(((x + y + seed) % 7 == 0) ? 0xF0 : 0) |
                               ((y > rows / 3 && y < rows / 2 && x < 4 + seed) ? 0xFF : 0);
  return b;
}

Bytes NoisePage(unsigned width, unsigned rows) {
  std::mt19937 rng(7);
  Bytes b(width / 8 * rows);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

using testing_support::Slurp;

const std::string ESC_E(
    "\x1b"
    "E");

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    SetJobStreams(out_, err_);
    gCancelJob.store(0);
    gSaveToFile.store(0);
    gJbigThreadExit.store(0);
    count_bytes.store(0);
    gOutputSize.store(0);
    ResetOutputFailure();
  }
  void TearDown() override {
    for (JobInfo& s : slots_) std::free(s.lpbuf);
    CloseSpool();
    SetJobStreams(nullptr, nullptr);
    std::fclose(out_);
    std::fclose(err_);
    gCancelJob.store(0);
  }

  // A slot holding a 1-bit page.
  JobInfo& Fill(int i, const Bytes& bitmap, unsigned width, unsigned rows, BYTE f0, BYTE f1 = 0, DWORD df = 0,
                int colorMode = 0) {
    JobInfo& s = slots_[i];
    std::free(s.lpbuf);
    s.lpbuf = static_cast<BYTE*>(std::malloc(bitmap.size()));
    std::memcpy(s.lpbuf, bitmap.data(), bitmap.size());
    s.page_width = width;
    s.page_height = rows;
    s.linebyte = width / 8;
    s.pagesize = static_cast<DWORD>(bitmap.size());
    s.Feature[0] = f0;
    s.Feature[1] = f1;
    s.DriverFeature = df;
    s.inheader = cups_page_header2_t{};
    s.inheader.cupsInteger[4] = static_cast<unsigned>(colorMode);
    s.PageIndex = static_cast<DWORD>(i);
    return s;
  }
  static Bytes Data(const JobInfo& s) {
    return Bytes(s.lpbuf + kBlockPrefix, s.lpbuf + kBlockPrefix + s.CurPageDataLen);
  }

  // A spool file holding the given page blocks.
  void OpenSpool(const std::vector<std::string>& records) {
    gSpoolFileHandle = std::tmpfile();
    Bytes head;
    PutLE32(head, static_cast<DWORD>(records.size()));
    PutLE32(head, 8);
    std::fwrite(head.data(), 1, head.size(), gSpoolFileHandle);
    for (const std::string& r : records) {
      Bytes len;
      PutLE32(len, static_cast<DWORD>(r.size()));
      std::fwrite(len.data(), 1, 4, gSpoolFileHandle);
      std::fwrite(r.data(), 1, r.size(), gSpoolFileHandle);
    }
    std::fflush(gSpoolFileHandle);
    gSpoolFileHeader.pages = static_cast<DWORD>(records.size());
    gSpoolFileHeader.bfOffBits = 8;
    sem_init(&mutex, 0, 1);
    gSaveToFile.store(1);
  }
  void CloseSpool() {
    if (!gSpoolFileHandle) return;
    std::fclose(gSpoolFileHandle);
    gSpoolFileHandle = nullptr;
    gSpoolFileHeader.pages = 0;
    sem_destroy(&mutex);
    gSaveToFile.store(0);
  }

  std::string Out() { return Slurp(out_); }
  std::string Err() { return Slurp(err_); }

  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  testing_support::PrivateRoot root_;
  JobInfo slots_[kJobSlots];
};

// A page block as the output thread writes it: ESC "E", header, data.
std::string Block(char tag, const std::string& data) {
  return ESC_E + std::string(32, tag) + data;
}

TEST_F(OutputTest, SpoolRecordsAreFoundBySkippingTheEarlierOnesAndNeverOverrunTheBuffer) {
  OpenSpool({"first", "second record", "3"});
  EXPECT_EQ(GetPageDataSize(0), 5u);
  EXPECT_EQ(GetPageDataSize(1), 13u);
  EXPECT_EQ(GetPageDataSize(2), 1u);
  EXPECT_EQ(GetPageDataSize(3), 0u);
  char big[32];
  EXPECT_FALSE(GetPageData(3, sizeof big, big));

  std::string buf(13, '#');
  EXPECT_FALSE(GetPageData(1, 12, buf.data()));  // one byte short: reads nothing
  EXPECT_EQ(buf, std::string(13, '#'));
  ASSERT_TRUE(GetPageData(1, 13, buf.data()));
  EXPECT_EQ(buf, "second record");
}

TEST_F(OutputTest, DuplexFlushSendsSheetsBackSideFirstAndKeepsAnUnpairedPage) {
  OpenSpool({Block('1', "p1"), Block('2', "p2"), Block('3', "p3"), Block('4', "p4"), Block('5', "p5")});
  BYTE feature[2] = {0, 0};
  DWORD finish = 0;
  EXPECT_TRUE(PJL_FlushPage(&finish, 1, 0, feature));
  EXPECT_EQ(finish, 4u);
  EXPECT_EQ(Out(), Block('2', "p2") + Block('1', "p1") + Block('4', "p4") + Block('3', "p3"));
  const DWORD sent = count_bytes.load();
  EXPECT_EQ(sent, 4u * 36);

  EXPECT_TRUE(PJL_FlushPage(&finish, 0, 0, feature));
  EXPECT_EQ(finish, 5u);
  EXPECT_EQ(Out(),
            Block('2', "p2") + Block('1', "p1") + Block('4', "p4") + Block('3', "p3") + Block('5', "p5"));
  EXPECT_EQ(count_bytes.load(), 5u * 36);
}

TEST_F(OutputTest, RawReplaySendsTheDecodedBitmapWithItsSizeInTheHeader) {
  const unsigned w = 64, h = 40;
  Bytes bitmap = PatternPage(w, h);
  Bytes bie = RefBie(bitmap, w, h, 8);
  std::string header(32, '\0');
  header[16] = static_cast<char>(bie.size());  // compsize as the output thread set it
  std::string rec = ESC_E + header + std::string(bie.begin(), bie.end());
  std::string truncated = rec.substr(0, rec.size() - 10);
  OpenSpool({truncated, rec});

  BYTE feature[2] = {F0_RAW_DATA, 0};
  DWORD finish = 0;
  PJL_FlushPage(&finish, 0, 0, feature);
  EXPECT_EQ(finish, 2u);

  std::string expect = ESC_E + header;
  const DWORD image = w / 8 * h;
  for (int i = 0; i < 4; ++i) expect[18 + i] = static_cast<char>(image >> (8 * i));
  expect += std::string(bitmap.begin(), bitmap.end());
  // The damaged record is not sent at all; the good one is.
  EXPECT_EQ(Out(), expect);
  EXPECT_EQ(count_bytes.load(), image + 34);
  EXPECT_EQ(testing_support::LinesWith(Err(), "ERROR:").size(), 1u);
}

TEST_F(OutputTest, PlaybackSendsTheFurtherCopiesInSheetOrder) {
  OpenSpool({Block('1', "p1"), Block('2', "p2"), Block('3', "p3")});
  auto job = std::make_unique<FilterJob>();
  job->bDriverDoCollate = 1;
  job->nCopies = 3;
  job->bDuplex = 1;
  PlaybackSpool(*job);
  // Two more copies; the third page has no back side and goes alone.
  const std::string copy = Block('2', "p2") + Block('1', "p1") + Block('3', "p3");
  EXPECT_EQ(Out(), copy + copy);
  EXPECT_EQ(count_bytes.load(), 6u * 36);
}

TEST_F(OutputTest, PlaybackCapsTheCopyCountAndStopsOnCancel) {
  OpenSpool({Block('1', "p1")});
  auto job = std::make_unique<FilterJob>();
  job->bDriverDoCollate = 1;
  job->nCopies = 100000;
  PlaybackSpool(*job);
  EXPECT_EQ(Out().size(), (kMaxCopies - 1) * 36u);

  std::rewind(out_);
  ASSERT_EQ(ftruncate(fileno(out_), 0), 0);
  job->nCopies = 5;
  gCancelJob.store(1);
  PlaybackSpool(*job);
  EXPECT_EQ(Out(), "");

  // Without collation by the filter the printer makes the copies.
  gCancelJob.store(0);
  job->bDriverDoCollate = 0;
  job->nCopies = 5;
  PlaybackSpool(*job);
  EXPECT_EQ(Out(), "");
}

TEST_F(OutputTest, ChecksumPrinterGetsHeaderlessBiePlusChecksum) {
  const unsigned w = 256, h = 100;
  Bytes bitmap = PatternPage(w, h);
  JobInfo& s = Fill(0, bitmap, w, h, F0_JBIG | F0_CHECKSUM);
  ImageCompress(&s);

  Bytes bie = RefBie(bitmap, w, h, 8);
  Bytes expect(bie.begin() + 20, bie.end());
  PutLE32(expect, RefChecksum(bitmap.data(), w, h));
  ASSERT_TRUE(HoldsPageBlock(&s));
  EXPECT_EQ(s.CurPageDataLen, bie.size() - 20 + 4);
  EXPECT_EQ(Data(s), expect);
  EXPECT_EQ(s.lpbuf[0], 0x1B);
  EXPECT_EQ(s.lpbuf[1], 0x45);
  EXPECT_EQ(s.page_height, h);

  DWORD dots = 0;
  for (unsigned char c : bitmap) dots += static_cast<DWORD>(__builtin_popcount(c));
  EXPECT_EQ(s.blackDots, dots);
}

TEST_F(OutputTest, ZQ3ChecksumPrinterGetsTheStampedPageWithItsHeader) {
  const unsigned w = 64, h = 16;
  Bytes bitmap = PatternPage(w, h, 3);
  bitmap[0] = 0x11;
  bitmap[7] = 0x22;
  bitmap[15 * 8] = 0x33;
  bitmap[16 * 8 - 1] = 0x44;
  JobInfo& s = Fill(0, bitmap, w, h, F0_JBIG | F0_CHECKSUM, 0, DF_ZQ3_CHIP);
  ImageCompress(&s);

  Bytes stamped = bitmap;
  stamped[0] = stamped[7] = stamped[15 * 8] = stamped[16 * 8 - 1] = 0xAA;
  Bytes expect = RefBie(stamped, w, h, 64);
  PutLE32(expect, 0x11223344);
  EXPECT_EQ(Data(s), expect);
}

TEST_F(OutputTest, RawPrinterGetsTheBitmapOrWhenSpoolingTheWholeBie) {
  const unsigned w = 96, h = 30;
  Bytes bitmap = PatternPage(w, h);
  JobInfo& direct = Fill(0, bitmap, w, h, F0_RAW_DATA);
  ImageCompress(&direct);
  EXPECT_EQ(direct.CurPageDataLen, w / 8 * h);
  EXPECT_EQ(Data(direct), bitmap);

  gSaveToFile.store(1);
  JobInfo& spooled = Fill(1, bitmap, w, h, F0_RAW_DATA);
  ImageCompress(&spooled);
  gSaveToFile.store(0);
  EXPECT_EQ(Data(spooled), RefBie(bitmap, w, h, 8));
}

TEST_F(OutputTest, FourPlanesEachCarryLengthOwnHeaderlessBieAndOwnChecksum) {
  const unsigned w = 64, rows = 40;
  Bytes bitmap;
  for (unsigned p = 0; p < 4; ++p) {
    Bytes plane = PatternPage(w, rows, p);
    plane[0] = static_cast<unsigned char>(0x10 * (p + 1));
    bitmap.insert(bitmap.end(), plane.begin(), plane.end());
  }
  JobInfo& s = Fill(0, bitmap, w, rows * 4, F0_JBIG | F0_CHECKSUM, 0, DF_CMYK_SEPARATE_COMPRESS, 3);
  ImageCompress(&s);

  Bytes expect;
  for (unsigned p = 0; p < 4; ++p) {
    Bytes plane(bitmap.begin() + p * rows * 8, bitmap.begin() + (p + 1) * rows * 8);
    Bytes bie = RefBie(plane, w, rows, 8);
    PutLE32(expect, static_cast<DWORD>(bie.size() - 20));
    expect.insert(expect.end(), bie.begin() + 20, bie.end());
    PutLE32(expect, RefChecksum(plane.data(), w, rows));
  }
  EXPECT_EQ(Data(s), expect);
  EXPECT_EQ(s.page_height, rows * 4);
}

TEST_F(OutputTest, NoisePageCodedLargerThanItsBitmapStaysWhole) {
  const unsigned w = 512, h = 64;
  Bytes bitmap = NoisePage(w, h);
  gSaveToFile.store(1);
  JobInfo& s = Fill(0, bitmap, w, h, F0_RAW_DATA);
  ImageCompress(&s);
  gSaveToFile.store(0);
  ASSERT_TRUE(HoldsPageBlock(&s));
  EXPECT_GT(s.CurPageDataLen, bitmap.size());  // noise does not compress
  EXPECT_EQ(RefDecode(Data(s)), bitmap);
}

TEST_F(OutputTest, EncryptingPrinterGetsNoClearPage) {
  Bytes bitmap = PatternPage(64, 8);
  JobInfo& s = Fill(0, bitmap, 64, 8, F0_JBIG, F1_SSL);
  ImageCompress(&s);
  EXPECT_FALSE(HoldsPageBlock(&s));
  EXPECT_EQ(s.CurPageDataLen, 0u);
  EXPECT_EQ(testing_support::LinesWith(Err(), "ERROR:").size(), 1u);
}

// Runs the output thread over pages that a helper marks processed in the
// given order; returns the printer stream.
class OutputThreadTest : public OutputTest {
 protected:
  void RunThread(const std::vector<int>& finishOrder, int maxThread) {
    gMAX_THREAD.store(maxThread);
    pthread_t tid;
    ASSERT_EQ(pthread_create(&tid, nullptr, JbigThread, slots_), 0);
    for (int i : finishOrder) {
      slots_[i].StoreFlag(SLOT_PROCESSED);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    WaitFree(finishOrder.empty() ? 0 : *std::max_element(finishOrder.begin(), finishOrder.end()));
    gJbigThreadExit.store(1);
    pthread_join(tid, nullptr);
  }
  void WaitFree(int last) {
    for (int t = 0; t < 200 && (slots_[last].LoadFlag() != SLOT_FREE || slots_[last].lpbuf); ++t)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
};

TEST_F(OutputThreadTest, PagesFinishingOutOfOrderLeaveInOrder) {
  std::vector<Bytes> pages;
  for (int i = 0; i < 3; ++i) {
    pages.push_back(PatternPage(64, 8, static_cast<unsigned>(i)));
    pages.back()[0] = static_cast<unsigned char>(i + 1);
    ImageCompress(&Fill(i, pages.back(), 64, 8, F0_RAW_DATA));
    slots_[i].StoreFlag(SLOT_TAKEN);
  }
  RunThread({2, 1, 0}, 3);

  std::string out = Out();
  ASSERT_EQ(out.size(), 3u * (34 + 64));
  for (int i = 0; i < 3; ++i) {
    std::string block = out.substr(static_cast<size_t>(i) * 98, 98);
    EXPECT_EQ(block.substr(0, 6), ESC_E + std::string("GDI\0", 4));
    EXPECT_EQ(LE32(reinterpret_cast<const unsigned char*>(block.data()) + 18), 64u);  // compsize
    EXPECT_EQ(block.substr(34), std::string(pages[i].begin(), pages[i].end()));
    EXPECT_EQ(slots_[i].lpbuf, nullptr);
  }
  EXPECT_EQ(count_bytes.load(), 3u * 98);
}

TEST_F(OutputThreadTest, CompressesTwoPlanePagesItselfAndFillsTheHeader) {
  const unsigned w = 128, h = 2 * 50;
  Bytes bitmap = PatternPage(w, h);
  Fill(0, bitmap, w, h, F0_JBIG | F0_CHECKSUM, 0, 0, 1);
  slots_[0].StoreFlag(SLOT_TAKEN);
  RunThread({0}, 1);

  Bytes bie = RefBie(bitmap, w, h, 8);
  const std::string out = Out();
  const auto* b = reinterpret_cast<const unsigned char*>(out.data());
  ASSERT_EQ(out.size(), 34 + bie.size() - 20 + 4);
  EXPECT_EQ(LE32(b + 18), bie.size() - 20 + 4);  // compsize
  EXPECT_EQ(b[2 + 31], 3);                       // JBIG with checksum
  EXPECT_EQ(std::string(out.begin() + 34, out.end() - 4), std::string(bie.begin() + 20, bie.end()));
}

TEST_F(OutputThreadTest, OneSlotRunsOnePageAtATime) {
  gMAX_THREAD.store(1);
  pthread_t tid;
  ASSERT_EQ(pthread_create(&tid, nullptr, JbigThread, slots_), 0);
  std::vector<Bytes> pages;
  for (int i = 0; i < 3; ++i) {
    // The next page may enter slot 0 only once the previous one has left.
    WaitFree(0);
    ASSERT_EQ(slots_[0].lpbuf, nullptr);
    pages.push_back(PatternPage(64, 8, static_cast<unsigned>(i) + 1));
    ImageCompress(&Fill(0, pages.back(), 64, 8, F0_RAW_DATA));
    slots_[0].PageIndex = static_cast<DWORD>(i);
    slots_[0].StoreFlag(SLOT_PROCESSED);
  }
  WaitFree(0);
  gJbigThreadExit.store(1);
  pthread_join(tid, nullptr);
  std::string expect;
  for (const Bytes& p : pages) expect += std::string(p.begin(), p.end());
  std::string out = Out();
  ASSERT_EQ(out.size(), 3u * 98);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(out.substr(i * 98 + 34, 64), expect.substr(i * 64, 64));
}

TEST_F(OutputThreadTest, SpooledPagesBecomeRecordsAndCancelledPagesAreDropped) {
  OpenSpool({});
  for (int i = 0; i < 2; ++i) {
    ImageCompress(&Fill(i, PatternPage(64, 8, static_cast<unsigned>(i)), 64, 8, F0_RAW_DATA));
    slots_[i].StoreFlag(SLOT_TAKEN);
  }
  RunThread({0, 1}, 2);
  EXPECT_EQ(Out(), "");
  EXPECT_EQ(count_bytes.load(), 0u);
  ASSERT_EQ(gSpoolFileHeader.pages, 2u);
  // Raw data while spooling is stored coded, with the coded image header.
  EXPECT_EQ(GetPageDataSize(0), 34 + RefBie(PatternPage(64, 8, 0), 64, 8, 8).size());
  std::rewind(gSpoolFileHandle);
  unsigned char head[8];
  ASSERT_EQ(std::fread(head, 1, 8, gSpoolFileHandle), 8u);
  EXPECT_EQ(LE32(head), 2u);
  EXPECT_EQ(LE32(head + 4), 8u);

  gJbigThreadExit.store(0);
  gCancelJob.store(1);
  ImageCompress(&Fill(0, PatternPage(64, 8), 64, 8, F0_RAW_DATA));
  slots_[0].StoreFlag(SLOT_TAKEN);
  gMAX_THREAD.store(1);
  pthread_t tid;
  ASSERT_EQ(pthread_create(&tid, nullptr, JbigThread, slots_), 0);
  slots_[0].StoreFlag(SLOT_PROCESSED);
  WaitFree(0);
  gJbigThreadExit.store(1);
  pthread_join(tid, nullptr);
  EXPECT_EQ(slots_[0].lpbuf, nullptr);
  EXPECT_EQ(gSpoolFileHeader.pages, 2u);
}

TEST_F(OutputTest, AFailingPrinterStreamStopsTheJobWithOneError) {
  FILE* full = std::fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  SetJobStreams(full, err_);
  std::string block(5000, 'x');
  EXPECT_FALSE(SendToPrinter(block.data(), block.size()));
  EXPECT_FALSE(SendToPrinter(block.data(), block.size()));
  EXPECT_TRUE(OutputFailed());
  EXPECT_EQ(gCancelJob.load(), 1);
  SetJobStreams(out_, err_);
  std::fclose(full);
  EXPECT_EQ(testing_support::LinesWith(Err(), "ERROR:").size(), 1u);
}

}  // namespace
