// reg_file.h - importing regedit's .reg files into the simulated registry.
//
// Accepts what regedit writes and reads: a "REGEDIT4" header with 8-bit text,
// or "Windows Registry Editor Version 5.00" as UTF-16LE with a BOM (or as
// 8-bit text); [key] and [-key] sections; "name"="text", @=, dword:, hex:,
// hex(N): (hex(2), hex(7) and any other type number), "name"=- deletions;
// backslash line continuations of hex data; ; comments. Only keys under
// HKEY_LOCAL_MACHINE are accepted, since the machine has no other hive; the
// abbreviation HKLM is refused, as regedit cannot open it.
//
// A file means here what it means to regedit (Wine 8's regedit /S, read back
// through the A functions): the file's encoding, told by the UTF-16LE BOM
// alone, decides how hex(1), hex(2) and hex(7) bytes are read, and UTF-16 text
// is converted to code page 1252. Where regedit skips a faulty line (or a
// UTF-8 file) silently, the import fails instead.
//
// Import is all or nothing: the whole text is parsed first, and on any error
// the registry is left untouched.

#pragma once

#include <string>
#include <string_view>

#include "machine/registry.h"

namespace sim {

struct RegImportError {
    std::string file; // as passed in
    int line = 0;     // 1-based line of the offending text; 0 for whole-file faults
    std::string message;

    std::string ToString() const; // "file:line: message"
};

// Imports raw file bytes. Returns true on success; on failure fills error and
// leaves the registry as it was.
bool ImportRegBytes(Registry &registry, std::string_view bytes, const std::string &fileName, RegImportError *error);

} // namespace sim
