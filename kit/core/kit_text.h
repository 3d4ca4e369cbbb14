// kit_text.h - the kit's texts: a bounded text buffer, the log record's
// lines, the marker's values and the time.

#pragma once

#include <cstddef>
#include <cstdint>

#include "kit/core/kit_outcome.h"

namespace kit {

// Takes a character. Returns its value as a hexadecimal digit (either case),
// or -1.
int ReadHexDigit(char c);

// Text appended into a caller's fixed buffer; what does not fit is cut and
// `cut` set, and the text stays NUL-terminated.
struct TextBuffer {
    char *data;
    std::size_t capacity; // bytes, with the NUL
    std::size_t length;
    bool cut;
};
// Takes a buffer and its size (at least 1). Returns an empty TextBuffer over it.
TextBuffer MakeTextBuffer(char *data, std::size_t capacity);
void AppendText(TextBuffer *out, const char *text);
void AppendBytes(TextBuffer *out, const char *bytes, std::size_t length);
void AppendNumber(TextBuffer *out, long number);

// A time as GetSystemTime gives it (UTC).
struct UtcTime {
    std::uint16_t year, month, day, hour, minute, second;
};
// Takes a time. Appends it as ISO 8601 UTC: "2026-12-08T20:30:36Z".
void AppendIsoTime(TextBuffer *out, const UtcTime &time);

// Takes the parts of a log record's first line. Appends
// "==== <time>, <computer>, kit <version>: <outcome>, exit code <n><note>\r\n".
void AppendRecordHeader(TextBuffer *out, const char *time, const char *computer, const char *kitVersion,
                        Outcome outcome, const char *note);
// Takes a note's text. Appends "---- <text>\r\n".
void AppendNote(TextBuffer *out, const char *text);

// The detection marker, HKLM\SYSTEM\EdccaProvision: string values, Version
// written last so that a marker not written whole is never taken for this
// version's.
constexpr char kMarkerKeyPath[] = "SYSTEM\\EdccaProvision";
constexpr char kRollbackKeyPath[] = "SYSTEM\\EdccaProvision\\Rollback";
constexpr std::size_t kMarkerValues = 6;
struct MarkerValue {
    const char *name;
    char data[512];
};
// Takes what a run came to: outcome, time, adapters counted, the driver keys
// holding the setting ("0007 0011"), the kit's version and the log that
// could not be written (empty: none). Fills values in the order they are
// written: Outcome, Time, Adapters, DriverKeys, LogFailed (only when a log
// failed), Version. Returns how many.
std::size_t MakeMarkerValues(Outcome outcome, const char *time, int adaptersCounted, const char *driverKeys,
                             const char *kitVersion, const char *logFailed, MarkerValue *values);

} // namespace kit
