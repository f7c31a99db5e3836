// The spool file: creation, records in and out, overwrite and removal.
#include "spool_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "paths.h"
#include "shims.h"
#include "trace.h"

namespace {

bool WriteLE32(FILE* f, DWORD v) {
  unsigned char b[4];
  PutLE32(b, v);
  return std::fwrite(b, 1, 4, f) == 4;
}

bool ReadLE32(FILE* f, DWORD& v) {
  unsigned char b[4];
  if (std::fread(b, 1, 4, f) != 4) return false;
  v = GetLE32(b);
  return true;
}

}  // namespace

std::string SpoolFileName(int jobID) {
  char name[32];
  std::snprintf(name, sizeof name, "swspool%03d.dat", jobID);
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir && *tmpdir) return std::string(tmpdir) + "/" + name;
  return FixedPath("//tmp//") + name;
}

bool SpoolFile::WriteHeader() {
  return WriteLE32(file_, header_.pages) && WriteLE32(file_, header_.bfOffBits);
}

namespace {

// Opens an unnamed file in dir: no other run can find it by its name, and
// nothing is left behind however the filter ends. Where the file system
// lacks unnamed files, a unique name is taken and removed at once.
int OpenUnnamed(const std::string& dir, int jobID) {
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  char name[64];
  std::snprintf(name, sizeof name, "/swspool%03d-XXXXXX", jobID);
  std::string path = dir + name;
  fd = mkostemp(path.data(), O_CLOEXEC);
  if (fd >= 0) unlink(path.c_str());
  return fd;
}

}  // namespace

BOOL SpoolFile::Create(int jobID) {
  static const char FUNCNAME[] = "StartJob";
  const std::string path = SpoolFileName(jobID);
  const std::string dir = path.substr(0, path.rfind('/'));
  if (path.size() >= kSpoolNameMax) {
    DbgMessage(FUNCNAME, "Spool File name too long");
    return FALSE;
  }
  DbgMessage(FUNCNAME, "Spool File name %s", path.c_str());

  int fd = OpenUnnamed(dir, jobID);
  FILE* f = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (!f) {
    DbgMessage(FUNCNAME, "create spool file fail, errno = %d, %s", errno, std::strerror(errno));
    if (fd >= 0) close(fd);
    return FALSE;
  }

  file_ = f;
  header_ = {0, 8};
  if (!WriteHeader() || std::fflush(f) != 0) {
    DbgMessage(FUNCNAME, "write spool header fail");
    std::fclose(f);
    file_ = nullptr;
    return FALSE;
  }
  path_ = path;
  DbgMessage(FUNCNAME, "sem_init");
  active_.store(true, std::memory_order_release);
  DbgMessage(FUNCNAME, "gSpoolFileHeader size = %d", static_cast<int>(header_.bfOffBits));
  return TRUE;
}

void SpoolFile::Remove() {
  static const char FUNCNAME[] = "main";
  if (!Active()) return;
  // The file has no name: what it held is overwritten through the stream
  // before it goes with the last descriptor.
  if (file_) {
    CleanOpenFile(file_);
    std::fclose(file_);
    file_ = nullptr;
  }
  DbgMessage(FUNCNAME, "spool file removed: %s", path_.c_str());
  path_.clear();
  header_ = {};
  active_.store(false, std::memory_order_release);
}

bool SpoolFile::Append(const BYTE* block, DWORD len, int docPage, PageReports& reports) {
  static const char FUNCNAME[] = "JbigThread";
  if (!file_) return false;
  std::lock_guard<std::mutex> lock(lock_);
  bool ok = fseeko(file_, 0, SEEK_END) == 0;
  DbgMessage(FUNCNAME, "gSaveToFile = 1, gSpoolPageHeader.dataLen = %d", static_cast<int>(len));
  ok = ok && WriteLE32(file_, len) && std::fwrite(block, 1, len, file_) == len;
  if (ok) {
    // Noted before the count grows: a reader that sees the record also
    // finds its page number.
    reports.NoteSpooledPage(header_.pages, docPage);
    header_.pages += 1;
    header_.bfOffBits = 8;
    ok = fseeko(file_, 0, SEEK_SET) == 0 && WriteHeader() && std::fflush(file_) == 0;
    DbgMessage(FUNCNAME, "gSaveToFile = 1, gSpoolFileHeader.pages = %d", static_cast<int>(header_.pages));
  }
  return ok;
}

DWORD SpoolFile::PageCount() {
  if (!Active()) return 0;
  std::lock_guard<std::mutex> lock(lock_);
  return header_.pages;
}

// Leaves the file at record index's data and returns its dataLen; false
// when the index is out of range or the file ends early.
bool SpoolFile::SeekRecord(const char* FUNCNAME, DWORD index, DWORD& dataLen) {
  const DWORD pages = header_.pages;
  if (index >= pages || !file_) {
    DbgMessage(FUNCNAME, "Page Index %d Error, Total pages %d", static_cast<int>(index),
               static_cast<int>(pages));
    return false;
  }
  if (fseeko(file_, static_cast<off_t>(header_.bfOffBits), SEEK_SET) != 0) return false;
  if (!ReadLE32(file_, dataLen)) return false;
  for (DWORD i = 0; i < index; ++i) {
    if (fseeko(file_, static_cast<off_t>(dataLen), SEEK_CUR) != 0 || !ReadLE32(file_, dataLen)) return false;
  }
  return true;
}

DWORD SpoolFile::GetPageDataSize(DWORD index) {
  static const char FUNCNAME[] = "GetPageDataSize";
  DbgMessage(FUNCNAME, "In");
  const DWORD tick = GetTickCount();
  DWORD dataLen = 0;
  if (!SeekRecord(FUNCNAME, index, dataLen)) dataLen = 0;
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - tick));
  return dataLen;
}

BOOL SpoolFile::GetPageData(DWORD index, DWORD outBufSize, char* lpOutBuf) {
  static const char FUNCNAME[] = "GetPageData";
  DbgMessage(FUNCNAME, "In");
  const DWORD tick = GetTickCount();
  DWORD dataLen = 0;
  BOOL rc = FALSE;
  if (SeekRecord(FUNCNAME, index, dataLen)) {
    if (outBufSize < dataLen) {
      DbgMessage(FUNCNAME, "Page [%d] Buffer too Small %d / %d", static_cast<int>(index),
                 static_cast<int>(outBufSize), static_cast<int>(dataLen));
    } else {
      DbgMessage(FUNCNAME, "dataLen = %d", static_cast<int>(dataLen));
      rc = std::fread(lpOutBuf, 1, dataLen, file_) == dataLen ? TRUE : FALSE;
    }
  }
  DbgMessage(FUNCNAME, "Out, Tick = %d", static_cast<int>(GetTickCount() - tick));
  return rc;
}
