// The one write primitive of the printer stream: every block the printer
// receives leaves through WritePort, which also copies it to the copy file
// when one is open. Callers add what they wrote to count_bytes.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes size * nitems bytes to stream and, when stdoutPRN is open, the same
// bytes to it. Returns the item count fwrite reports for stream.
std::size_t WritePort(const void* ptr, std::size_t size, std::size_t nitems, FILE* stream);
