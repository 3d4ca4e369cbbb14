// trace.h - printf-style trace lines on the process's standard output.

#pragma once

// Takes a printf format and its arguments, formatted by FormatText
// (common/format.h, whose conversion rules apply); formats them into a
// 1024-byte line (longer text is cut) and writes the bytes to standard
// output. Returns nothing: no caller can act on a lost trace line. It has no
// format attribute: trace formats use msvcrt's %hs (an 8-bit string), which
// C's printf, the only archetype compilers check, does not have.
void Trace(const char *format, ...);
