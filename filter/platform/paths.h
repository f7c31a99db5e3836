// Fixed locations of the filter (trace directory, capability file, spool and
// copy files, ...) all pass through FixedPath, so that a test can move the
// whole set under a private directory with RASTERTOPWG2_ROOT. Unset (as under
// CUPS) the paths are used exactly as written.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <string>

#include "wintypes.h"

// Root prefix for fixed paths: the value of RASTERTOPWG2_ROOT, or "".
std::string PathRoot();
// PathRoot() + path.
std::string FixedPath(const char* path);

// Bounded string copy into a fixed buffer: always terminated, cut when the
// source does not fit. Returns true when nothing was cut.
bool CopyBounded(char* dest, std::size_t size, const char* src);

// Why a file found under a world-writable directory is not to be trusted,
// or nullptr when it is: of the kind asked for (a regular file with one
// link, or a directory), owned by the filter's user or root (by root alone
// with rootOnly), and writable neither by its group nor by other users.
// Every file and directory the filter takes from /tmp, and every library it
// loads, passes this one rule.
const char* UntrustedReason(const struct stat& st, bool directory, bool rootOnly = false);

// A directory under /tmp that the filter writes its own files into (the trace
// directory, the copy directory): opened without following a link and used
// only when UntrustedReason accepts it and the filter may read and write it.
// Its files are made relative to the open descriptor, so the directory that
// was checked is the one written into.
class TrustedDir {
 public:
  explicit TrustedDir(const std::string& path);
  ~TrustedDir();
  TrustedDir(const TrustedDir&) = delete;
  TrustedDir& operator=(const TrustedDir&) = delete;

  bool Usable() const { return fd_ >= 0; }
  // Why a directory that exists is not used; nullptr when it is or is missing.
  const char* Why() const { return why_; }
  int Fd() const { return fd_; }
  // Creates name in the directory afresh: an old entry of that name is
  // removed and the file made exclusively, owner-only, never through a link.
  // mode is "wb" or "w+b". NULL with errno set on failure.
  FILE* CreateFile(const char* name, const char* mode) const;
  // Appends data to name (created owner-only) in one write, when it is a
  // regular file of the directory's kind; a planted FIFO is never waited
  // on, a link never followed. Returns why the file was passed over
  // (nothing is written then), or nullptr.
  const char* AppendToFile(const char* name, const void* data, std::size_t len) const;

 private:
  int fd_ = -1;
  const char* why_ = nullptr;
};

// Loads a shared library (dlopen with flags) only when no one but root can
// change it: the file, after links, and the directory it is named in are
// owned by root and writable by no one else. The file checked is the file
// loaded. nullptr when it is missing, cannot be loaded (*why: the loader's
// text) or is passed over (*why says why, *refused is set).
void* LoadRootOnlyLibrary(const std::string& path, int flags, std::string* why, bool* refused);

// Opens such a file for reading without blocking on a planted FIFO and
// without following a symbolic link. nullptr when it is missing (*why then
// nullptr too) or not to be trusted (*why says why).
FILE* OpenTrustedForReading(const char* path, const char** why);

// Opens a file in a world-writable directory for writing without following a
// symbolic link or another user's file planted under its name. mode is
// "w+b" (truncate) or "a+" (append). Returns NULL on failure with errno set.
FILE* OpenNoFollow(const char* path, const char* mode, int perms);

// Overwrites an open file with 0x01 then 0x00 bytes over its length, so no
// page data survives its deletion; the stream stays open.
void CleanOpenFile(FILE* f);
