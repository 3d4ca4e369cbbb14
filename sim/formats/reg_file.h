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
// is converted to the machine's ANSI code page as RegQueryValueExA converts
// it. A character the page lacks becomes '?', Windows' default character,
// except in the values the program reads (HardwareID, Driver,
// NetCfgInstanceId, DeviceVxDs, PROCESSOR_ARCHITECTURE), where Windows' best
// fit, which this host does not know, could decide the run: there it fails the
// import. A key deeper than 512 levels fails it too. Where regedit skips a
// faulty line (or a UTF-8 file) silently, the import fails instead.
//
// Import is all or nothing: the whole text is parsed first, and on any error
// the registry is left untouched.

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "machine/registry.h"

namespace sim {

struct RegImportError {
    std::string file; // as passed in
    int line = 0;     // 1-based line of the offending text; 0 for whole-file faults
    std::string message;

    std::string ToString() const; // "file:line: message"
};

// Imports raw file bytes, UTF-16 text converted to code page codePage.
// Returns true on success, with what may be unintended added to *warnings
// when given; on failure fills error and leaves the registry as it was.
bool ImportRegBytes(Registry &registry, std::string_view bytes, const std::string &fileName, RegImportError *error,
                    unsigned codePage = 1252, std::vector<RegImportError> *warnings = nullptr);

// Takes UTF-16 units. Returns them as UTF-8; a lone surrogate keeps its
// three-byte form, so that a code page conversion finds it lacking.
std::string EncodeUtf8(std::u16string_view units);

} // namespace sim
