// Page output: coding a processed page into its page block, the output
// thread that writes blocks in page order (to the printer stream or the
// spool file), reading spool records back, sending them in sheet order and
// replaying them for further collated copies.
#pragma once

#include <cstddef>

#include "jobinfo.h"
#include "wintypes.h"

struct FilterJob;

// Bytes in front of the page data of a block: ESC "E" and the page header.
inline constexpr DWORD ResetCmdLen = 2;
inline constexpr DWORD RasterImageCmdLen = 32;
inline constexpr DWORD kBlockPrefix = ResetCmdLen + RasterImageCmdLen;

// Replaces the slot's 1-bit bitmap by its page block (ESC "E", room for the
// page header, page data) and sets CurPageDataLen, blackDots and pagesize
// (the block length). A page that cannot be coded keeps its bitmap and gets
// CurPageDataLen 0, which the output thread drops.
void ImageCompress(JobInfo* lpJob);

// True when the slot holds a page block made by ImageCompress.
bool HoldsPageBlock(const JobInfo* lpJob);

// Output thread body; param is the first slot of the slot array.
void* JbigThread(void* param);

// Length of spool record index; 0 when there is no such record.
DWORD GetPageDataSize(DWORD index);
// Reads spool record index into lpOutBuf; FALSE (nothing read) when there
// is no such record or the buffer is smaller than the record.
BOOL GetPageData(DWORD index, DWORD outBufSize, char* lpOutBuf);

// Page records in the spool file, read under the spool lock.
DWORD SpoolPageCount();

// Sends the spool records from *finishpage on (duplex: whole sheets, back
// side first) and advances *finishpage. Always TRUE.
BOOL PJL_FlushPage(DWORD* finishpage, int bDuplex, DWORD DriverFeature, BYTE* PrinterFeature);

// Replays the spool file for the collated copies after the first.
void PlaybackSpool(FilterJob& job);

// Highest copy count the filter makes itself (the scheduler's own limit).
inline constexpr unsigned kMaxCopies = 9999;

// Writes a block to the printer stream and pushes it out; false (after
// noting the failure) when the stream no longer takes data.
bool SendToPrinter(const void* data, std::size_t len);
// Notes that the printer stream or the spool file failed: one "ERROR:" line
// for the scheduler and a cancel, so the job stops instead of rendering on.
void NoteOutputFailure(const char* what, int err);
// True once NoteOutputFailure has been called in this job.
bool OutputFailed();
// Clears the failure state at job start.
void ResetOutputFailure();
