// text.h - Windows' names for the values the simulated host speaks, one table
// per set, read both ways (a scenario or a test names them, a report shows
// them), and the readable text of numbers, bytes and GUIDs.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "machine/host_extra.h"

namespace sim {

// The host operations, in the order of kOperationNames (text.cpp). Those up
// to WriteStandardOutput can be made to fail (Fault).
enum class Operation {
    RegOpenKeyExA,
    RegQueryValueExA,
    RegSetValueExA,
    RegCloseKey,
    RegCreateKeyExA,
    RegDeleteValueA,
    RegDeleteKeyA,
    RegEnumKeyExA,
    RegEnumValueA,
    RegGetKeySecurity,
    SetupDiClassGuidsFromNameA,
    SetupDiGetClassDevsA,
    SetupDiEnumDeviceInfo,
    SetupDiGetDeviceRegistryPropertyA,
    SetupDiDestroyDeviceInfoList,
    CreateFileA,
    DeviceIoControl,
    CloseHandle,
    GetVersionExA,
    GetSystemMetrics,
    LocalAlloc,
    LocalFree,
    WriteStandardOutput,
    Sleep,
    GetLastError,
    FlushStandardOutput,
    ExitProcess,
};
const char *OperationName(Operation operation); // its Win32 name
// The operation a fault names (its Win32 name exactly), if it can fail.
std::optional<Operation> FaultOperation(std::string_view name);

// A Windows error's name ("ERROR_FILE_NOT_FOUND", or "error 1234"), and the
// error a name names.
std::string ErrorName(host::LONG error);
std::optional<host::LONG> ErrorCode(std::string_view name);

// A registry value type's name ("REG_SZ", or "type 11"), and the type a name names.
std::string TypeName(host::DWORD type);
std::optional<host::DWORD> TypeCode(std::string_view name);
bool IsStringType(host::DWORD type); // REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ

// Case-insensitive comparison as the registry does it: letters of code page
// 1252 folded as Windows upper-cases their UTF-16 forms (a-z, the accented
// letters, and s/z/oe with caron or ligature, y with diaeresis).
std::string UpperCase(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// Orders names as their upper-cased bytes order, so that a map keyed with it
// finds a name in any case.
struct LessIgnoringCase {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
};

// "0x0000001C"-style hexadecimal text.
std::string Hex(std::uint32_t value, int digits = 8);
// Bytes quoted and escaped: "1\x00".
std::string QuoteBytes(const void *data, size_t length);
std::string GuidText(const host::GUID &guid);                // "{4D36E972-E325-11CE-BFC1-08002BE10318}"
bool ParseGuidText(std::string_view text, host::GUID *guid); // braces required, either case

// Takes UTF-8 text (a lone surrogate in its three-byte form allowed) and an
// ANSI code page. Returns false for a code page it cannot convert to (1252,
// 1250-1258, 874, 932, 936, 949 and 950 it can); otherwise fills *out with
// each character as the code page's own table gives it exactly, and a
// character the page lacks as the default character '?', and *missing with
// the first such character (0 when none). Windows' table would give some of
// those a best-fit byte, which this conversion does not know.
bool EncodeCodePage(std::string_view utf8, unsigned codePage, std::string *out, char32_t *missing);
std::string CodePointText(char32_t character); // "U+0411"

} // namespace sim
