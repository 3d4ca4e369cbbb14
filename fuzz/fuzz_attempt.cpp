// fuzz_attempt.cpp - one attempt of the tool on a machine built from the
// fuzzer's bytes.
//
// The machine's devices carry hardware IDs of any shape, properties of 0 to
// 300 bytes with and without NULs (or none), instance-key values of any type
// and length, drivers that answer anything, fail or answer short, version
// fields of any value, and at most one injected fault. Beyond the sanitizers
// the attempt must close every key, handle, device set and heap block it
// opened, change the registry at most by "EDCCAEnable" = "1" in the key that
// the driver key name of a matching device names, that name the network
// class (its GUID, or on the older layout also its name "Net") and an
// instance part of four characters (never a hive root, the class root, a
// class key, a key of another class or of another instance), and write
// nothing but the tool's own trace lines. Whenever the value is written, the
// region that decided it was read from the device file of the device whose
// key was written.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter_detection.h"
#include "control/main_cycle.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "runner/run_tool.h"

namespace {

constexpr char kNetClassGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr char kOlderNetRoot[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\";
constexpr char kEnvironmentKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kPropertyNames[][24] = {"HardwareID", "FriendlyName",        "DeviceDesc",
                                       "Driver",     "LocationInformation", "Mfg"};
constexpr const char *kOperations[] = {"RegOpenKeyExA",
                                       "RegQueryValueExA",
                                       "RegSetValueExA",
                                       "SetupDiClassGuidsFromNameA",
                                       "SetupDiGetClassDevsA",
                                       "SetupDiEnumDeviceInfo",
                                       "SetupDiGetDeviceRegistryPropertyA",
                                       "CreateFileA",
                                       "DeviceIoControl",
                                       "LocalAlloc",
                                       "GetVersionExA"};
constexpr std::uint32_t kQueryIds[] = {sim::kOidEepromOlder, sim::kOidRegionOlder, sim::kOidEepromNewer,
                                       sim::kOidRegionNewer};

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

std::vector<std::uint8_t> ToBytes(const std::string &text) { return {text.begin(), text.end()}; }

// The Enum key of the device made at an index.
std::string DeviceKey(std::size_t index) {
    return "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\" + std::to_string(index);
}

// The newer layout's instance key of the network class.
std::string NetInstanceKey(const std::string &instance) {
    return kClassRoot + std::string(kNetClassGuid) + "\\" + instance;
}

// Bytes of any length up to 300, or a realistic text with its NUL.
std::vector<std::uint8_t> ConsumeValueBytes(FuzzedDataProvider &in, const std::string &likely) {
    if (in.ConsumeBool()) {
        std::string text = likely;
        text.push_back('\0');
        return ToBytes(text);
    }
    return in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
}

// A value of any type, or none at all.
void ConsumeValue(FuzzedDataProvider &in, sim::Registry &registry, const std::string &key, const std::string &name,
                  const std::string &likely) {
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        return;
    }
    std::uint32_t const type = in.ConsumeBool() ? 1U : in.ConsumeIntegralInRange<std::uint32_t>(0, 11);
    registry.SetValue(key, name, type, ConsumeValueBytes(in, likely));
}

// A hardware-ID multi-string: the pattern in any case, with suffixes, in any
// position, or other text; sometimes without its terminating NULs.
std::vector<std::uint8_t> ConsumeHardwareIds(FuzzedDataProvider &in) {
    std::string ids;
    int const count = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            ids += "USB\\VID_13B1&PID_003B";
            break;
        case 1:
            ids += "usb\\vid_13b1&pid_003b&rev_0001";
            break;
        case 2:
            ids += "PCI\\VEN_8086&DEV_100E";
            break;
        default:
            ids += in.ConsumeRandomLengthString(280);
            break;
        }
        ids.push_back('\0');
    }
    if (in.ConsumeBool()) {
        ids.push_back('\0');
    }
    return ToBytes(ids);
}

std::string ConsumeInstanceName(FuzzedDataProvider &in, int index) {
    if (in.ConsumeIntegralInRange(0, 5) == 0) {
        return in.ConsumeRandomLengthString(8);
    }
    char name[8];
    std::snprintf(name, sizeof name, "%04d", index + in.ConsumeIntegralInRange(0, 2));
    return name;
}

// Returns the device's instance key name.
std::string ConsumeDevice(FuzzedDataProvider &in, sim::Machine &machine, int index) {
    sim::Registry &registry = machine.registry;
    std::string const enumKey = DeviceKey(index);
    registry.CreateKey(enumKey);
    registry.SetString(enumKey, "ClassGUID", in.ConsumeIntegralInRange(0, 9) == 0 ? "{00000000}" : kNetClassGuid);
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        registry.SetValue(enumKey, kPropertyNames[0], 7, ConsumeHardwareIds(in));
    }
    std::string instance = ConsumeInstanceName(in, index);
    std::string const identifier = "{11111111-2222-3333-4444-55555555555" + std::to_string(index % 10) + "}";
    ConsumeValue(in, registry, enumKey, kPropertyNames[1], "Wireless LAN USB Adapter");
    ConsumeValue(in, registry, enumKey, kPropertyNames[2], "USB Wireless Adapter");
    ConsumeValue(in, registry, enumKey, kPropertyNames[3], std::string(kNetClassGuid) + "\\" + instance);
    ConsumeValue(in, registry, enumKey, kPropertyNames[4], "Port_#0001.Hub_#0002");
    ConsumeValue(in, registry, enumKey, kPropertyNames[5], "Vendor");

    ConsumeValue(in, registry, NetInstanceKey(instance), "NetCfgInstanceId", identifier);
    ConsumeValue(in, registry, kOlderNetRoot + instance, "DeviceVxDs", identifier);

    if (in.ConsumeIntegralInRange(0, 3) == 0) {
        return instance; // no driver loaded
    }
    sim::Driver driver;
    driver.deviceName = in.ConsumeBool() ? identifier : in.ConsumeRandomLengthString(70);
    for (std::uint32_t const oid : kQueryIds) {
        sim::QueryAnswer answer;
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            answer.kind = sim::QueryAnswer::Kind::Fail;
            break;
        case 1:
            answer.kind = sim::QueryAnswer::Kind::Eeprom;
            break;
        default:
            answer.kind = sim::QueryAnswer::Kind::Word;
            break;
        }
        answer.word = in.ConsumeBool() ? 0x0100U : in.ConsumeIntegral<std::uint32_t>();
        answer.eeprom[in.ConsumeIntegralInRange<std::uint32_t>(0, 0x40)] = in.ConsumeIntegral<std::uint8_t>();
        answer.error = in.ConsumeIntegralInRange<std::int32_t>(1, 2000);
        if (in.ConsumeIntegralInRange(0, 5) == 0) {
            answer.answerBytes = in.ConsumeIntegralInRange<std::uint32_t>(0, 16);
        }
        driver.answers[oid].push_back(answer);
    }
    machine.drivers.push_back(driver);
    return instance;
}

// A driver that answers region 1 for the device file of an identifier.
sim::Driver RegionOneDriver(const std::string &identifier) {
    sim::Driver driver;
    driver.deviceName = identifier;
    for (std::uint32_t const oid : kQueryIds) {
        sim::QueryAnswer answer;
        answer.kind = sim::QueryAnswer::Kind::Word;
        answer.word = 0x0100U;
        driver.answers[oid].push_back(answer);
    }
    return driver;
}

// Reshapes some devices' driver key names and instance identifiers into the
// forms that must not misdirect the write: names without a backslash, with a
// trailing one, empty, a class key; identifiers empty or at the length bound
// of the device path (59 fits behind "\\.\", 60 does not). Consumed after
// everything else, so that an input of an earlier form builds the machine it
// always built.
void ConsumeReshapes(FuzzedDataProvider &in, sim::Machine &machine, const std::vector<std::string> &instances) {
    for (std::size_t index = 0; index < instances.size(); ++index) {
        std::string const &instance = instances[index];
        std::string const enumKey = DeviceKey(index);
        std::optional<std::string> driverName;
        std::optional<std::string> identifier;
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 1:
            driverName = instance;
            break;
        case 2:
            driverName = "x" + instance;
            break;
        case 3:
            driverName = std::string(kNetClassGuid) + "\\";
            break;
        case 4:
            driverName = kNetClassGuid;
            break;
        case 5:
            driverName = "";
            break;
        case 6:
            identifier = "";
            break;
        case 7:
            identifier = std::string(59, static_cast<char>('a' + index));
            break;
        case 8:
            identifier = std::string(60, static_cast<char>('a' + index));
            break;
        default:
            break;
        }
        if (driverName) {
            machine.registry.SetValue(enumKey, kPropertyNames[3], 1, ToBytes(*driverName + '\0'));
        }
        if (identifier) {
            machine.registry.SetValue(NetInstanceKey(instance), "NetCfgInstanceId", 1, ToBytes(*identifier + '\0'));
            machine.registry.SetValue(kOlderNetRoot + instance, "DeviceVxDs", 1, ToBytes(*identifier + '\0'));
            machine.drivers.push_back(RegionOneDriver(*identifier));
        }
    }
}

// Reshapes some devices into the forms that must not pair one device's file
// with another's key: identifiers that cannot be read, driver key names with
// an instance part of five characters, of another class, or of no GUID; and
// the lower-case network class, which must still pair. Consumed after the
// earlier reshapes, so inputs of an earlier form build the machines they did.
void ConsumeMoreReshapes(FuzzedDataProvider &in, sim::Machine &machine, const std::vector<std::string> &instances) {
    for (std::size_t index = 0; index < instances.size(); ++index) {
        std::string const &instance = instances[index];
        std::string const enumKey = DeviceKey(index);
        std::optional<std::string> driverName;
        switch (in.ConsumeIntegralInRange(0, 6)) {
        case 1:
            if (sim::RegistryKey *const key = machine.registry.FindKey(NetInstanceKey(instance))) {
                key->DeleteValue("NetCfgInstanceId");
            }
            if (sim::RegistryKey *const key = machine.registry.FindKey(kOlderNetRoot + instance)) {
                key->DeleteValue("DeviceVxDs");
            }
            break;
        case 2:
            driverName = std::string(kNetClassGuid) + "\\1" + instance;
            break;
        case 3:
            driverName = "{36FC9E60-C465-11CF-8056-444553540000}\\" + instance;
            break;
        case 4:
            driverName = "N\\" + instance.substr(instance.empty() ? 0 : instance.size() - 1);
            break;
        case 5:
            driverName = "N\\" + instance;
            break;
        case 6:
            driverName = "{4d36e972-e325-11ce-bfc1-08002be10318}\\" + instance;
            break;
        default:
            break;
        }
        if (driverName) {
            machine.registry.SetValue(enumKey, kPropertyNames[3], 1, ToBytes(*driverName + '\0'));
            // The key it names exists, as another class's instance key does.
            machine.registry.CreateKey(kClassRoot + *driverName);
        }
    }
}

// Reshapes some devices' driver key names into class parts of the older
// layout: the class name in any case, which must pair with Services\Class\Net,
// and other classes' names, which must not. Consumed last, so that inputs of
// an earlier form build the machines they did.
void ConsumeOlderReshapes(FuzzedDataProvider &in, sim::Machine &machine, const std::vector<std::string> &instances) {
    static const char *const classParts[] = {nullptr, "Net", "nET", "Foo", "Ne", "Nets"};
    for (std::size_t index = 0; index < instances.size(); ++index) {
        const char *const classPart = classParts[in.ConsumeIntegralInRange<std::size_t>(0, std::size(classParts) - 1)];
        if (classPart == nullptr) {
            continue;
        }
        std::string const driverName = classPart + ("\\" + instances[index]);
        machine.registry.SetValue(DeviceKey(index), kPropertyNames[3], 1, ToBytes(driverName + '\0'));
        machine.registry.CreateKey(kClassRoot + driverName);
    }
}

// Returns the number of devices made.
int ConsumeMachine(FuzzedDataProvider &in, sim::Machine &machine) {
    sim::VersionInfo &version = machine.version;
    bool const anyVersion = in.ConsumeIntegralInRange(0, 3) == 0;
    version.major = anyVersion ? in.ConsumeIntegral<std::uint32_t>() : in.ConsumeIntegralInRange<std::uint32_t>(3, 10);
    version.minor = anyVersion ? in.ConsumeIntegral<std::uint32_t>() : in.ConsumeIntegralInRange<std::uint32_t>(0, 90);
    version.build = in.ConsumeIntegral<std::uint32_t>();
    version.platformId = in.ConsumeIntegralInRange<std::uint32_t>(0, 3);
    version.productType = in.ConsumeIntegral<std::uint8_t>();
    version.serverR2 = in.ConsumeIntegralInRange(0, 1);
    version.getVersionFails = in.ConsumeIntegralInRange(0, 15) == 0;

    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        machine.registry.CreateKey(kEnvironmentKey);
        ConsumeValue(in, machine.registry, kEnvironmentKey, "PROCESSOR_ARCHITECTURE", "AMD64");
    }
    if (in.ConsumeIntegralInRange(0, 7) != 0) {
        machine.registry.SetString(kClassRoot + std::string(kNetClassGuid), "Class", "Net");
    }
    int const devices = in.ConsumeIntegralInRange(0, 3);
    std::vector<std::string> instances;
    instances.reserve(devices);
    for (int i = 0; i < devices; ++i) {
        instances.push_back(ConsumeDevice(in, machine, i));
    }
    if (in.ConsumeIntegralInRange(0, 3) == 0) {
        sim::Fault fault;
        fault.operation = kOperations[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kOperations) - 1)];
        fault.callNumber = in.ConsumeIntegralInRange(0, 6);
        fault.error = in.ConsumeIntegralInRange<std::int32_t>(1, 2000);
        machine.faults.push_back(fault);
    }
    ConsumeReshapes(in, machine, instances);
    ConsumeMoreReshapes(in, machine, instances);
    ConsumeOlderReshapes(in, machine, instances);
    return devices;
}

// Takes the trace and the path the tool wrote to. Returns the length of the
// trace line that starts at `at`, or 0 when none of the tool's lines does.
std::size_t MatchTraceLine(const std::string &trace, std::size_t at, const std::string &driverKeyPath) {
    struct Line {
        const char *prefix;
        const char *digits; // characters the placeholder may take; null: no placeholder
        const char *suffix;
    };
    std::string const openFailed = "RegOpenKeyEx '" + driverKeyPath + "' failed\n";
    static const Line lines[] = {
        {"--> DetectAdapter()\n", nullptr, ""},
        {"<-- DetectAdapter()\n", nullptr, ""},
        {"--> GetAvailableAdapters()\n", nullptr, ""},
        {"<-- GetAvailableAdapters() : return ZOWL_ERROR_UNKNOWN\n", nullptr, ""},
        {"<-- GetAvailableAdapters() : devs == INVALID_HANDLE_VALUE\n", nullptr, ""},
        {"GetAvailableAdapters() : No Available Adapter\n", nullptr, ""},
        {"<-- GetAvailableAdapters() :  Available adapter number = ", "-0123456789", "\n"},
        {"IsX64Platform() : Open Registry Key Fail!", nullptr, ""},
        {"IsX64Platform() : Get Platform Type Fail!", nullptr, ""},
        {"[VT][ZoWLAPI] QueryOID Get Mac file failed!", nullptr, ""},
        {"[VT][ZoWLAPI] QueryOID create Mac file failed!", nullptr, ""},
        {"[VT][ZoWLAPI] QueryOID Failed!\n", nullptr, ""},
        {" Offset 0x38 = 0x", "0123456789abcdef", " \n"},
        {"Cannot find any adapter card !\n", nullptr, ""},
        {"RegSetValueEx REGSTR_RADIO '1' failed\n", nullptr, ""},
    };
    if (trace.compare(at, openFailed.size(), openFailed) == 0) {
        return openFailed.size();
    }
    static const std::string region = " GetSupportCountryRegion Offset 0x38 = 0x";
    if (trace.compare(at, region.size(), region) == 0) {
        std::size_t end = trace.find_first_not_of("0123456789abcdef", at + region.size());
        static const std::string middle = " , 0x39 = 0x";
        if (end == std::string::npos || trace.compare(end, middle.size(), middle) != 0) {
            return 0;
        }
        end = trace.find_first_not_of("0123456789abcdef", end + middle.size());
        return end != std::string::npos && trace.compare(end, 2, " \n") == 0 ? end + 2 - at : 0;
    }
    for (const Line &line : lines) {
        std::size_t const prefixLength = std::strlen(line.prefix);
        if (trace.compare(at, prefixLength, line.prefix) != 0) {
            continue;
        }
        std::size_t end = at + prefixLength;
        if (line.digits != nullptr) {
            end = trace.find_first_not_of(line.digits, end);
            if (end == std::string::npos || end == at + prefixLength) {
                return 0;
            }
        }
        std::size_t const suffixLength = std::strlen(line.suffix);
        return trace.compare(end, suffixLength, line.suffix) == 0 ? end + suffixLength - at : 0;
    }
    return 0;
}

void CheckTrace(const std::string &trace) {
    std::string const driverKeyPath(DriverKeyPath);
    for (std::size_t at = 0; at < trace.size();) {
        std::size_t const length = MatchTraceLine(trace, at, driverKeyPath);
        if (length == 0) {
            Fail("the trace holds text that is not the tool's", trace.substr(at, 200));
        }
        at += length;
    }
}

// Takes a value and the size of the buffer it is read into. Returns its text
// as the tool reads it, up to the first NUL; nothing when it does not fit.
std::string ReadText(const sim::RegistryValue *value, std::size_t bufferSize) {
    if (value == nullptr || value->data.size() > bufferSize) {
        return "";
    }
    std::string const bytes(value->data.begin(), value->data.end());
    return bytes.substr(0, bytes.find('\0'));
}

// A driver key the setting may land in, and the device files that may decide
// it: those of its device's instance identifier, as each layout the tool may
// use reads it.
struct PermittedKey {
    std::string key;                      // upper-cased path under HKEY_LOCAL_MACHINE
    std::vector<std::string> identifiers; // empty: no file may decide it
};

// The registry layouts the attempt may use: the version code's threshold of
// 11 falls between major versions 4 and 5; a failing GetVersionExA reads as 0.
struct Layouts {
    bool newer;
    bool older;
};

Layouts PossibleLayouts(const sim::Machine &machine) {
    bool const newer = !machine.version.getVersionFails && machine.version.major >= 5;
    bool const versionFaulted = std::any_of(machine.faults.begin(), machine.faults.end(),
                                            [](const sim::Fault &f) { return f.operation == "GetVersionExA"; });
    return {newer || versionFaulted, !newer || versionFaulted};
}

// Takes an instance-key value. Adds its text to the identifiers when the
// tool reads it whole (a 256-byte buffer) and it fits behind "\\.\".
void AddIdentifier(const sim::RegistryValue *value, std::vector<std::string> *identifiers) {
    if (value == nullptr || value->data.size() > 256) {
        return;
    }
    std::string const identifier = ReadText(value, 256);
    if (identifier.size() <= 59) {
        identifiers->push_back(identifier);
    }
}

// Takes the machine as built. Returns the driver keys the setting may land
// in: those named by the driver key name of a network-class device whose
// first hardware ID holds the pattern, the name the network class and an
// instance part of four characters (the class by its GUID, or on the older
// layout also by its name), each with its device's identifiers.
std::vector<PermittedKey> PermittedDriverKeys(const sim::Machine &machine, int devices) {
    Layouts const layouts = PossibleLayouts(machine);
    std::vector<PermittedKey> keys;
    for (int index = 0; index < devices; ++index) {
        std::string const enumKey = DeviceKey(index);
        std::string const classGuid = ReadText(machine.registry.FindValue(enumKey, "ClassGUID"), 256);
        std::string const hardwareId = sim::UpperCase(ReadText(machine.registry.FindValue(enumKey, "HardwareID"), 256));
        std::string const name = ReadText(machine.registry.FindValue(enumKey, "Driver"), 256);
        std::size_t const split = name.find('\\');
        bool const shaped = split != std::string::npos && split > 0 && name.size() == split + 5 &&
                            name.find('\\', split + 1) == std::string::npos;
        if (classGuid != kNetClassGuid || hardwareId.find("USB\\VID_13B1&PID_003B") == std::string::npos || !shaped) {
            continue;
        }
        std::string const instance = name.substr(split + 1);
        std::string const classPart = name.substr(0, split);
        bool const newer = layouts.newer && sim::EqualsIgnoreCase(classPart, kNetClassGuid);
        bool const older = layouts.older &&
                           (sim::EqualsIgnoreCase(classPart, kNetClassGuid) || sim::EqualsIgnoreCase(classPart, "Net"));
        PermittedKey key{sim::UpperCase(kClassRoot + name), {}};
        if (newer) {
            AddIdentifier(machine.registry.FindValue(NetInstanceKey(instance), "NetCfgInstanceId"), &key.identifiers);
        }
        if (older) {
            AddIdentifier(machine.registry.FindValue(kOlderNetRoot + instance, "DeviceVxDs"), &key.identifiers);
        }
        if (newer || older) {
            keys.push_back(key);
        }
    }
    return keys;
}

// Takes the machine after the attempt. Returns true when the last region
// request went to the device file of one of the identifiers.
bool RegionCameFrom(const sim::Machine &machine, const std::vector<std::string> &identifiers) {
    for (auto request = machine.requests.rbegin(); request != machine.requests.rend(); ++request) {
        if (request->oid == sim::kOidRegionOlder || request->oid == sim::kOidRegionNewer) {
            return std::any_of(identifiers.begin(), identifiers.end(), [&](const std::string &identifier) {
                return sim::EqualsIgnoreCase(identifier, request->deviceName);
            });
        }
    }
    return false;
}

void CheckRegistryEffect(const sim::Registry &before, const sim::Machine &machine,
                         const std::vector<PermittedKey> &permitted) {
    std::vector<sim::RegistryChange> const changes = sim::DiffRegistries(before, machine.registry);
    if (changes.empty()) {
        return;
    }
    const sim::RegistryChange &change = changes.front();
    std::string const detail =
        change.keyPath + " " + change.valueName + " (" + std::to_string(changes.size()) + " changes)";
    bool const value = changes.size() == 1 && change.kind == sim::RegistryChange::Kind::ValueSet &&
                       sim::EqualsIgnoreCase(change.valueName, "EDCCAEnable") && change.type == 1 &&
                       change.data == std::vector<std::uint8_t>{'1', 0};
    std::vector<std::string> identifiers;
    bool keyPermitted = false;
    for (const PermittedKey &candidate : permitted) {
        if (candidate.key == sim::UpperCase(change.keyPath)) {
            keyPermitted = true;
            identifiers.insert(identifiers.end(), candidate.identifiers.begin(), candidate.identifiers.end());
        }
    }
    if (!value || !keyPermitted) {
        Fail("the registry changed beyond EDCCAEnable = \"1\" in a matching device's driver key", detail);
    }
    if (!RegionCameFrom(machine, identifiers)) {
        Fail("the setting was written into a device's key on another device's region", detail);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    sim::Machine machine;
    int const devices = ConsumeMachine(in, machine);
    std::vector<PermittedKey> const permitted = PermittedDriverKeys(machine, devices);
    sim::Registry const before = machine.registry.Clone();

    sim::ResetToolState();
    sim::ProcessOutcome const outcome = sim::RunProcess(machine, [] { RunAttempt(); });
    if (outcome.exited) {
        Fail("one attempt ended the process", std::to_string(outcome.exitCode));
    }
    if (machine.OpenKeyCount() != 0 || machine.OpenHandleCount() != 0 || machine.OpenDeviceSetCount() != 0 ||
        machine.LiveBlockCount() != 0) {
        std::string open;
        for (const std::string &object : machine.OpenObjects()) {
            open += object + "\n";
        }
        Fail("the attempt left objects open", open);
    }
    CheckRegistryEffect(before, machine, permitted);
    CheckTrace(machine.standardOutput);
    return 0;
}
