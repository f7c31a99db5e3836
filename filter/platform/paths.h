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
// link, or a directory), owned by the filter's user or root, and not
// writable by other users.
const char* UntrustedReason(const struct stat& st, bool directory);

// Opens such a file for reading without blocking on a planted FIFO and
// without following a symbolic link. nullptr when it is missing (*why then
// nullptr too) or not to be trusted (*why says why).
FILE* OpenTrustedForReading(const char* path, const char** why);

// Opens a file in a world-writable directory for writing without following a
// symbolic link or another user's file planted under its name. mode is
// "w+b" (truncate) or "a+" (append). Returns NULL on failure with errno set.
FILE* OpenNoFollow(const char* path, const char* mode, int perms);

// Overwrites the file with 0x01 then 0x00 bytes over its old length, so no
// page data survives its deletion. FALSE when it cannot be opened.
BOOL CleanFileContent(const char* filename);
// The same through an open stream, which stays open at its end.
BOOL CleanOpenFile(FILE* f);
