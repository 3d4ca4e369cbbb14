/* format.h - the one printf-style formatter of the tool (C and C++). */

#ifndef EDCCA_HOST_FORMAT_H
#define EDCCA_HOST_FORMAT_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Takes a buffer of `size` bytes (at least 1), a printf format and its
 * arguments. Formats into the buffer, cutting text that does not fit, and
 * always terminates it. Returns the number of bytes stored before the
 * terminator. On Windows the formatting is msvcrt's own (format.c): only the
 * conversions msvcrt has had since Windows XP may be used - %d %x %s %hs and
 * %.*s are; ll, hh, z, j, t and %a are not. No compiler archetype describes
 * msvcrt's %hs (an 8-bit string), so the formats carry no format attribute;
 * every one is run through msvcrt under Wine by the win32 tests. */
size_t FormatText(char *buffer, size_t size, const char *format, ...);
size_t FormatTextV(char *buffer, size_t size, const char *format, va_list arguments);

#ifdef __cplusplus
}
#endif

#endif
