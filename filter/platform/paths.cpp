// Fixed-path root, bounded copies and link-safe creation in /tmp.
#include "paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "trace.h"

std::string PathRoot() {
  const char* root = std::getenv("RASTERTOPWG2_ROOT");
  return root ? std::string(root) : std::string();
}

std::string FixedPath(const char* path) {
  return PathRoot() + path;
}

bool CopyBounded(char* dest, std::size_t size, const char* src) {
  if (size == 0) return false;
  if (!src) src = "";
  std::size_t n = std::strlen(src);
  bool fits = n < size;
  if (!fits) n = size - 1;
  std::memcpy(dest, src, n);
  dest[n] = '\0';
  return fits;
}

FILE* OpenNoFollow(const char* path, const char* mode, int perms) {
  bool append = mode[0] == 'a';
  int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (append ? O_APPEND : 0);
  int fd = open(path, flags, perms);
  if (fd < 0) return nullptr;
  // A regular file of ours only: a planted FIFO, device or another user's
  // file under the same name is refused.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
    int saved = errno ? errno : EPERM;
    close(fd);
    errno = saved;
    return nullptr;
  }
  if (!append && ftruncate(fd, 0) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  FILE* f = fdopen(fd, append ? "a+" : "w+b");
  if (!f) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return f;
}

BOOL CleanFileContent(const char* filename) {
  static const char FUNCNAME[] = "CleanFileContent";
  DbgMessage(FUNCNAME, "in, file name = %s", filename);
  BOOL rc = FALSE;
  struct stat st {};
  if (stat(filename, &st) != 0) {
    DbgMessage(FUNCNAME, "get file size fail!");
    DbgMessage(FUNCNAME, "rc = %d", rc);
    return rc;
  }
  const long long size = static_cast<long long>(st.st_size);
  DbgMessage(FUNCNAME, "size = %9jd", static_cast<intmax_t>(size));
  std::vector<unsigned char> buf;
  try {
    buf.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    DbgMessage(FUNCNAME, "rc = %d", rc);
    return rc;
  }
  FILE* f = OpenNoFollow(filename, "w+b", 0600);
  if (!f) {
    DbgMessage(FUNCNAME, "Open file fail!");
    DbgMessage(FUNCNAME, "rc = %d", rc);
    return rc;
  }
  std::fill(buf.begin(), buf.end(), 0x01);
  std::fwrite(buf.data(), 1, buf.size(), f);
  std::fflush(f);
  std::fseek(f, 0, SEEK_SET);
  std::fill(buf.begin(), buf.end(), 0x00);
  std::fwrite(buf.data(), 1, buf.size(), f);
  std::fclose(f);
  rc = TRUE;
  DbgMessage(FUNCNAME, "rc = %d", rc);
  return rc;
}
