/* format.h - the one printf-style formatter of the tool (C and C++). */

#ifndef EDCCA_COMMON_FORMAT_H
#define EDCCA_COMMON_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

#if defined(__GNUC__)
#define EDCCA_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define EDCCA_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Takes a buffer of `size` bytes (at least 1), a printf format and its
 * arguments. Formats into the buffer, cutting text that does not fit, and
 * always terminates it. Returns the number of bytes stored before the
 * terminator. On Windows the formatting is msvcrt's own (format.c): only the
 * conversions msvcrt has had since Windows XP may be used - %d %x %s %hs and
 * %.*s are; ll, hh, z, j, t and %a are not. Every format of the tool is run
 * through msvcrt under Wine by the win32 tests (tests/win32/format_check.c).
 * The compiler checks the arguments against C's printf, where these
 * conversions mean the same, except %hs (Trace). */
size_t FormatText(char *buffer, size_t size, const char *format, ...) EDCCA_PRINTF_FORMAT(3, 4);
size_t FormatTextV(char *buffer, size_t size, const char *format, va_list arguments);

#ifdef __cplusplus
}
#endif

#endif
