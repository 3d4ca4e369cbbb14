// trace.cpp - printf-style trace lines on the process's standard output.

#include "common/trace.h"

#include <cstdarg>

#include "common/format.h"
#include "host/host.h"

namespace {
constexpr int kTraceLineSize = 1024;
}

void Trace(const char *format, ...) {
    char line[kTraceLineSize];
    va_list arguments;
    va_start(arguments, format);
    size_t const length = FormatTextV(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length > 0) {
        host::WriteStandardOutput(line, length);
    }
}
