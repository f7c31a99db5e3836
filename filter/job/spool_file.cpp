// Spool file creation and removal (see spool_file.h).
#include "spool_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "job_record.h"
#include "job_state.h"
#include "paths.h"
#include "shims.h"
#include "trace.h"

char gSpolFileName[kSpoolNameMax] = {};
FILE* gSpoolFileHandle = nullptr;
SpoolRecHeader gSpoolFileHeader = {};
SpoolPageHeader gSpoolPageHeader = {};
sem_t mutex;

namespace {

// Stores v as 4 little-endian bytes.
void PutLE32(unsigned char* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

std::string SpoolFileName(int jobID) {
  char name[32];
  std::snprintf(name, sizeof name, "swspool%03d.dat", jobID);
  const char* tmpdir = std::getenv("TMPDIR");
  if (tmpdir && *tmpdir) return std::string(tmpdir) + "/" + name;
  return FixedPath("//tmp//") + name;
}

BOOL CreateSpoolFile(int jobID) {
  static const char FUNCNAME[] = "StartJob";
  std::string path = SpoolFileName(jobID);
  if (!CopyBounded(gSpolFileName, sizeof gSpolFileName, path.c_str())) {
    DbgMessage(FUNCNAME, "Spool File name too long");
    gSpolFileName[0] = '\0';
    return FALSE;
  }
  DbgMessage(FUNCNAME, "Spool File name %s", gSpolFileName);

  // The name is predictable: remove what is there, then create exclusively
  // so that nothing planted under the name in the meantime is followed.
  DeleteFile(gSpolFileName);
  int fd = open(gSpolFileName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  FILE* f = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
  if (!f) {
    DbgMessage(FUNCNAME, "create spool file fail, errno = %d, %s", errno, std::strerror(errno));
    if (fd >= 0) close(fd);
    gSpolFileName[0] = '\0';
    return FALSE;
  }

  gSpoolFileHeader.pages = 0;
  gSpoolFileHeader.bfOffBits = 8;
  unsigned char head[8];
  PutLE32(head, gSpoolFileHeader.pages);
  PutLE32(head + 4, gSpoolFileHeader.bfOffBits);
  if (std::fwrite(head, 1, sizeof head, f) != sizeof head || std::fflush(f) != 0) {
    DbgMessage(FUNCNAME, "write spool header fail");
    std::fclose(f);
    DeleteFile(gSpolFileName);
    gSpolFileName[0] = '\0';
    return FALSE;
  }
  gSpoolFileHandle = f;
  sem_init(&mutex, 0, 1);
  DbgMessage(FUNCNAME, "sem_init");
  gSaveToFile.store(TRUE, std::memory_order_release);
  DbgMessage(FUNCNAME, "gSpoolFileHeader size = %d", static_cast<int>(gSpoolFileHeader.bfOffBits));
  return TRUE;
}

void RemoveSpoolFile() {
  static const char FUNCNAME[] = "main";
  if (!gSaveToFile.load(std::memory_order_acquire)) return;
  if (gSpoolFileHandle) {
    std::fclose(gSpoolFileHandle);
    gSpoolFileHandle = nullptr;
  }
  CleanFileContent(gSpolFileName);
  DeleteFile(gSpolFileName);
  DbgMessage(FUNCNAME, "spool file removed: %s", gSpolFileName);
  sem_destroy(&mutex);
  gSpolFileName[0] = '\0';
  gSpoolFileHeader = {};
  gSaveToFile.store(FALSE, std::memory_order_release);
}
