/* format_check.c - every format the tool passes to Trace and FormatText,
 * formatted by FormatText (src/common/format.c) with msvcrt's printf, and
 * compared byte for byte with the text the tool means; also where the text
 * is cut. Run under Wine (tests/wine/wine_runner.py program); prints one
 * line per case and exits 1 when any differs. Every format with a conversion
 * in src/ must appear here (checked by trace_formats_covered.py). */

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "common/format.h"

enum { kTraceLineSize = 1024 }; /* Trace's line, src/common/trace.cpp */

static int failures;
static char line[kTraceLineSize];

/* Compares what FormatText stored in line and the length it returned with
 * `want` cut to `size` - 1 bytes. */
static void Expect(const char *what, size_t size, size_t stored, const char *want) {
    size_t length = strlen(want);
    if (length > size - 1) {
        length = size - 1;
    }
    if (stored == length && memcmp(line, want, length) == 0 && line[length] == '\0') {
        printf("ok   %s\n", what);
        return;
    }
    printf("FAIL %s: got %u bytes \"%.*s\", want %u bytes \"%.*s\"\n", what, (unsigned)stored, (int)stored, line,
           (unsigned)length, (int)length, want);
    ++failures;
}

/* FormatText as Trace calls it: through FormatTextV, so that the %hs of the
 * trace formats meets no compile-time printf check (format.h). */
static size_t Format(size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    size_t const length = FormatTextV(line, size, format, arguments);
    va_end(arguments);
    return length;
}

/* One case: the format and its arguments into a buffer of `size` bytes. */
#define CHECK(what, size, want, ...) Expect(what, size, Format(size, __VA_ARGS__), want)

int main(void) {
    static char longPath[1100];
    static char want[1200];

    CHECK("%hs", sizeof line,
          "RegOpenKeyEx 'SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007' "
          "failed\n",
          "RegOpenKeyEx '%hs' failed\n",
          "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    CHECK("%s", sizeof line, "RegSetValueEx REGSTR_RADIO '1' failed\n", "RegSetValueEx REGSTR_RADIO '%s' failed\n",
          "1");
    CHECK("%x", sizeof line, " Offset 0x38 = 0x1c \n", " Offset 0x38 = 0x%x \n", 0x1Cu);
    CHECK("%x byte 0xFF", sizeof line, " Offset 0x38 = 0xff \n", " Offset 0x38 = 0x%x \n", 0xFFu);
    CHECK("%x %x", sizeof line, " GetSupportCountryRegion Offset 0x38 = 0x1 , 0x39 = 0x0 \n",
          " GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n", 1, 0);
    CHECK("%x of -1", sizeof line, " GetSupportCountryRegion Offset 0x38 = 0xffffffff , 0x39 = 0x81 \n",
          " GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n", -1, 0x81);
    CHECK("%d", sizeof line, "<-- GetAvailableAdapters() :  Available adapter number = 2\n",
          "<-- GetAvailableAdapters() :  Available adapter number = %d\n", 2);
    CHECK("%d of INT_MIN", sizeof line, "<-- GetAvailableAdapters() :  Available adapter number = -2147483648\n",
          "<-- GetAvailableAdapters() :  Available adapter number = %d\n", -2147483647 - 1);
    CHECK("%s alone", sizeof line, "Cannot find any adapter card !\n", "%s", "Cannot find any adapter card !\n");
    CHECK("%d alone", sizeof line, "1", "%d", 1);

    /* Paths: %.*s takes exactly the given count, even inside a longer text. */
    CHECK("%s\\%.*s", sizeof line, "SYSTEM\\X\\0007", "%s\\%.*s", "SYSTEM\\X", 4, "0007tail");
    CHECK("%s%.*s", sizeof line, "\\\\.\\{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}", "%s%.*s", "\\\\.\\", 38,
          "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}junk");
    CHECK("%.*s of 0", sizeof line, "\\\\.\\", "%s%.*s", "\\\\.\\", 0, "ignored");
    CHECK("%s%s", sizeof line, "System\\CurrentControlSet\\Services\\Class\\Net\\0007", "%s%s",
          "System\\CurrentControlSet\\Services\\Class\\Net\\", "0007");
    CHECK("%s\\%s\\%s", sizeof line, "SYSTEM\\X\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007", "%s\\%s\\%s",
          "SYSTEM\\X", "{4D36E972-E325-11CE-BFC1-08002bE10318}", "0007");

    /* Cut text: the buffer holds size - 1 bytes and its terminator, whether
     * the text overflows it or fits it exactly (where msvcrt writes none). */
    CHECK("cut by 3", 8, "abcdefghij", "%s", "abcdefghij");
    CHECK("cut by 1", 8, "abcdefgh", "%s", "abcdefgh");
    memset(line, 'x', sizeof line);
    CHECK("exact fit", 8, "abcdefg", "%s", "abcdefg");
    CHECK("one-byte buffer", 1, "", "%d", 7);
    memset(longPath, 'K', sizeof longPath - 1);
    snprintf(want, sizeof want, "RegOpenKeyEx '%s' failed\n", longPath);
    CHECK("trace line cut at 1023 bytes", sizeof line, want, "RegOpenKeyEx '%hs' failed\n", longPath);

    return failures != 0;
}
