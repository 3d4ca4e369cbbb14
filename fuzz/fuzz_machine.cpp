// fuzz_machine.cpp - a simulated machine built from the fuzzer's bytes, for
// the attempt and the replay targets (fuzz_machine.h).

#include "fuzz_machine.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "machine/registry.h"

namespace fuzz {
namespace {

constexpr char kEnvironmentKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kPropertyNames[][24] = {"HardwareID", "FriendlyName",        "DeviceDesc",
                                       "Driver",     "LocationInformation", "Mfg"};
constexpr sim::Operation kOperations[] = {sim::Operation::RegOpenKeyExA,
                                          sim::Operation::RegQueryValueExA,
                                          sim::Operation::RegSetValueExA,
                                          sim::Operation::SetupDiClassGuidsFromNameA,
                                          sim::Operation::SetupDiGetClassDevsA,
                                          sim::Operation::SetupDiEnumDeviceInfo,
                                          sim::Operation::SetupDiGetDeviceRegistryPropertyA,
                                          sim::Operation::CreateFileA,
                                          sim::Operation::DeviceIoControl,
                                          sim::Operation::LocalAlloc,
                                          sim::Operation::GetVersionExA};
constexpr std::uint32_t kQueryIds[] = {sim::kOidEepromOlder, sim::kOidRegionOlder, sim::kOidEepromNewer,
                                       sim::kOidRegionNewer};

std::vector<std::uint8_t> ToBytes(const std::string &text) { return {text.begin(), text.end()}; }

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

} // namespace

// The Enum key of the device made at an index.
std::string DeviceKey(std::size_t index) {
    return "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\" + std::to_string(index);
}

// The newer layout's instance key of the network class.
std::string NetInstanceKey(const std::string &instance) {
    return kClassRoot + std::string(kNetClassGuid) + "\\" + instance;
}

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

} // namespace fuzz
