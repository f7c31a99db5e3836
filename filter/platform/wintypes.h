// Win32-style scalar types used by every record and signature of the filter.
// The image code was written against these names; keeping them lets records
// match the printer's byte layouts field for field.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;
using TCHAR = char;
using LPTSTR = char*;
using LPCTSTR = const char*;
using LPBYTE = BYTE*;
using HANDLE = std::int32_t;  // a file descriptor
using HFILE = HANDLE;
using HGLOBAL = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
