// rollback_record.cpp - a rollback record's text, and what the kit does with
// a record before a run, after it and at /uninstall.

#include "kit/core/rollback_record.h"

#include <cstdint>
#include <cstring>

#include "kit/core/kit_text.h"

namespace kit {
namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

constexpr char kAbsent[] = "absent";
constexpr char kRegSzWord[] = "REG_SZ";
constexpr char kRegExpandSzWord[] = "REG_EXPAND_SZ";
constexpr char kRegDwordWord[] = "REG_DWORD";
constexpr char kRegBinaryWord[] = "REG_BINARY";
constexpr char kHexDigits[] = "0123456789abcdef";

constexpr char kClassRecordPrefix[] = "Class\\"; // a driver key outside the network class

// Takes text. Reads the 1 to 8 hex digits it begins with into *number.
// Returns where they end, or nullptr without a digit or with more than 8.
const char *ReadHexNumber(const char *text, std::uint32_t *number) {
    *number = 0;
    int digits = 0;
    for (; ReadHexDigit(*text) >= 0; ++text, ++digits) {
        if (digits == 8) {
            return nullptr;
        }
        *number = *number * 16 + static_cast<std::uint32_t>(ReadHexDigit(*text));
    }
    return digits == 0 ? nullptr : text;
}

// Takes a record and a type's word. Returns the data's text when the record
// is that word alone or the word, a blank and the text; else nullptr.
const char *AfterWord(const char *record, const char *word) {
    std::size_t const length = std::strlen(word);
    if (std::strncmp(record, word, length) != 0) {
        return nullptr;
    }
    if (record[length] == '\0') {
        return record + length;
    }
    return record[length] == ' ' ? record + length + 1 : nullptr;
}

// Takes a value. Returns whether its data is one line of text ending in its
// only NUL: it is recorded as text, every other byte copied as it is.
bool IsPlainText(const RegistryValue &value) {
    if (value.size == 0 || value.data[value.size - 1] != '\0') {
        return false;
    }
    for (std::uint32_t i = 0; i + 1 < value.size; ++i) {
        // A control character (an inner NUL, a line end) would not survive a
        // log line or a 1.x kit's reading: such data is recorded in hex.
        if (value.data[i] < 0x20) {
            return false;
        }
    }
    return true;
}

// Takes a text of the data and a value's type. Fills *value with the text and
// its NUL. Returns 1, or 0 when it is too long to restore.
int DecodeText(const char *text, std::uint32_t type, RegistryValue *value) {
    std::size_t const length = std::strlen(text);
    if (length + 1 > kMostValueBytes) {
        return 0;
    }
    value->present = true;
    value->type = type;
    value->size = static_cast<std::uint32_t>(length + 1);
    std::memcpy(value->data, text, length + 1);
    return 1;
}

// Takes the text after "REG_DWORD ". Fills *value with its 4 bytes. Returns 1,
// or 0 when it is no "0x" and 1 to 8 hex digits.
int DecodeDword(const char *text, RegistryValue *value) {
    std::uint32_t number = 0;
    if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        return 0;
    }
    const char *end = ReadHexNumber(text + 2, &number);
    if (end == nullptr || *end != '\0') {
        return 0;
    }
    value->present = true;
    value->type = kRegDword;
    value->size = 4;
    for (int i = 0; i < 4; ++i) {
        value->data[i] = static_cast<unsigned char>(number >> (8 * i));
    }
    return 1;
}

// Takes hex text: pairs of digits, each pair after the first preceded by
// `separator` (none: '\0'). Fills *value's data. Returns 1, or 0 for any other
// text or more than kMostValueBytes bytes.
int DecodeHexBytes(const char *text, char separator, RegistryValue *value) {
    std::uint32_t size = 0;
    while (*text != '\0') {
        if (size > 0 && separator != '\0' && *text++ != separator) {
            return 0;
        }
        int const high = ReadHexDigit(text[0]);
        int const low = high < 0 ? -1 : ReadHexDigit(text[1]);
        if (low < 0 || size == kMostValueBytes) {
            return 0;
        }
        value->data[size++] = static_cast<unsigned char>(high * 16 + low);
        text += 2;
    }
    value->present = true;
    value->size = size;
    return 1;
}

// Takes a buffer, where to write and a byte. Writes its two hex digits.
void WriteHexByte(char *record, std::size_t at, unsigned char byte) {
    record[at] = kHexDigits[byte >> 4];
    record[at + 1] = kHexDigits[byte & 0x0F];
}

// Takes a buffer, where to write and a number. Writes it in hex without
// leading zeros. Returns where it ends.
std::size_t WriteHexNumber(char *record, std::size_t at, std::uint32_t number) {
    int shift = 28;
    while (shift > 0 && (number >> shift) == 0) {
        shift -= 4;
    }
    for (; shift >= 0; shift -= 4) {
        record[at++] = kHexDigits[(number >> shift) & 0x0F];
    }
    return at;
}

} // namespace

int EncodeRecord(const RegistryValue &value, char *record) {
    record[0] = '\0';
    if (!value.present) {
        std::memcpy(record, kAbsent, sizeof kAbsent);
        return 1;
    }
    if (value.tooLarge || value.size > kMostValueBytes) {
        return 0;
    }
    std::size_t at = 0;
    if ((value.type == kRegSz || value.type == kRegExpandSz) && IsPlainText(value)) {
        const char *word = value.type == kRegSz ? kRegSzWord : kRegExpandSzWord;
        at = std::strlen(word);
        std::memcpy(record, word, at);
        record[at++] = ' ';
        std::memcpy(record + at, value.data, value.size); // the text and its NUL
        return 1;
    }
    if (value.type == kRegDword && value.size == 4) {
        std::uint32_t const number =
            static_cast<std::uint32_t>(value.data[0]) | static_cast<std::uint32_t>(value.data[1]) << 8 |
            static_cast<std::uint32_t>(value.data[2]) << 16 | static_cast<std::uint32_t>(value.data[3]) << 24;
        std::memcpy(record, "REG_DWORD 0x", 12);
        at = WriteHexNumber(record, 12, number);
        record[at] = '\0';
        return 1;
    }
    std::memcpy(record, "hex(", 4);
    at = WriteHexNumber(record, 4, value.type);
    record[at++] = ')';
    record[at++] = ':';
    for (std::uint32_t i = 0; i < value.size; ++i) {
        if (i > 0) {
            record[at++] = ',';
        }
        WriteHexByte(record, at, value.data[i]);
        at += 2;
    }
    record[at] = '\0';
    return 1;
}

int DecodeRecord(const char *record, RegistryValue *value) {
    value->present = false;
    value->type = 0;
    value->size = 0;
    value->tooLarge = false;
    if (std::strcmp(record, kAbsent) == 0) {
        return 1;
    }
    int decoded = 0;
    if (const char *text = AfterWord(record, kRegSzWord)) {
        decoded = DecodeText(text, kRegSz, value);
    } else if (const char *expandText = AfterWord(record, kRegExpandSzWord)) {
        decoded = DecodeText(expandText, kRegExpandSz, value);
    } else if (const char *dword = AfterWord(record, kRegDwordWord)) {
        decoded = DecodeDword(dword, value);
    } else if (const char *binary = AfterWord(record, kRegBinaryWord)) {
        value->type = kRegBinary;
        decoded = DecodeHexBytes(binary, '\0', value);
    } else if (std::strncmp(record, "hex(", 4) == 0) {
        std::uint32_t type = 0;
        const char *end = ReadHexNumber(record + 4, &type);
        value->type = type;
        decoded = end != nullptr && end[0] == ')' && end[1] == ':' ? DecodeHexBytes(end + 2, ',', value) : 0;
    }
    // Each reading marks the value present only once it has read it whole.
    return decoded;
}

bool SameValue(const RegistryValue &a, const RegistryValue &b) {
    if (!a.present || !b.present) {
        return a.present == b.present;
    }
    // Data not kept cannot be compared: taken as changed.
    if (a.tooLarge || b.tooLarge) {
        return false;
    }
    return a.type == b.type && a.size == b.size && std::memcmp(a.data, b.data, a.size) == 0;
}

AheadAction PlanAhead(const Adapter &adapter, bool recorded) {
    // The program writes into an existing key only. An adapter absent now may
    // be plugged in while the program waits for one: it is recorded too, and
    // the record goes again when the run leaves its value as it was.
    if (recorded || !adapter.driverKeyExists || HoldsSetting(adapter.value)) {
        return AheadAction::None;
    }
    return AheadAction::Record;
}

AfterAction PlanAfter(const RegistryValue &recorded, const RegistryValue &now) {
    return SameValue(recorded, now) ? AfterAction::Remove : AfterAction::Keep;
}

RestoreAction PlanRestore(const char *record, bool driverKeyExists, RegistryValue *value) {
    // With the key gone there is nothing to put back, whatever the record says.
    if (!driverKeyExists) {
        return RestoreAction::KeyGone;
    }
    if (DecodeRecord(record, value) == 0) {
        return RestoreAction::Unrestorable;
    }
    return value->present ? RestoreAction::SetValue : RestoreAction::RemoveValue;
}

int MakeDriverKeyPath(const char *recordName, char *path) {
    std::size_t const length = std::strlen(recordName);
    bool const instance = length > 0 && std::strchr(recordName, '\\') == nullptr;
    // "Class\" and a driver key name without an empty part (MakeRecordName).
    bool const classKey = std::strncmp(recordName, kClassRecordPrefix, sizeof kClassRecordPrefix - 1) == 0 &&
                          length > sizeof kClassRecordPrefix - 1 && recordName[length - 1] != '\\' &&
                          std::strstr(recordName, "\\\\") == nullptr;
    TextBuffer out = MakeTextBuffer(path, kMostKeyPathBytes);
    if (!instance && !classKey) {
        return 0;
    }
    if (instance) {
        AppendText(&out, kNetClassKeyPath);
        AppendText(&out, "\\");
        AppendText(&out, recordName);
    } else {
        AppendText(&out, kClassKeyPath);
        AppendText(&out, recordName + sizeof kClassRecordPrefix - 2); // from its backslash
    }
    if (out.cut) {
        path[0] = '\0';
        return 0;
    }
    return 1;
}

} // namespace kit
