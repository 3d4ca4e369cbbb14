// text.cpp - readable text of Windows values (machine/text.h).

#include "machine/text.h"

#include <cstdio>
#include <map>

namespace sim {

std::string ErrorName(host::LONG error) {
    static const std::map<host::LONG, const char *> names = {
        {0, "ERROR_SUCCESS"},
        {1, "ERROR_INVALID_FUNCTION"},
        {2, "ERROR_FILE_NOT_FOUND"},
        {3, "ERROR_PATH_NOT_FOUND"},
        {5, "ERROR_ACCESS_DENIED"},
        {6, "ERROR_INVALID_HANDLE"},
        {8, "ERROR_NOT_ENOUGH_MEMORY"},
        {13, "ERROR_INVALID_DATA"},
        {31, "ERROR_GEN_FAILURE"},
        {50, "ERROR_NOT_SUPPORTED"},
        {87, "ERROR_INVALID_PARAMETER"},
        {122, "ERROR_INSUFFICIENT_BUFFER"},
        {123, "ERROR_INVALID_NAME"},
        {161, "ERROR_BAD_PATHNAME"},
        {234, "ERROR_MORE_DATA"},
        {259, "ERROR_NO_MORE_ITEMS"},
        {998, "ERROR_NOACCESS"},
        {1004, "ERROR_INVALID_FLAGS"},
        {1167, "ERROR_DEVICE_NOT_CONNECTED"},
        {1784, "ERROR_INVALID_USER_BUFFER"},
        {static_cast<host::LONG>(0xE0000209U), "ERROR_INVALID_REG_PROPERTY"},
        {static_cast<host::LONG>(0xE000020BU), "ERROR_NO_SUCH_DEVINST"},
        {host::ERROR_INVALID_CLASS, "ERROR_INVALID_CLASS"},
    };
    auto found = names.find(error);
    if (found != names.end()) {
        return found->second;
    }
    return "error " + std::to_string(static_cast<std::uint32_t>(error));
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
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Quote(const char *text) {
    if (text == nullptr) {
        return "NULL";
    }
    return QuoteBytes(text, std::char_traits<char>::length(text));
}

std::string GuidText(const host::GUID &guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

namespace {
// Reads `digits` hexadecimal digits at text[at]; false on any other character.
bool ReadHex(std::string_view text, size_t at, int digits, std::uint32_t *value) {
    std::uint32_t result = 0;
    for (int i = 0; i < digits; ++i) {
        char const c = text[at + static_cast<size_t>(i)];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        result = result * 16 + static_cast<std::uint32_t>(digit);
    }
    *value = result;
    return true;
}
} // namespace

bool ParseGuidText(std::string_view text, host::GUID *guid) {
    if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
        text[19] != '-' || text[24] != '-') {
        return false;
    }
    std::uint32_t part;
    host::GUID result{};
    if (!ReadHex(text, 1, 8, &part)) {
        return false;
    }
    result.Data1 = part;
    if (!ReadHex(text, 10, 4, &part)) {
        return false;
    }
    result.Data2 = static_cast<host::WORD>(part);
    if (!ReadHex(text, 15, 4, &part)) {
        return false;
    }
    result.Data3 = static_cast<host::WORD>(part);
    static const size_t byteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ReadHex(text, byteAt[i], 2, &part)) {
            return false;
        }
        result.Data4[i] = static_cast<host::BYTE>(part);
    }
    *guid = result;
    return true;
}

bool IsStringType(host::DWORD type) {
    return type == host::REG_SZ || type == host::REG_EXPAND_SZ || type == host::REG_MULTI_SZ;
}

std::string TypeText(host::DWORD type) {
    switch (type) {
    case host::REG_NONE:
        return "REG_NONE";
    case host::REG_SZ:
        return "REG_SZ";
    case host::REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case host::REG_BINARY:
        return "REG_BINARY";
    case host::REG_DWORD:
        return "REG_DWORD";
    case host::REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    case 11:
        return "REG_QWORD";
    default:
        return "type " + std::to_string(type);
    }
}

} // namespace sim
