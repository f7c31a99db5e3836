// The job's spool file: pages of a collated or duplex job are appended to it
// by the output thread and sent from it in sheet order and replayed for the
// further copies. The file starts with an 8-byte little-endian header
// (page count, offset of the first record); the semaphore `mutex` keeps its
// writer and readers apart.
#pragma once

#include <semaphore.h>

#include <cstddef>
#include <cstdio>
#include <string>

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

extern char gSpolFileName[kSpoolNameMax];  // path of the spool file; empty when none
extern FILE* gSpoolFileHandle;             // the open spool file, or NULL
extern SpoolRecHeader gSpoolFileHeader;    // in-memory copy of the file header
extern SpoolPageHeader gSpoolPageHeader;   // last record header written or read
extern sem_t mutex;                        // guards the spool file; valid while gSaveToFile

// Path of the spool file of job number jobID: "swspool%03d.dat" in $TMPDIR
// when that is set and not empty (the scheduler's private directory for the
// job), else in /tmp under the fixed path root.
std::string SpoolFileName(int jobID);

// Creates the spool file for job number jobID, owner-only and without
// following a planted link, writes its 8-byte header, initialises `mutex`
// and sets gSaveToFile. Returns FALSE (and leaves gSaveToFile alone) when
// the file cannot be created.
BOOL CreateSpoolFile(int jobID);

// End of job: closes the spool file, overwrites and deletes it, destroys
// `mutex` and clears gSaveToFile. Does nothing without a spool file.
void RemoveSpoolFile();
