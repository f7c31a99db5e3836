// The job's spool file: pages of a collated or duplex job are appended to it
// by the output thread and sent from it in sheet order and replayed for the
// further copies. The file starts with an 8-byte little-endian header
// (page count, offset of the first record); each record is a 4-byte
// little-endian length and a page block. One lock keeps the writer and the
// readers apart.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <string>

#include "page_report.h"
#include "wintypes.h"

// Spool file header, the first 8 bytes of the file.
struct SpoolRecHeader {
  DWORD pages;      // page records in the file
  DWORD bfOffBits;  // byte offset of the first page record, always 8
};
// Header of one page record: the block length that follows it.
struct SpoolPageHeader {
  DWORD dataLen;  // bytes of the page block behind this field
};
static_assert(sizeof(SpoolRecHeader) == 8 && offsetof(SpoolRecHeader, bfOffBits) == 4);
static_assert(sizeof(SpoolPageHeader) == 4);

inline constexpr std::size_t kSpoolNameMax = 1024;

// Traced name of the spool file of job number jobID: "swspool%03d.dat" in
// $TMPDIR when that is set and not empty (the scheduler's private directory
// for the job), else in /tmp under the fixed path root. The file itself is
// created without a name in that directory.
std::string SpoolFileName(int jobID);

class SpoolFile {
 public:
  SpoolFile() = default;
  ~SpoolFile() { Remove(); }
  SpoolFile(const SpoolFile&) = delete;
  SpoolFile& operator=(const SpoolFile&) = delete;

  // Creates the spool file for job number jobID, unnamed and owner-only, so
  // that no other process can reach it, and writes its 8-byte header. FALSE (and the
  // job stays unspooled) when the file cannot be created.
  BOOL Create(int jobID);
  // End of job: overwrites the spool file and closes it, which removes it.
  // Does nothing without a spool file.
  void Remove();

  // True while the job's pages go to the spool file.
  bool Active() const { return active_.load(std::memory_order_acquire); }

  // Appends one page block as a record for document page docPage (0 for a
  // filler), noting the page in reports, and rewrites the file header.
  // False when the file could not be written (errno tells why).
  bool Append(const BYTE* block, DWORD len, int docPage, PageReports& reports);

  // Page records in the file, read under the lock.
  DWORD PageCount();

  // The lock readers hold around the calls below; the writer takes it itself.
  std::mutex& Lock() { return lock_; }
  // Page records, for a caller holding the lock.
  DWORD PagesLocked() const { return header_.pages; }
  // Length of record index; 0 when there is no such record.
  DWORD GetPageDataSize(DWORD index);
  // Reads record index into lpOutBuf; FALSE (nothing read) when there is no
  // such record or the buffer is smaller than the record.
  BOOL GetPageData(DWORD index, DWORD outBufSize, char* lpOutBuf);

 private:
  bool SeekRecord(const char* FUNCNAME, DWORD index, DWORD& dataLen);
  bool WriteHeader();

  std::string path_;  // empty when there is no spool file
  FILE* file_ = nullptr;
  SpoolRecHeader header_{};
  std::mutex lock_;
  std::atomic<bool> active_{false};
};
