// kit_text.cpp - the kit's texts in fixed buffers: the log record's lines,
// the marker's values and the time.

#include "kit/core/kit_text.h"

#include <cstring>

namespace kit {
namespace {

// Takes a buffer, a number and the fewest digits to write. Appends the number
// in decimal, zeros before it up to `width` digits.
void AppendPadded(TextBuffer *out, unsigned long number, int width) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count < width && count < static_cast<int>(sizeof digits)) {
        digits[count++] = '0';
    }
    char text[24];
    for (int i = 0; i < count; ++i) {
        text[i] = digits[count - 1 - i];
    }
    AppendBytes(out, text, static_cast<std::size_t>(count));
}

// Takes a field of `size` bytes and a text (none: empty). Copies what fits,
// always terminated.
void CopyValueText(char *field, std::size_t size, const char *text) {
    TextBuffer value = MakeTextBuffer(field, size);
    AppendText(&value, text);
}

} // namespace

TextBuffer MakeTextBuffer(char *data, std::size_t capacity) {
    data[0] = '\0';
    return TextBuffer{data, capacity, 0, false};
}

void AppendBytes(TextBuffer *out, const char *bytes, std::size_t length) {
    std::size_t const room = out->capacity - 1 - out->length;
    if (length > room) {
        length = room;
        out->cut = true;
    }
    std::memcpy(out->data + out->length, bytes, length);
    out->length += length;
    out->data[out->length] = '\0';
}

void AppendText(TextBuffer *out, const char *text) {
    if (text != nullptr) {
        AppendBytes(out, text, std::strlen(text));
    }
}

void AppendNumber(TextBuffer *out, long number) {
    if (number < 0) {
        AppendText(out, "-");
        // Negated as unsigned, so that the least long is no overflow.
        AppendPadded(out, 0UL - static_cast<unsigned long>(number), 1);
        return;
    }
    AppendPadded(out, static_cast<unsigned long>(number), 1);
}

void AppendIsoTime(TextBuffer *out, const UtcTime &time) {
    AppendPadded(out, time.year, 4);
    AppendText(out, "-");
    AppendPadded(out, time.month, 2);
    AppendText(out, "-");
    AppendPadded(out, time.day, 2);
    AppendText(out, "T");
    AppendPadded(out, time.hour, 2);
    AppendText(out, ":");
    AppendPadded(out, time.minute, 2);
    AppendText(out, ":");
    AppendPadded(out, time.second, 2);
    AppendText(out, "Z");
}

void AppendRecordHeader(TextBuffer *out, const char *time, const char *computer, const char *kitVersion,
                        Outcome outcome, const char *note) {
    AppendText(out, "==== ");
    AppendText(out, time);
    AppendText(out, ", ");
    AppendText(out, computer);
    AppendText(out, ", kit ");
    AppendText(out, kitVersion);
    AppendText(out, ": ");
    AppendText(out, OutcomeName(outcome));
    AppendText(out, ", exit code ");
    AppendNumber(out, OutcomeExitCode(outcome));
    AppendText(out, note);
    AppendText(out, "\r\n");
}

void AppendNote(TextBuffer *out, const char *text) {
    AppendText(out, "---- ");
    AppendText(out, text);
    AppendText(out, "\r\n");
}

std::size_t MakeMarkerValues(Outcome outcome, const char *time, int adaptersCounted, const char *driverKeys,
                             const char *kitVersion, const char *logFailed, MarkerValue *values) {
    std::size_t count = 0;
    values[count].name = "Outcome";
    CopyValueText(values[count++].data, sizeof values->data, OutcomeName(outcome));
    values[count].name = "Time";
    CopyValueText(values[count++].data, sizeof values->data, time);
    values[count].name = "Adapters";
    TextBuffer adapters = MakeTextBuffer(values[count++].data, sizeof values->data);
    AppendNumber(&adapters, adaptersCounted);
    values[count].name = "DriverKeys";
    CopyValueText(values[count++].data, sizeof values->data, driverKeys);
    if (logFailed != nullptr && logFailed[0] != '\0') {
        values[count].name = "LogFailed";
        CopyValueText(values[count++].data, sizeof values->data, logFailed);
    }
    values[count].name = "Version";
    CopyValueText(values[count++].data, sizeof values->data, kitVersion);
    return count;
}

// Takes a character. Returns its value as a hexadecimal digit (either case),
// or -1.
int ReadHexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace kit
