// fuzz_attempt.cpp - one attempt of the tool on a machine built from the
// fuzzer's bytes (fuzz_machine.h).
//
// Beyond the sanitizers
// the attempt must close every key, handle, device set and heap block it
// opened, change the registry at most by "EDCCAEnable" = "1" in the key that
// the driver key name of a matching device names, that name the network
// class (its GUID, or on the older layout also its name "Net") and an
// instance part of four characters (never a hive root, the class root, a
// class key, a key of another class or of another instance), and write
// nothing but the tool's own trace lines. Whenever the value is written, the
// region that decided it was read from the device file of the device whose
// key was written.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter_detection.h"
#include "fuzz_machine.h"
#include "machine/machine.h"
#include "machine/registry.h"
#include "runner/run_tool.h"

namespace {

using fuzz::DeviceKey;
using fuzz::kClassRoot;
using fuzz::kNetClassGuid;
using fuzz::kOlderNetRoot;
using fuzz::NetInstanceKey;

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
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
    bool const versionFaulted = std::any_of(machine.faults.begin(), machine.faults.end(), [](const sim::Fault &f) {
        return f.operation == sim::Operation::GetVersionExA;
    });
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
    int const devices = fuzz::ConsumeMachine(in, machine);
    std::vector<PermittedKey> const permitted = PermittedDriverKeys(machine, devices);
    sim::Registry const before = machine.registry.Clone();

    sim::ProcessOutcome const outcome = sim::RunToolAttempt(machine);
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
