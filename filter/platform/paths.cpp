// Fixed-path root, bounded copies, the trust rule and link-safe creation in /tmp.
#include "paths.h"

#include <dlfcn.h>
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

const char* UntrustedReason(const struct stat& st, bool directory, bool rootOnly) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
    return directory ? "not a directory" : "not a regular file";
  if (!directory && st.st_nlink != 1) return "a hard link";
  if (st.st_uid != 0 && (rootOnly || st.st_uid != geteuid()))
    return rootOnly ? "not owned by root" : "owned by another user";
  if (st.st_mode & S_IWOTH) return "writable by other users";
  // A group member is another user as well: the filter's group is no
  // closer to it than anyone else.
  if (st.st_mode & S_IWGRP) return "writable by its group";
  return nullptr;
}

TrustedDir::TrustedDir(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd < 0) {
    // Missing says nothing; a link or a file in its place is named.
    if (errno != ENOENT && lstat(path.c_str(), &st) == 0) why_ = UntrustedReason(st, true);
    return;
  }
  why_ = fstat(fd, &st) != 0 ? "cannot be read" : UntrustedReason(st, true);
  // One the filter may not write to is simply not there for it.
  if (why_ || faccessat(fd, ".", R_OK | W_OK | X_OK, 0) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
}

TrustedDir::~TrustedDir() {
  if (fd_ >= 0) close(fd_);
}

FILE* TrustedDir::CreateFile(const char* name, const char* mode) const {
  if (fd_ < 0) {
    errno = ENOENT;
    return nullptr;
  }
  unlinkat(fd_, name, 0);
  int fd = openat(fd_, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, mode);
  if (!f) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return f;
}

const char* TrustedDir::AppendToFile(const char* name, const void* data, std::size_t len) const {
  if (fd_ < 0) return "no directory";
  int fd = openat(fd_, name, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == ELOOP) return "a symbolic link";
    return errno == ENXIO ? "not a regular file" : nullptr;  // ENXIO: a FIFO nobody reads
  }
  struct stat st {};
  const char* why = fstat(fd, &st) != 0 ? "cannot be read" : UntrustedReason(st, false);
  if (!why) {
    ssize_t ignored = write(fd, data, len);
    (void)ignored;
  }
  close(fd);
  return why;
}

namespace {

std::string DirName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void* LoadRootOnlyLibrary(const std::string& path, int flags, std::string* why, bool* refused) {
  *refused = false;
  why->clear();
  auto refuse = [&](const std::string& what, const char* reason) -> void* {
    *why = what + reason;
    *refused = true;
    return nullptr;
  };
  const std::string dir = DirName(path);
  const std::string base = path.substr(path.rfind('/') + 1);
  struct stat st {};
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) {
    *why = std::strerror(errno);
    return nullptr;
  }
  const char* bad = fstat(dfd, &st) != 0 ? "cannot be read" : UntrustedReason(st, true, true);
  int fd = bad ? -1 : openat(dfd, base.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int openErrno = errno;
  close(dfd);
  if (bad) return refuse("directory " + dir + " ", bad);
  if (fd < 0) {
    *why = std::strerror(openErrno);
    return nullptr;
  }
  bad = fstat(fd, &st) != 0 ? "cannot be read" : UntrustedReason(st, false, true);
  // A link may lead elsewhere: the directory the file really lies in must be
  // root's too. The open descriptor says where that is; it is also what gets
  // loaded, so the file checked cannot be swapped before the loader opens it.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  char real[4096];
  ssize_t n = bad ? -1 : readlink(self.c_str(), real, sizeof real - 1);
  std::string realDir;
  if (n > 0) {
    realDir = DirName(std::string(real, static_cast<std::size_t>(n)));
  } else if (!bad && realpath(path.c_str(), real)) {
    realDir = DirName(real);
  }
  if (!bad && !realDir.empty() && realDir != dir) {
    struct stat rst {};
    const char* realBad =
        stat(realDir.c_str(), &rst) != 0 ? "cannot be read" : UntrustedReason(rst, true, true);
    if (realBad) {
      close(fd);
      return refuse("directory " + realDir + " ", realBad);
    }
  }
  if (bad) {
    close(fd);
    return refuse("", bad);
  }
  dlerror();
  void* handle = dlopen(n > 0 ? self.c_str() : path.c_str(), flags);
  close(fd);
  if (!handle) {
    const char* e = dlerror();
    *why = e ? e : "cannot be loaded";
  }
  return handle;
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

void CleanOpenFile(FILE* f) {
  static const char FUNCNAME[] = "CleanFileContent";
  struct stat st {};
  if (!f || std::fflush(f) != 0 || fstat(fileno(f), &st) != 0) {
    DbgMessage(FUNCNAME, "get file size fail!");
    return;
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
}
