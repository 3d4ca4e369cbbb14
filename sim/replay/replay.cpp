// replay.cpp - making a collection's scenario and judging its replay.

#include "replay/replay.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "judge/judge.h"
#include "kit/core/kit_adapters.h"
#include "kit/core/rollback_record.h"
#include "kit/core/run_account.h"
#include "machine/registry.h"
#include "machine/text.h"
#include "runner/run_tool.h"

namespace sim {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json; // fields in the order written, for a reader of the scenario

constexpr int kMostAdapters = 1000; // beyond any machine; bounds the number read
constexpr char kDevicePrefix[] = "\\\\.\\";
constexpr char kEnumKeyPath[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr const char *kEndNames[] = {"with no attempt", "Written", "Declined", "Exhausted", "cut short"};

// Takes a trace. Returns its last attempt (from its first line on), with
// *account the whole trace's, as the kit reads a trace.
std::string LastAttempt(const std::string &trace, kit::RunAccount *account) {
    kit::ReadRunAccount(trace.data(), trace.size(), account);
    return account->attempts == 0 ? std::string() : trace.substr(account->lastAttemptAt);
}

// Takes a call. Returns the name behind "\\.\" of the device file a CreateFileA
// call opens, when a driver could serve it (not empty, no backslash); else "".
std::string DeviceFileOf(const CallRecord &call) {
    std::string const name = call.fileName.substr(std::min(call.fileName.size(), sizeof kDevicePrefix - 1));
    bool const served = call.operation == Operation::CreateFileA && call.fileName.rfind(kDevicePrefix, 0) == 0 &&
                        name.find('\\') == std::string::npos;
    return served ? name : "";
}

// Takes a machine after a run. Returns the device files the tool tried to
// open, each once (as drivers are matched, without regard to case), in order.
std::vector<std::string> DeviceFilesTried(const Machine &machine) {
    std::vector<std::string> names;
    for (const CallRecord &call : machine.calls) {
        std::string const name = DeviceFileOf(call);
        if (!name.empty() && std::none_of(names.begin(), names.end(),
                                          [&name](const std::string &seen) { return EqualsIgnoreCase(seen, name); })) {
            names.push_back(name);
        }
    }
    return names;
}

// Takes a machine after a run. Returns the device file its first attempt's
// queries opened: the first one opened after detection; empty when none.
std::string QueriedDeviceFile(const Machine &machine) {
    std::string written;
    kit::AttemptRecord record;
    for (const CallRecord &call : machine.calls) {
        if (call.operation == Operation::WriteStandardOutput) {
            written += call.data;
            kit::ReadAttempt(written.data(), written.size(), &record);
            if (kit::FindAttemptStart(written.data(), written.size(), 1) < written.size()) {
                return "";
            }
        } else if (record.detected && call.operation == Operation::CreateFileA) {
            return DeviceFileOf(call);
        }
    }
    return "";
}

// Takes the collection and the machine made of it. Notes each adapter (a
// device whose first hardware ID the program takes), its presence and its
// driver key. Returns each one's device file (its NetCfgInstanceId) and key.
std::vector<std::pair<std::string, std::string>> NoteAdapters(const Collection &collection, const Registry &registry,
                                                              std::vector<std::string> *notes) {
    std::vector<std::pair<std::string, std::string>> adapters;
    std::map<std::string, std::string, LessIgnoringCase> states; // by driver key, the last line naming it
    for (const CollectedDriverKey &collected : collection.driverKeys) {
        states[collected.name] =
            ", the collector's open for writing: " + collected.state +
            (collected.state == "denied" ? " (" + ErrorName(collected.error) + ", so the program's is too; " +
                                               (collected.sddl.empty() ? "security unread" : collected.sddl) + ")"
                                         : "");
    }
    for (const DevicePresence &device : collection.devices) {
        const RegistryKey *instance = registry.FindKey(std::string(kEnumKeyPath) + "\\" + device.path);
        std::string const driver = instance == nullptr ? "" : TextOf(instance->FindValue("Driver"));
        if (instance == nullptr || !kit::MatchesAdapter(TextOf(instance->FindValue("HardwareID")).c_str())) {
            continue;
        }
        const RegistryKey *key =
            driver.empty() ? nullptr : registry.FindKey(std::string(kit::kClassKeyPath) + "\\" + driver);
        auto const state = states.find(driver);
        notes->push_back("adapter " + device.path + ": " + (device.present ? "present" : "absent") + ", driver key " +
                         (driver.empty() ? "(none)" : driver) + (key == nullptr ? " not in the exports" : " present") +
                         (state == states.end() ? "" : state->second));
        adapters.emplace_back(key == nullptr ? "" : TextOf(key->FindValue("NetCfgInstanceId")), driver);
    }
    return adapters;
}

// Takes the collected registry. Returns a network-class driver key of the
// adapter that no device instance of the exports names, as "" when none.
std::string FindOrphanDriverKey(const Registry &registry) {
    const RegistryKey *netClass = registry.FindKey(kit::kNetClassKeyPath);
    std::set<std::string, LessIgnoringCase> named; // looked up: a key per device costs no quadratic time
    for (const DeviceInstance &device : DeviceInstances(registry)) {
        named.insert(TextOf(device.key->FindValue("Driver")));
    }
    for (const RegistryKey *key : netClass == nullptr ? std::vector<RegistryKey *>() : netClass->Subkeys()) {
        std::string name = std::string(kit::kNetClassGuid) + "\\" + key->Name();
        if (named.count(name) == 0 && kit::MatchesAdapter(TextOf(key->FindValue("MatchingDeviceId")).c_str())) {
            return name;
        }
    }
    return "";
}

// Takes the scenario made so far (no drivers) and the recorded last
// attempt. Returns its drivers, from two silent attempts of the tool on it
// (the machine does not change between attempts, so the first tells) and
// the attempt's record; notes say how. *refusal names a collection whose
// exports hold fewer adapters than the attempt counted.
Json ReadDrivers(const Scenario &withoutDrivers, const kit::AttemptRecord &record, Replay *replay,
                 std::string *refusal) {
    Machine machine;
    BuildMachine(withoutDrivers, machine);
    std::vector<std::pair<std::string, std::string>> const adapters =
        NoteAdapters(replay->collection, machine.registry, &replay->notes);
    std::string const orphan = FindOrphanDriverKey(machine.registry);
    RunToolAttempt(machine);
    std::vector<std::string> const tried = DeviceFilesTried(machine);
    int const counted = record.noAdapter ? 0 : std::min(record.adaptersCounted, kMostAdapters);
    // Present or not: an adapter unplugged since the run is the machine changed, not the collection damaged.
    if (static_cast<size_t>(counted) > adapters.size()) {
        *refusal = "*.reg: adapters: the recorded last attempt counts " + std::to_string(counted) +
                   ", the exports hold " + std::to_string(adapters.size()) + "; missing: " +
                   (orphan.empty() ? "a device the exports do not hold"
                                   : "the device of driver key " + orphan + ", which no device instance names");
        return {};
    }
    Scenario everyDriver = withoutDrivers;
    for (const std::string &name : tried) {
        everyDriver.drivers.push_back(Driver{name, {}, {}});
    }
    BuildMachine(everyDriver, machine);
    RunToolAttempt(machine);
    std::string const queried = QueriedDeviceFile(machine);
    bool const queriedLoaded = !queried.empty() && counted > 0 && !record.deviceFileFailed;
    for (const auto &adapter : adapters) {
        replay->adapter =
            !queried.empty() && EqualsIgnoreCase(adapter.first, queried) ? adapter.second : replay->adapter;
    }

    Json drivers = Json::array();
    if (queriedLoaded) {
        drivers.push_back({{"device", queried}});
        if (record.eepromByte >= 0) {
            drivers[0]["eeprom"] = {{"0x38", Hex(record.eepromByte, 2)}};
        }
        if (record.regionByte >= 0) {
            drivers[0]["regionWord"] = Hex(record.regionByte << 8 | record.companionByte, 4);
        }
    }
    int loaded = queriedLoaded ? 1 : 0;
    for (const std::string &name : tried) {
        bool const isQueried = EqualsIgnoreCase(name, queried);
        if (!isQueried || !queriedLoaded) {
            bool const taken = !isQueried && loaded < counted;
            loaded += taken ? 1 : 0;
            drivers.push_back(taken ? Json{{"device", name}} : Json{{"device", name}, {"loaded", "never"}});
        }
    }
    replay->notes.push_back("drivers: the recorded last attempt counts " + std::to_string(counted) +
                            " adapter(s); detection tries " + std::to_string(tried.size()) + " device file(s)" +
                            (queried.empty()
                                 ? "; the queries open none"
                                 : "; the queries open \\\\.\\" + queried +
                                       (queriedLoaded ? ", loaded, answering " + drivers[0].dump() : ", not loaded")));
    return drivers;
}

// Takes a rollback record. Returns the regedit text that puts EDCCAEnable
// back as it was before the program's write; "" when it cannot.
std::string RestoreText(const CollectedRollback &rollback) {
    kit::RegistryValue value;
    if (rollback.keyPath.empty() || kit::DecodeRecord(rollback.text.c_str(), &value) == 0) {
        return "";
    }
    std::string text =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\" + rollback.keyPath + "]\r\n\"" + kit::kEdccaValueName + "\"=";
    if (!value.present) {
        return text + "-\r\n\r\n";
    }
    text += "hex(" + Hex(value.type, 1).substr(2) + "):";
    for (std::uint32_t i = 0; i < value.size; ++i) {
        text += Hex(value.data[i], 2).substr(2) + (i + 1 < value.size ? "," : "");
    }
    return text + "\r\n\r\n";
}

// Takes a collection and where its scenario's .reg names are relative to.
// Returns the scenario's JSON without drivers.
Json ComposeScenario(const Collection &collection, const std::string &scenarioPath) {
    const VersionInfo &version = collection.version;
    std::string folder = collection.folder;
    std::replace_if(
        folder.begin(), folder.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    Json scenario = {
        {"description", "Replay of the collection " + folder + " (Windows " + collection.recordedVersion + ")"},
        {"version",
         {{"major", version.major},
          {"minor", version.minor},
          {"build", version.build},
          {"platformId", version.platformId},
          {"productType", version.productType},
          {"serverR2", version.serverR2},
          {"csdVersion", version.csdVersion}}},
        {"registry", Json::array()},
        {"presence", Json::object()}};
    fs::path const base = fs::path(scenarioPath).parent_path();
    for (const std::string &name : collection.regFiles) {
        std::error_code failed;
        fs::path const file = fs::path(collection.folder) / name;
        fs::path relative =
            scenarioPath.empty() ? fs::path(name) : fs::relative(file, base.empty() ? "." : base, failed);
        if (failed || relative.empty()) {
            relative = fs::absolute(file, failed);
        }
        scenario["registry"].push_back(relative.generic_string());
    }
    // The machine as it was before the program's write: a collection made after one replays it.
    for (const CollectedRollback &rollback : collection.rollbackRecords) {
        std::string const text = RestoreText(rollback);
        if (!text.empty()) {
            scenario["registry"].push_back({{"text", text}});
        }
    }
    // Appended, not looked up: an ordered object's [] searches its fields one by one. The
    // registry names each device once.
    auto &presence = scenario["presence"].get_ref<Json::object_t &>();
    for (const DevicePresence &device : collection.devices) {
        presence.emplace_back(device.path, device.present ? "always" : "never");
    }
    if (!collection.collector.empty()) {
        scenario["version"]["codePage"] = version.codePage;
        scenario["version"]["getVersionFails"] = version.getVersionFails;
    }
    // A driver key the collector could not open for writing refuses the tool's open too.
    for (const CollectedDriverKey &key : collection.driverKeys) {
        if (key.state == "denied") {
            scenario["faults"].push_back({{"operation", "RegOpenKeyExA"},
                                          {"subject", std::string(kit::kClassKeyPath) + "\\" + key.name},
                                          {"access", "KEY_ALL_ACCESS"},
                                          {"error", static_cast<std::uint32_t>(key.error)}});
        }
    }
    return scenario;
}

} // namespace

bool PrepareReplay(const std::string &folder, const std::string &scenarioPath, Replay *replay, std::string *error) {
    std::string const prefix = (fs::path(folder) / "").generic_string();
    auto refuse = [&](const std::string &message) {
        *error = message;
        replay->refusal = message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
        return false;
    };
    if (!ReadCollection(folder, &replay->collection, error)) {
        return refuse(*error);
    }
    const Collection &collection = replay->collection;
    FileReader const reader = FilesIn(scenarioPath.empty() ? folder : fs::path(scenarioPath).parent_path().string());
    std::string const fileName = scenarioPath.empty() ? folder + " (replay)" : scenarioPath;
    auto load = [&](const Json &json) {
        replay->scenarioText = json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        return LoadScenarioText(replay->scenarioText, fileName, reader, &replay->scenario, error) || refuse(*error);
    };
    Json scenario = ComposeScenario(collection, scenarioPath);
    if (!load(scenario)) {
        return false;
    }
    kit::RunAccount account;
    std::string const lastAttempt = LastAttempt(collection.trace, &account);
    replay->notes.push_back("collection: " + folder + ": " +
                            (collection.collector.empty() ? "" : collection.collector + ", ") +
                            std::to_string(account.attempts) + " attempt(s) recorded, " +
                            std::to_string(collection.regFiles.size()) + " .reg file(s)");
    replay->notes.insert(replay->notes.end(), collection.notes.begin(), collection.notes.end());
    kit::AttemptRecord record;
    kit::ReadAttempt(lastAttempt.data(), lastAttempt.size(), &record);
    std::string refusal;
    scenario["drivers"] = ReadDrivers(replay->scenario, record, replay, &refusal);
    if (!refusal.empty()) {
        return refuse(prefix + refusal);
    }
    for (const CollectedRollback &rollback : collection.rollbackRecords) {
        replay->notes.push_back("before the write: rollback record " + rollback.name + " " +
                                QuoteBytes(rollback.text.data(), rollback.text.size()) +
                                (RestoreText(rollback).empty()
                                     ? ": not restored (no driver key of the exports, or no record the kit can restore)"
                                     : ": EDCCAEnable in HKLM\\" + rollback.keyPath + " as it holds"));
    }
    return load(scenario);
}

ReplayVerdict ReportReplay(const Replay &replay, const std::string &replayedTrace, std::ostream &report) {
    if (!replay.refusal.empty()) {
        report << "verdict: cannot replay\ncause: " << replay.refusal << "\n";
        return ReplayVerdict::CannotReplay;
    }
    kit::RunAccount recorded;
    kit::RunAccount replayed;
    std::string const recordedLast = LastAttempt(replay.collection.trace, &recorded);
    std::string const replayedLast = LastAttempt(replayedTrace, &replayed);
    LineDifference const difference = FindFirstDifference(recordedLast, replayedLast);
    auto shape = [](const kit::RunAccount &account) {
        return std::string("ends ") + kEndNames[static_cast<int>(account.end)] + " after " +
               std::to_string(account.attempts);
    };
    bool const sameShape = recorded.attempts == replayed.attempts && recorded.end == replayed.end;
    auto quote = [](const std::optional<std::string> &line) {
        return line ? QuoteBytes(line->data(), line->size()) : std::string("(no such line)");
    };
    std::string cause;
    if (!sameShape) {
        cause = "the recording " + shape(recorded) + " attempts, the replay " + shape(replayed);
    } else if (difference.line != 0) {
        cause = "attempt " + std::to_string(recorded.attempts) + ", line " + std::to_string(difference.line) +
                " differs: recorded " + quote(difference.recorded) + ", replayed " + quote(difference.replayed);
    } else {
        kit::AttemptRecord record;
        kit::ReadAttempt(recordedLast.data(), recordedLast.size(), &record);
        std::string const adapter =
            replay.adapter.substr(std::min(replay.adapter.rfind('\\') + 1, replay.adapter.size()));
        bool const found = record.adaptersCounted > 0 && !record.noAdapter;
        cause = !found ? "no adapter present"
                       : "adapter " + (adapter.empty() ? "(no driver key)" : adapter) + " present" +
                             (record.deviceFileFailed  ? ", its device file did not open"
                              : record.regionByte >= 0 ? ", driver answered region " + std::to_string(record.regionByte)
                                                       : ", driver did not answer the region query");
        cause += recorded.end == kit::TraceEnd::Written    ? ": the program wrote EDCCAEnable"
                 : recorded.end == kit::TraceEnd::Declined ? ": the program leaves regions 2 and 9 as they are"
                 : recorded.lastAttemptEnd == kit::AttemptEnd::DriverKeyNotOpened
                     ? ": the program could not open the driver key for writing"
                 : recorded.lastAttemptEnd == kit::AttemptEnd::ValueNotSet ? ": the program could not set EDCCAEnable"
                 : found                                                   ? ": the program waits for region 1, 2 or 9"
                                                                           : ": the program waits for the adapter";
    }
    bool const reproduced = sameShape && difference.line == 0;
    report << "verdict: " << (reproduced ? "reproduced" : "not reproduced") << "\ncause: " << cause << "\n";
    report << "compared: the whole trace's shape (recorded: " << shape(recorded)
           << " attempts; replayed: " << shape(replayed) << ") and the last attempt's lines ("
           << std::count(recordedLast.begin(), recordedLast.end(), '\n') << " recorded"
           << (difference.line == 0 ? ", all equal" : ", line " + std::to_string(difference.line) + " differs")
           << ")\n";
    for (const std::string &note : replay.notes) {
        report << note << "\n";
    }
    return reproduced ? ReplayVerdict::Reproduced : ReplayVerdict::NotReproduced;
}

} // namespace sim
