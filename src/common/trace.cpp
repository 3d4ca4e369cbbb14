// trace.cpp - printf-style trace lines on the process's standard output.

#include "common/trace.h"

#include <cstdarg>
#include <cstdio>

#include "host/host.h"

namespace {
constexpr int kTraceLineSize = 1024;
}

void Trace(const char *format, ...) {
    char line[kTraceLineSize];
    va_list arguments;
    va_start(arguments, format);
    int const length = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length <= 0) {
        return;
    }
    // vsnprintf reports the untruncated length; only the stored bytes go out.
    host::SIZE_T const stored = length < kTraceLineSize ? static_cast<host::SIZE_T>(length) : kTraceLineSize - 1;
    host::WriteStandardOutput(line, stored);
}
