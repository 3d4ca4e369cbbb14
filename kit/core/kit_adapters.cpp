// kit_adapters.cpp - which devices are the adapter, their record names and
// whether a value is the setting.

#include "kit/core/kit_adapters.h"

#include <cstring>

namespace kit {
namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr char kClassPrefix[] = "Class\\";

// Takes a character. Returns it upper-cased, a-z only, as the program does.
char UpperCaseLetter(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Takes two texts and a length. Returns whether their first `length`
// characters are equal, a-z and A-Z taken alike.
bool EqualIgnoringCase(const char *left, const char *right, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (UpperCaseLetter(left[i]) != UpperCaseLetter(right[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

bool MatchesAdapter(const char *firstHardwareId) {
    std::size_t const length = std::strlen(firstHardwareId);
    std::size_t const size = sizeof kAdapterHardwareId - 1;
    for (std::size_t at = 0; at + size <= length; ++at) {
        bool same = true;
        for (std::size_t i = 0; same && i < size; ++i) {
            same = UpperCaseLetter(firstHardwareId[at + i]) == kAdapterHardwareId[i];
        }
        if (same) {
            return true;
        }
    }
    return false;
}

int MakeRecordName(const char *driverKeyName, char *recordName) {
    recordName[0] = '\0';
    std::size_t const length = std::strlen(driverKeyName);
    std::size_t const classLength = sizeof kNetClassGuid - 1;
    // An empty part would name another key: the class key, or the hive's.
    if (length == 0 || driverKeyName[0] == '\\' || driverKeyName[length - 1] == '\\' ||
        std::strstr(driverKeyName, "\\\\") != nullptr) {
        return 0;
    }
    // "{4D36E972-...}\0007": the instance alone, as kits 1.x named records.
    if (length > classLength + 1 && length - classLength <= kMostNameBytes &&
        EqualIgnoringCase(driverKeyName, kNetClassGuid, classLength) && driverKeyName[classLength] == '\\' &&
        std::strchr(driverKeyName + classLength + 1, '\\') == nullptr) {
        std::memcpy(recordName, driverKeyName + classLength + 1, length - classLength);
        return 1;
    }
    if (sizeof kClassPrefix - 1 + length + 1 > kMostNameBytes) {
        return 0;
    }
    std::memcpy(recordName, kClassPrefix, sizeof kClassPrefix - 1);
    std::memcpy(recordName + sizeof kClassPrefix - 1, driverKeyName, length + 1);
    return 1;
}

bool HoldsSetting(const RegistryValue &value) {
    if (!value.present || value.tooLarge || value.type != kRegSz || value.size == 0 || value.data[0] != '1') {
        return false;
    }
    return value.size == 1 || (value.size == 2 && value.data[1] == '\0');
}

} // namespace kit
