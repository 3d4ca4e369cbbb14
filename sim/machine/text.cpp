// text.cpp - Windows' names, one table per set, and readable text (machine/text.h).

#include "machine/text.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "kit/core/kit_text.h"
#include "machine/registry.h"

namespace sim {

namespace {

template <typename Code> struct Named {
    Code code;
    const char *name;
};

// Each set's one table: a code to its name, and a name to its code.
template <typename Code, size_t N> const char *NameIn(const Named<Code> (&table)[N], Code code) {
    for (const Named<Code> &entry : table) {
        if (entry.code == code) {
            return entry.name;
        }
    }
    return nullptr;
}
template <typename Code, size_t N> std::optional<Code> CodeIn(const Named<Code> (&table)[N], std::string_view name) {
    for (const Named<Code> &entry : table) {
        if (name == entry.name) {
            return entry.code;
        }
    }
    return std::nullopt;
}

constexpr const char *kOperationNames[] = {"RegOpenKeyExA",
                                           "RegQueryValueExA",
                                           "RegSetValueExA",
                                           "RegCloseKey",
                                           "RegCreateKeyExA",
                                           "RegDeleteValueA",
                                           "RegDeleteKeyA",
                                           "RegEnumKeyExA",
                                           "RegEnumValueA",
                                           "RegGetKeySecurity",
                                           "SetupDiClassGuidsFromNameA",
                                           "SetupDiGetClassDevsA",
                                           "SetupDiEnumDeviceInfo",
                                           "SetupDiGetDeviceRegistryPropertyA",
                                           "SetupDiDestroyDeviceInfoList",
                                           "CreateFileA",
                                           "DeviceIoControl",
                                           "CloseHandle",
                                           "GetVersionExA",
                                           "GetSystemMetrics",
                                           "LocalAlloc",
                                           "LocalFree",
                                           "WriteStandardOutput",
                                           "Sleep",
                                           "GetLastError",
                                           "FlushStandardOutput",
                                           "ExitProcess"};
static_assert(std::size(kOperationNames) == static_cast<size_t>(Operation::ExitProcess) + 1);

constexpr Named<host::LONG> kErrors[] = {
    {host::ERROR_SUCCESS, "ERROR_SUCCESS"},
    {host::ERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION"},
    {host::ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
    {host::ERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND"},
    {host::ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {host::ERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE"},
    {host::ERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY"},
    {host::ERROR_INVALID_DATA, "ERROR_INVALID_DATA"},
    {host::ERROR_GEN_FAILURE, "ERROR_GEN_FAILURE"},
    {host::ERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED"},
    {host::ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
    {host::ERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER"},
    {host::ERROR_INVALID_NAME, "ERROR_INVALID_NAME"},
    {host::ERROR_BAD_PATHNAME, "ERROR_BAD_PATHNAME"},
    {host::ERROR_MORE_DATA, "ERROR_MORE_DATA"},
    {host::ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS"},
    {host::ERROR_NOACCESS, "ERROR_NOACCESS"},
    {host::ERROR_INVALID_FLAGS, "ERROR_INVALID_FLAGS"},
    {host::ERROR_KEY_DELETED, "ERROR_KEY_DELETED"},
    {host::ERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED"},
    {host::ERROR_UNKNOWN_REVISION, "ERROR_UNKNOWN_REVISION"},
    {host::ERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER"},
    {host::ERROR_INVALID_CLASS, "ERROR_INVALID_CLASS"},
    {host::ERROR_INVALID_REG_PROPERTY, "ERROR_INVALID_REG_PROPERTY"},
    {host::ERROR_NO_SUCH_DEVINST, "ERROR_NO_SUCH_DEVINST"},
};

constexpr Named<host::DWORD> kTypes[] = {
    {host::REG_NONE, "REG_NONE"},     {host::REG_SZ, "REG_SZ"},       {host::REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {host::REG_BINARY, "REG_BINARY"}, {host::REG_DWORD, "REG_DWORD"}, {host::REG_MULTI_SZ, "REG_MULTI_SZ"},
    {host::REG_QWORD, "REG_QWORD"},
};

// Upper-cases one code page 1252 byte; a letter whose capital lies outside the
// code page (the micro sign, the f with hook) stays as it is.
std::uint8_t UpperByte(std::uint8_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return static_cast<std::uint8_t>(c - 0x20);
    }
    switch (c) {
    case 0x9A:
        return 0x8A; // s caron
    case 0x9C:
        return 0x8C; // oe
    case 0x9E:
        return 0x8E; // z caron
    case 0xFF:
        return 0x9F; // y diaeresis
    default:
        return c;
    }
}

} // namespace

const char *OperationName(Operation operation) { return kOperationNames[static_cast<size_t>(operation)]; }

std::optional<Operation> FaultOperation(std::string_view name) {
    for (size_t i = 0; i <= static_cast<size_t>(Operation::WriteStandardOutput); ++i) {
        if (name == kOperationNames[i]) {
            return static_cast<Operation>(i);
        }
    }
    return std::nullopt;
}

std::string ErrorName(host::LONG error) {
    const char *name = NameIn(kErrors, error);
    return name != nullptr ? name : "error " + std::to_string(static_cast<std::uint32_t>(error));
}

std::optional<host::LONG> ErrorCode(std::string_view name) { return CodeIn(kErrors, name); }

std::string TypeName(host::DWORD type) {
    const char *name = NameIn(kTypes, type);
    return name != nullptr ? name : "type " + std::to_string(type);
}

std::optional<host::DWORD> TypeCode(std::string_view name) { return CodeIn(kTypes, name); }

bool IsStringType(host::DWORD type) {
    return type == host::REG_SZ || type == host::REG_EXPAND_SZ || type == host::REG_MULTI_SZ;
}

std::string UpperCase(std::string_view text) {
    std::string upper(text);
    for (char &c : upper) {
        c = static_cast<char>(UpperByte(static_cast<std::uint8_t>(c)));
    }
    return upper;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return UpperByte(static_cast<std::uint8_t>(x)) == UpperByte(static_cast<std::uint8_t>(y));
           });
}

bool LessIgnoringCase::operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return UpperByte(static_cast<std::uint8_t>(x)) < UpperByte(static_cast<std::uint8_t>(y));
    });
}

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string QuoteBytes(const void *data, size_t length) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        unsigned char const c = bytes[i];
        const char *const escape = c == '\\'   ? "\\\\"
                                   : c == '"'  ? "\\\""
                                   : c == '\n' ? "\\n"
                                   : c == '\r' ? "\\r"
                                   : c == '\t' ? "\\t"
                                               : nullptr;
        if (escape != nullptr) {
            out += escape;
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\x" + Hex(c, 2).substr(2);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string GuidText(const host::GUID &guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ParseGuidText(std::string_view text, host::GUID *guid) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}') {
        return false;
    }
    std::uint8_t bytes[16] = {}; // the 32 digits in the text's order, two to a byte
    size_t digits = 0;
    for (size_t at = 1; at < 37; ++at) {
        bool const dash = at == 9 || at == 14 || at == 19 || at == 24;
        int const digit = kit::ReadHexDigit(text[at]);
        if (dash ? text[at] != '-' : digit < 0) {
            return false;
        }
        if (!dash) {
            bytes[digits / 2] = static_cast<std::uint8_t>(bytes[digits / 2] << 4 | digit);
            ++digits;
        }
    }
    guid->Data1 = static_cast<host::DWORD>(bytes[0]) << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    guid->Data2 = static_cast<host::WORD>(bytes[4] << 8 | bytes[5]);
    guid->Data3 = static_cast<host::WORD>(bytes[6] << 8 | bytes[7]);
    std::copy(bytes + 8, bytes + 16, guid->Data4);
    return true;
}

namespace {

// The length of the UTF-8 sequence that starts with byte `lead`, at least 1.
size_t SequenceLength(unsigned char lead) { return lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1; }

// Takes one UTF-8 sequence. Returns its code point.
char32_t DecodeSequence(std::string_view sequence) {
    auto lead = static_cast<unsigned char>(sequence[0]);
    if (sequence.size() == 1) {
        return lead;
    }
    char32_t point = lead & (0x7F >> sequence.size());
    for (size_t i = 1; i < sequence.size(); ++i) {
        point = point << 6 | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    }
    return point;
}

// Takes a code page. Returns whether glibc converts to it as Windows does.
bool IsSupportedCodePage(unsigned codePage) {
    return (codePage >= 1250 && codePage <= 1258) || codePage == 874 || codePage == 932 || codePage == 936 ||
           codePage == 949 || codePage == 950;
}

// Takes one UTF-8 sequence, an open conversion and the page's longest
// character. Returns its bytes in the code page, or "" when the page has no
// character of that one sequence (glibc decomposing it into two is no match).
std::string EncodeSequence(iconv_t converter, std::string_view sequence, size_t longest) {
    char buffer[16];
    char *in = const_cast<char *>(sequence.data());
    size_t inLeft = sequence.size();
    char *out = buffer;
    size_t outLeft = sizeof buffer;
    bool const converted = iconv(converter, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1) &&
                           iconv(converter, nullptr, nullptr, &out, &outLeft) != static_cast<size_t>(-1);
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    size_t const length = sizeof buffer - outLeft;
    return converted && inLeft == 0 && length >= 1 && length <= longest ? std::string(buffer, length) : std::string();
}

} // namespace

bool EncodeCodePage(std::string_view utf8, unsigned codePage, std::string *out, char32_t *missing) {
    if (!IsSupportedCodePage(codePage)) {
        return false;
    }
    // 1252 by the machine's own table: glibc lacks its five C1 positions.
    iconv_t const opened = codePage == 1252 ? nullptr : iconv_open(("CP" + std::to_string(codePage)).c_str(), "UTF-8");
    if (opened == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    std::unique_ptr<void, int (*)(iconv_t)> const converter(opened, iconv_close);
    size_t const longest = codePage >= 932 && codePage <= 950 ? 2 : 1;
    *missing = 0;
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        *out = std::string(utf8); // every page here keeps ASCII as it is
        return true;
    }
    out->clear();
    for (size_t at = 0; at < utf8.size();) {
        std::string_view const sequence = utf8.substr(at, SequenceLength(static_cast<unsigned char>(utf8[at])));
        at += sequence.size();
        std::string bytes;
        std::uint8_t byte = 0;
        if (codePage == 1252) {
            char32_t const point = DecodeSequence(sequence);
            if (point <= 0xFFFF && UnicodeToAnsi(static_cast<std::uint16_t>(point), &byte)) {
                bytes.assign(1, static_cast<char>(byte));
            }
        } else {
            bytes = EncodeSequence(converter.get(), sequence, longest);
        }
        if (bytes.empty()) {
            bytes = "?";
            if (*missing == 0) {
                *missing = DecodeSequence(sequence);
            }
        }
        *out += bytes;
    }
    return true;
}

std::string CodePointText(char32_t character) { return "U+" + Hex(character, 4).substr(2); }

} // namespace sim
