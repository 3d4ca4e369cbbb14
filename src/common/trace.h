// trace.h - printf-style trace lines on the process's standard output.

#pragma once

#include <cstdio> // brings in the MinGW format macro, when there is one

#if defined(__MINGW_PRINTF_FORMAT)
#define EDCCA_TRACE_FORMAT __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
#define EDCCA_TRACE_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define EDCCA_TRACE_FORMAT
#endif

// Takes a printf format and its arguments; formats them into a 1024-byte
// line (longer text is cut) and writes the bytes to standard output.
// Returns nothing: no caller can act on a lost trace line.
void Trace(const char *format, ...) EDCCA_TRACE_FORMAT;
