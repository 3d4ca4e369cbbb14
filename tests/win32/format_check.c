/* format_check.c - every format the tool passes to Trace and FormatText,
 * formatted by FormatText (src/common/format.c) with msvcrt's printf, and
 * compared byte for byte with the text the tool means; also where the text
 * is cut. Run under Wine (tests/wine/release_runs.py program-check); prints one
 * line per case and exits 1 when any differs. Every format with a conversion
 * in src/ must appear here (checked by trace_formats_covered.py). */

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "common/format.h"

enum { kTraceLineSize = 1024 }; /* Trace's line, src/common/trace.cpp */

static int failures;

/* Compares what FormatText stored and the length it returned with `want`
 * cut to `size` - 1 bytes. */
static void Expect(const char *what, const char *buffer, size_t size, size_t stored, const char *want) {
    size_t length = strlen(want);
    if (length > size - 1) {
        length = size - 1;
    }
    if (stored == length && memcmp(buffer, want, length) == 0 && buffer[length] == '\0') {
        printf("ok   %s\n", what);
        return;
    }
    printf("FAIL %s: got %u bytes \"%.*s\", want %u bytes \"%.*s\"\n", what, (unsigned)stored, (int)stored, buffer,
           (unsigned)length, (int)length, want);
    ++failures;
}

/* FormatText as Trace calls it: through FormatTextV, so that the %hs of the
 * trace formats meets no compile-time printf check (format.h). */
static size_t Format(char *buffer, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    size_t const length = FormatTextV(buffer, size, format, arguments);
    va_end(arguments);
    return length;
}

int main(void) {
    static char line[kTraceLineSize];
    static char longPath[1100];
    static char want[1200];
    const char *const driverKey =
        "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007";
    size_t n;

    n = Format(line, sizeof line, "RegOpenKeyEx '%hs' failed\n", driverKey);
    Expect("%hs", line, sizeof line, n,
           "RegOpenKeyEx 'SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007' "
           "failed\n");
    n = Format(line, sizeof line, "RegSetValueEx REGSTR_RADIO '%s' failed\n", "1");
    Expect("%s", line, sizeof line, n, "RegSetValueEx REGSTR_RADIO '1' failed\n");
    n = Format(line, sizeof line, " Offset 0x38 = 0x%x \n", 0x1Cu);
    Expect("%x", line, sizeof line, n, " Offset 0x38 = 0x1c \n");
    n = Format(line, sizeof line, " Offset 0x38 = 0x%x \n", 0xFFu);
    Expect("%x byte 0xFF", line, sizeof line, n, " Offset 0x38 = 0xff \n");
    n = Format(line, sizeof line, " GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n", 1, 0);
    Expect("%x %x", line, sizeof line, n, " GetSupportCountryRegion Offset 0x38 = 0x1 , 0x39 = 0x0 \n");
    n = Format(line, sizeof line, " GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n", -1, 0x81);
    Expect("%x of -1", line, sizeof line, n, " GetSupportCountryRegion Offset 0x38 = 0xffffffff , 0x39 = 0x81 \n");
    n = Format(line, sizeof line, "<-- GetAvailableAdapters() :  Available adapter number = %d\n", 2);
    Expect("%d", line, sizeof line, n, "<-- GetAvailableAdapters() :  Available adapter number = 2\n");
    n = Format(line, sizeof line, "<-- GetAvailableAdapters() :  Available adapter number = %d\n", -2147483647 - 1);
    Expect("%d of INT_MIN", line, sizeof line, n,
           "<-- GetAvailableAdapters() :  Available adapter number = -2147483648\n");
    n = Format(line, sizeof line, "%s", "Cannot find any adapter card !\n");
    Expect("%s alone", line, sizeof line, n, "Cannot find any adapter card !\n");
    n = Format(line, sizeof line, "%d", 1);
    Expect("%d alone", line, sizeof line, n, "1");

    /* Paths: %.*s takes exactly the given count, even inside a longer text. */
    n = Format(line, sizeof line, "%s\\%.*s", "SYSTEM\\X", 4, "0007tail");
    Expect("%s\\%.*s", line, sizeof line, n, "SYSTEM\\X\\0007");
    n = Format(line, sizeof line, "%s%.*s", "\\\\.\\", 38, "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}junk");
    Expect("%s%.*s", line, sizeof line, n, "\\\\.\\{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}");
    n = Format(line, sizeof line, "%s%.*s", "\\\\.\\", 0, "ignored");
    Expect("%.*s of 0", line, sizeof line, n, "\\\\.\\");
    n = Format(line, sizeof line, "%s%s", "System\\CurrentControlSet\\Services\\Class\\Net\\", "0007");
    Expect("%s%s", line, sizeof line, n, "System\\CurrentControlSet\\Services\\Class\\Net\\0007");
    n = Format(line, sizeof line, "%s\\%s\\%s", "SYSTEM\\X", "{4D36E972-E325-11CE-BFC1-08002bE10318}", "0007");
    Expect("%s\\%s\\%s", line, sizeof line, n, "SYSTEM\\X\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007");

    /* Cut text: the buffer holds size - 1 bytes and its terminator, whether
     * the text overflows it or fits it exactly (where msvcrt writes none). */
    n = Format(line, 8, "%s", "abcdefghij");
    Expect("cut by 3", line, 8, n, "abcdefghij");
    n = Format(line, 8, "%s", "abcdefgh");
    Expect("cut by 1", line, 8, n, "abcdefgh");
    memset(line, 'x', sizeof line);
    n = Format(line, 8, "%s", "abcdefg");
    Expect("exact fit", line, 8, n, "abcdefg");
    n = Format(line, 1, "%d", 7);
    Expect("one-byte buffer", line, 1, n, "");
    memset(longPath, 'K', sizeof longPath - 1);
    n = Format(line, sizeof line, "RegOpenKeyEx '%hs' failed\n", longPath);
    snprintf(want, sizeof want, "RegOpenKeyEx '%s' failed\n", longPath);
    Expect("trace line cut at 1023 bytes", line, sizeof line, n, want);

    return failures != 0;
}
