// Fixed-path root, bounded copies and link-safe creation in /tmp.
#include "paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

const char* UntrustedReason(const struct stat& st, bool directory) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
    return directory ? "not a directory" : "not a regular file";
  if (!directory && st.st_nlink != 1) return "a hard link";
  if (st.st_uid != geteuid() && st.st_uid != 0) return "owned by another user";
  if (st.st_mode & S_IWOTH) return "writable by other users";
  return nullptr;
}

FILE* OpenTrustedForReading(const char* path, const char** why) {
  *why = nullptr;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) *why = "a symbolic link";
    return nullptr;
  }
  struct stat st {};
  *why = fstat(fd, &st) != 0 ? "not readable" : UntrustedReason(st, false);
  FILE* f = *why ? nullptr : fdopen(fd, "rb");
  if (!f) close(fd);
  return f;
}

FILE* OpenNoFollow(const char* path, const char* mode, int perms) {
  bool append = mode[0] == 'a';
  int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0);
  int fd = open(path, flags, perms);
  if (fd < 0) return nullptr;
  // A regular file of ours only: a planted FIFO, device or another user's
  // file under the same name is refused.
  struct stat st {};
  if (fstat(fd, &st) != 0 || UntrustedReason(st, false) || st.st_uid != geteuid()) {
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

BOOL CleanOpenFile(FILE* f) {
  static const char FUNCNAME[] = "CleanFileContent";
  struct stat st {};
  if (!f || std::fflush(f) != 0 || fstat(fileno(f), &st) != 0) {
    DbgMessage(FUNCNAME, "get file size fail!");
    return FALSE;
  }
  const long long size = static_cast<long long>(st.st_size);
  DbgMessage(FUNCNAME, "size = %9jd", static_cast<intmax_t>(size));
  // In chunks: a spool file of many copies is far larger than memory wants.
  std::vector<unsigned char> buf(64 * 1024);
  bool ok = true;
  for (unsigned char fill : {0x01, 0x00}) {
    std::fill(buf.begin(), buf.end(), fill);
    ok = ok && std::fseek(f, 0, SEEK_SET) == 0;
    for (long long left = size; ok && left > 0;) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<long long>(left, static_cast<long long>(buf.size())));
      ok = std::fwrite(buf.data(), 1, n, f) == n;
      left -= static_cast<long long>(n);
    }
    ok = ok && std::fflush(f) == 0;
  }
  DbgMessage(FUNCNAME, "rc = %d", ok ? TRUE : FALSE);
  return ok ? TRUE : FALSE;
}

BOOL CleanFileContent(const char* filename) {
  static const char FUNCNAME[] = "CleanFileContent";
  DbgMessage(FUNCNAME, "in, file name = %s", filename);
  struct stat st {};
  if (stat(filename, &st) != 0) {
    DbgMessage(FUNCNAME, "get file size fail!");
    DbgMessage(FUNCNAME, "rc = %d", FALSE);
    return FALSE;
  }
  // Opened for update, not truncated: the old length is what gets overwritten.
  int fd = open(filename, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  FILE* f = fd >= 0 ? fdopen(fd, "r+b") : nullptr;
  struct stat own {};
  if (!f || fstat(fd, &own) != 0 || !S_ISREG(own.st_mode) || own.st_uid != geteuid()) {
    DbgMessage(FUNCNAME, "Open file fail!");
    DbgMessage(FUNCNAME, "rc = %d", FALSE);
    if (f)
      std::fclose(f);
    else if (fd >= 0)
      close(fd);
    return FALSE;
  }
  const BOOL rc = CleanOpenFile(f);
  std::fclose(f);
  return rc;
}
