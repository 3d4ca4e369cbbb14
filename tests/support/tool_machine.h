// tool_machine.h - simulated machines for the tool's tests: the network
// class, adapters with their registry keys and drivers, Windows versions,
// and readers of the call log. Header-only.

#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "adapter/adapter_detection.h"
#include "driver/driver_query.h"
#include "host/host.h"
#include "machine/machine.h"
#include "runner/run_tool.h"

namespace support {

using sim::Operation; // the host calls, as the log and faults name them

constexpr char kNetClassGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kNetClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kOlderNetKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net";
constexpr char kEnvironmentKey[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kDriverKeyRoot[] = "System\\CurrentControlSet\\Control\\Class\\";

// Instance identifiers of the adapters in the tests.
constexpr char kGuidA[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char kGuidB[] = "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}";
constexpr char kGuidC[] = "{99999999-8888-7777-6666-000000000000}";

inline std::vector<std::uint8_t> Bytes(const std::string &raw) { return {raw.begin(), raw.end()}; }

// A REG_SZ image: the text and its NUL.
inline std::string Sz(const std::string &text) { return text + std::string(1, '\0'); }

// A REG_MULTI_SZ image: each string with its NUL, then the closing NUL.
inline std::string MultiSz(const std::vector<std::string> &strings) {
    std::string raw;
    for (const std::string &s : strings) {
        raw += s;
        raw += '\0';
    }
    return raw + std::string(1, '\0');
}

// "\\.\" and an identifier, as the tool names a device file.
inline std::string DeviceFile(const std::string &identifier) { return "\\\\.\\" + identifier; }

// The driver key path the tool forms for a driver key name.
inline std::string DriverKeyFor(const std::string &driverName) { return kDriverKeyRoot + driverName; }

// Calls of one operation whose recorded fields pass a check.
template <typename Check> size_t CountCallsWhere(const sim::Machine &machine, Operation operation, Check check) {
    return static_cast<size_t>(std::count_if(machine.calls.begin(), machine.calls.end(), [&](const sim::CallRecord &c) {
        return c.operation == operation && check(c);
    }));
}

// Calls a fault made fail: of its operation, failed with its error.
inline size_t CountFailedCalls(const sim::Machine &machine, const sim::Fault &fault) {
    return CountCallsWhere(machine, fault.operation, [&](const sim::CallRecord &c) { return c.status == fault.error; });
}

// Opens of a key below HKLM, named as given, with the given rights and no
// options.
inline size_t CountKeyOpens(const sim::Machine &machine, const std::string &path, host::DWORD access) {
    return CountCallsWhere(machine, Operation::RegOpenKeyExA, [&](const sim::CallRecord &c) {
        return c.keyPath == path && c.access == access && c.options == 0;
    });
}

// Reads of a registry value; with a size, only those into a buffer of it.
inline size_t CountValueReads(const sim::Machine &machine, const std::string &name, host::DWORD size = 0) {
    return CountCallsWhere(machine, Operation::RegQueryValueExA, [&](const sim::CallRecord &c) {
        return c.valueName == name && (size == 0 || c.bufferSize == size);
    });
}

// Opens of a device file as the tool makes them: no access, shared for
// reading, an existing file, no flags.
inline size_t CountDeviceOpens(const sim::Machine &machine, const std::string &path) {
    return CountCallsWhere(machine, Operation::CreateFileA, [&](const sim::CallRecord &c) {
        return c.fileName == path && c.access == 0 && c.share == host::FILE_SHARE_READ &&
               c.disposition == host::OPEN_EXISTING && c.attributes == 0;
    });
}

// Allocations of a given size.
inline size_t CountAllocations(const sim::Machine &machine, host::DWORD bytes) {
    return CountCallsWhere(machine, Operation::LocalAlloc, [&](const sim::CallRecord &c) { return c.bytes == bytes; });
}

inline void SetArchitecture(sim::Machine &machine, const std::string &raw, host::DWORD type = host::REG_SZ) {
    machine.registry.SetValue(kEnvironmentKey, "PROCESSOR_ARCHITECTURE", type, Bytes(raw));
}

// A workstation of the given version and machine architecture.
inline void SetWindows(sim::Machine &machine, const char *architecture, host::DWORD major, host::DWORD minor,
                       host::DWORD build, host::DWORD platformId) {
    SetArchitecture(machine, Sz(architecture));
    machine.version.major = major;
    machine.version.minor = minor;
    machine.version.build = build;
    machine.version.platformId = platformId;
    machine.version.productType = host::VER_NT_WORKSTATION;
}

// Windows 7 x64 (code 44): the newer registry layout and the newer
// query identifiers.
inline void SetWindows7x64(sim::Machine &machine) { SetWindows(machine, "AMD64", 6, 1, 7601, 2); }

// Windows Me (code 4): the older registry layout and identifiers.
inline void SetWindowsMe(sim::Machine &machine) { SetWindows(machine, "x86", 4, 90, 3000, 1); }

struct DeviceSetup {
    std::string instancePath = "USB\\VID_13B1&PID_003B\\0001"; // under Enum
    std::string classGuid = kNetClassGuid;
    std::optional<std::string> hardwareId = MultiSz({"USB\\VID_13B1&PID_003B&REV_0100", "USB\\VID_13B1&PID_003B"});
    std::optional<std::string> friendlyName = Sz("Wireless USB Adapter #2");
    std::optional<std::string> deviceDesc = Sz("Wireless USB Adapter");
    std::optional<std::string> driver = Sz(std::string(kNetClassGuid) + "\\0007");
    std::optional<std::string> location = Sz("Port_#0003.Hub_#0001");
    std::optional<std::string> mfg = Sz("Example Networks");
    host::DWORD hardwareIdType = host::REG_MULTI_SZ;
    host::DWORD textType = host::REG_SZ; // of the other properties
};

// A device instance under Enum with its registry properties (raw images).
inline void AddDevice(sim::Machine &machine, const DeviceSetup &setup) {
    std::string const key = std::string(kEnumRoot) + "\\" + setup.instancePath;
    machine.registry.CreateKey(key);
    machine.registry.SetString(key, "ClassGUID", setup.classGuid);
    if (setup.hardwareId) {
        machine.registry.SetValue(key, "HardwareID", setup.hardwareIdType, Bytes(*setup.hardwareId));
    }
    const std::pair<const char *, const std::optional<std::string> *> texts[] = {
        {"FriendlyName", &setup.friendlyName},
        {"DeviceDesc", &setup.deviceDesc},
        {"Driver", &setup.driver},
        {"LocationInformation", &setup.location},
        {"Mfg", &setup.mfg}};
    for (const auto &[name, text] : texts) {
        if (*text) {
            machine.registry.SetValue(key, name, setup.textType, Bytes(**text));
        }
    }
}

// NetCfgInstanceId of an instance key (newer layout), as a raw image.
inline void SetNetCfgInstanceId(sim::Machine &machine, const std::string &instanceNumber, const std::string &raw,
                                host::DWORD type = host::REG_SZ) {
    machine.registry.SetValue(std::string(kNetClassKey) + "\\" + instanceNumber, "NetCfgInstanceId", type, Bytes(raw));
}

// DeviceVxDs of an instance key (older layout), as a raw image.
inline void SetDeviceVxDs(sim::Machine &machine, const std::string &instanceNumber, const std::string &raw) {
    machine.registry.SetValue(std::string(kOlderNetKey) + "\\" + instanceNumber, "DeviceVxDs", host::REG_SZ,
                              Bytes(raw));
}

// The query identifiers the driver answers: the older pair, then the newer.
constexpr host::DWORD kRegionIds[] = {0x0D710107, 0xFF0C0003};
constexpr host::DWORD kEepromIds[] = {0x0D710105, 0xFF0C0008};

// A driver answering both queries with fixed values (either pair of ids).
inline sim::Driver MakeDriver(const std::string &deviceName, std::uint32_t regionWord, std::uint8_t eepromByte = 0x5A) {
    sim::Driver driver;
    driver.deviceName = deviceName;
    sim::QueryAnswer region; // a word
    region.word = regionWord;
    sim::QueryAnswer eeprom;
    eeprom.kind = sim::QueryAnswer::Kind::Eeprom;
    eeprom.eeprom[0x38] = eepromByte;
    for (host::DWORD oid : kRegionIds) {
        driver.answers[oid].push_back(region);
    }
    for (host::DWORD oid : kEepromIds) {
        driver.answers[oid].push_back(eeprom);
    }
    return driver;
}

struct AdapterSetup {
    std::string serial = "0001";         // the Enum instance name
    std::string instanceNumber = "0007"; // the instance key under the class key
    std::string identifier = kGuidA;     // NetCfgInstanceId / device name
    std::uint32_t regionWord = 0x0100;   // region 1
    bool withDriver = true;              // a driver whose device file exists
};

// A complete adapter on the newer layout: device, instance key, driver.
inline void AddAdapter(sim::Machine &machine, const AdapterSetup &setup) {
    AddDevice(machine, {.instancePath = "USB\\VID_13B1&PID_003B\\" + setup.serial,
                        .friendlyName = Sz("Wireless USB Adapter " + setup.serial),
                        .driver = Sz(std::string(kNetClassGuid) + "\\" + setup.instanceNumber)});
    SetNetCfgInstanceId(machine, setup.instanceNumber, Sz(setup.identifier));
    if (setup.withDriver) {
        machine.drivers.push_back(MakeDriver(setup.identifier, setup.regionWord));
    }
}

// A network card the tool does not serve.
inline void AddOtherNetCard(sim::Machine &machine, const std::string &serial = "3&11583659&0&C8") {
    AddDevice(machine,
              {.instancePath = "PCI\\VEN_8086&DEV_100E&SUBSYS_001E8086&REV_02\\" + serial,
               .hardwareId = MultiSz({"PCI\\VEN_8086&DEV_100E&SUBSYS_001E8086&REV_02", "PCI\\VEN_8086&DEV_100E"}),
               .friendlyName = Sz("Intel(R) PRO/1000 MT Desktop Adapter"),
               .driver = Sz(std::string(kNetClassGuid) + "\\0001")});
}

// Windows 7 x64 with the "Net" setup class, as Control\Class keeps it: the
// usual machine of the tests.
inline void PrepareMachine(sim::Machine &machine) {
    SetWindows7x64(machine);
    machine.registry.SetString(kNetClassKey, "Class", "Net");
}

// Names a parameterised case after its row.
inline constexpr auto RowName = [](const auto &row) { return std::string(row.param.name); };

// The tool's module-level strings as a fresh process has them.
inline void ResetToolState() { sim::ResetToolState(); }

inline void SetToolStrings(const std::string &macFileName, const std::string &driverKeyPath) {
    ResetToolState();
    std::memcpy(MacFileName, macFileName.c_str(), macFileName.size() + 1);
    std::memcpy(DriverKeyPath, driverKeyPath.c_str(), driverKeyPath.size() + 1);
}

// Every key, handle, device set and heap block of the process released.
inline bool NothingLeftOpen(const sim::Machine &machine) {
    return machine.OpenKeyCount() == 0 && machine.OpenHandleCount() == 0 && machine.OpenDeviceSetCount() == 0 &&
           machine.LiveBlockCount() == 0;
}

// Trace lines of detection.
constexpr char kDetectIn[] = "--> DetectAdapter()\n";
constexpr char kDetectOut[] = "<-- DetectAdapter()\n";
constexpr char kEnumIn[] = "--> GetAvailableAdapters()\n";
constexpr char kNoAdapter[] = "GetAvailableAdapters() : No Available Adapter\n";

inline std::string EnumOut(int result) {
    return "<-- GetAvailableAdapters() :  Available adapter number = " + std::to_string(result) + "\n";
}

// The trace of one detection that found `count` adapters (one walk, or two
// when more than one).
inline std::string DetectTrace(int count) {
    if (count == 0) {
        return std::string(kDetectIn) + kEnumIn + kNoAdapter + EnumOut(0) + kDetectOut;
    }
    if (count == 1) {
        return std::string(kDetectIn) + kEnumIn + EnumOut(1) + kDetectOut;
    }
    return std::string(kDetectIn) + kEnumIn + EnumOut(-10) + kEnumIn + EnumOut(count) + kDetectOut;
}

// Takes text and a count. Returns the text that many times, as a run repeats an attempt.
inline std::string Repeat(const std::string &text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += text;
    }
    return all;
}

// Takes text with LF line ends. Returns it with CR LF, as the program writes on Windows.
inline std::string WithCrLf(const std::string &text) {
    std::string crlf;
    for (char c : text) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return crlf;
}

// Takes nothing. Returns every examples/*.json and tests/scenarios/*.json,
// relative to the source tree, sorted.
inline std::vector<std::string> ListScenarioFiles() {
    std::vector<std::string> files;
    for (const char *folder : {"examples", "tests/scenarios"}) {
        for (const auto &entry :
             std::filesystem::directory_iterator(std::filesystem::path(EDCCA_SOURCE_DIR) / folder)) {
            if (entry.path().extension() == ".json") {
                files.push_back(std::string(folder) + "/" + entry.path().filename().string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace support
