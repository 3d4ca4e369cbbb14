/* format.c - FormatText (format.h).
 *
 * A C translation unit so that, on Windows, the formatting is msvcrt's own
 * _vsnprintf. MinGW's headers route printf to MinGW's own C99 printf, with
 * float support, some 23 KB of the program, in every C++ file (libstdc++
 * asks for it) and in strict ISO C; only here, in C, can it be turned off.
 * msvcrt's printf has had %d %x %s %hs and %.*s since Windows XP; the tool's
 * formats use nothing else (format.h). */

#if defined(_WIN32)
#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 0
#endif

#include "common/format.h"

#include <stdio.h>
#include <string.h>

#if defined(_WIN32) && __USE_MINGW_ANSI_STDIO
#error "FormatText must call msvcrt's printf, not MinGW's"
#endif

size_t FormatTextV(char *buffer, size_t size, const char *format, va_list arguments) {
#if defined(_WIN32)
    /* msvcrt returns -1 and leaves the buffer unterminated when the text does
     * not fit in the count it is given; the last byte is kept for the
     * terminator. */
    int const length = _vsnprintf(buffer, size - 1, format, arguments);
    buffer[size - 1] = '\0';
    return length >= 0 ? (size_t)length : strlen(buffer);
#else
    int const length = vsnprintf(buffer, size, format, arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return 0;
    }
    return (size_t)length < size ? (size_t)length : size - 1;
#endif
}

size_t FormatText(char *buffer, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    size_t const length = FormatTextV(buffer, size, format, arguments);
    va_end(arguments);
    return length;
}
