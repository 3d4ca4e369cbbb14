// kit_adapters.h - the adapters the kit handles, as plain records: one per
// network-class device whose upper-cased first hardware ID contains the
// adapter's ID, present or not, with its driver key's EDCCAEnable value.

#pragma once

#include <cstddef>
#include <cstdint>

namespace kit {

constexpr char kAdapterHardwareId[] = "USB\\VID_13B1&PID_003B";
constexpr char kNetClassGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kClassKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr char kNetClassKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kEdccaValueName[] = "EDCCAEnable";

constexpr std::size_t kMostAdapters = 64;     // more cannot be planned for: the run refuses
constexpr std::size_t kMostNameBytes = 256;   // instance IDs, driver key names, record names (with NUL)
constexpr std::size_t kMostValueBytes = 1024; // an EDCCAEnable value larger than this cannot be recorded

// A registry value as the A calls give it.
struct RegistryValue {
    bool present = false;
    std::uint32_t type = 0;
    std::uint32_t size = 0; // bytes in data
    bool tooLarge = false;  // larger than kMostValueBytes: data not kept
    unsigned char data[kMostValueBytes] = {};
};

struct Adapter {
    char instanceId[kMostNameBytes] = {};    // "USB\VID_13B1&PID_003B\00E04C3B0001"
    char driverKeyName[kMostNameBytes] = {}; // SPDRP_DRIVER: "{4D36E972-...}\0007"
    char recordName[kMostNameBytes] = {};    // "0007" in the network class, else "Class\\" + driverKeyName
    bool present = false;
    bool driverKeyExists = false;
    RegistryValue value; // EDCCAEnable in the driver key
};

struct AdapterList {
    std::size_t count = 0;
    bool overflowed = false; // more matching devices than kMostAdapters
    Adapter adapters[kMostAdapters];
};

// Takes a first hardware ID. Returns whether the program takes such a device:
// its upper-cased text contains kAdapterHardwareId.
bool MatchesAdapter(const char *firstHardwareId);

// Takes a driver key name and a buffer of kMostNameBytes. Writes the record
// name: the part after "{4D36E972-...}\" (compared without case) when it
// holds no backslash, else "Class\" and the whole name. Returns 1, or 0 for
// an empty name, one with an empty part (a leading, trailing or doubled
// backslash) or one too long.
int MakeRecordName(const char *driverKeyName, char *recordName);

// Takes a value. Returns whether it is the setting: REG_SZ "1" (with or
// without its NUL).
bool HoldsSetting(const RegistryValue &value);

} // namespace kit
