// Fixed locations of the filter (trace directory, capability file, spool and
// copy files, ...) all pass through FixedPath, so that a test can move the
// whole set under a private directory with RASTERTOPWG2_ROOT. Unset (as under
// CUPS) the paths are used exactly as written.
#pragma once

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

// Opens a file in a world-writable directory for writing without following a
// symbolic link or another user's file planted under its name. mode is
// "w+b" (truncate) or "a+" (append). Returns NULL on failure with errno set.
FILE* OpenNoFollow(const char* path, const char* mode, int perms);

// Overwrites the file with 0x01 then 0x00 bytes over its old length, so no
// page data survives its deletion. FALSE when it cannot be opened.
BOOL CleanFileContent(const char* filename);
// The same through an open stream, which stays open at its end.
BOOL CleanOpenFile(FILE* f);
