// replay.cpp - making a collection's scenario and judging its replay.

#include "app/replay.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include <nlohmann/json.hpp>

#include "judge/judge.h"
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
constexpr char kAttemptEnd[] = "<-- DetectAdapter()\n";
constexpr char kAdapterNumber[] = "Available adapter number = ";
constexpr char kNoAdapter[] = "No Available Adapter";
constexpr char kOpenFailed[] = "QueryOID create Mac file failed!";
constexpr char kQueryFailed[] = "QueryOID Failed!";
constexpr char kEepromLine[] = " Offset 0x38 = 0x";
constexpr char kRegionLine[] = " GetSupportCountryRegion Offset 0x38 = 0x";
constexpr char kCompanion[] = " , 0x39 = 0x";

// Takes a trace. Returns its last attempt (from its first line on) and, in
// *attempts, how many it began, as the kit reads a trace.
std::string LastAttempt(const std::string &trace, int *attempts) {
    kit::RunAccount account;
    kit::ReadRunAccount(trace.data(), trace.size(), &account);
    *attempts = account.attempts;
    return account.attempts == 0 ? std::string() : trace.substr(account.lastAttemptAt);
}

// Takes a text and a position. Returns the hexadecimal number written there
// when it is at most `limit`, else nothing.
std::optional<unsigned> ReadHexAt(const std::string &text, size_t at, unsigned limit) {
    unsigned value = 0;
    size_t digits = 0;
    for (; at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])) != 0; ++at, ++digits) {
        char const c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
        value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (value > limit) {
            return std::nullopt;
        }
    }
    return digits == 0 ? std::nullopt : std::optional<unsigned>(value);
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
// queries opened; empty when they opened none.
std::string QueriedDeviceFile(const Machine &machine) {
    bool detected = false;
    for (const CallRecord &call : machine.calls) {
        if (call.operation == Operation::WriteStandardOutput) {
            int attempts = 0;
            LastAttempt(call.data, &attempts);
            if (detected && attempts > 0) {
                return "";
            }
            detected = detected || call.data.find(kAttemptEnd) != std::string::npos;
        } else if (detected && call.operation == Operation::CreateFileA) {
            return DeviceFileOf(call);
        }
    }
    return "";
}

// Takes the scenario made so far (no drivers). Returns its drivers, from two
// silent runs of the tool on it and the recorded last attempt; notes say how.
Json ReadDrivers(const Scenario &withoutDrivers, const std::string &lastAttempt, std::vector<std::string> *notes) {
    Machine machine;
    BuildMachine(withoutDrivers, machine);
    RunTool(machine);
    std::vector<std::string> const tried = DeviceFilesTried(machine);
    Scenario everyDriver = withoutDrivers;
    for (const std::string &name : tried) {
        everyDriver.drivers.push_back(Driver{name, {}, {}});
    }
    BuildMachine(everyDriver, machine);
    RunTool(machine);
    std::string const queried = QueriedDeviceFile(machine);

    int adapters = 0;
    size_t const number = lastAttempt.rfind(kAdapterNumber);
    if (number != std::string::npos && lastAttempt.find(kNoAdapter) == std::string::npos) {
        for (size_t at = number + sizeof kAdapterNumber - 1;
             at < lastAttempt.size() && std::isdigit(static_cast<unsigned char>(lastAttempt[at])) != 0 &&
             adapters < kMostAdapters;
             ++at) {
            adapters = adapters * 10 + (lastAttempt[at] - '0');
        }
    }
    size_t const detected = lastAttempt.find(kAttemptEnd);
    std::string const after =
        detected == std::string::npos ? "" : lastAttempt.substr(detected + sizeof kAttemptEnd - 1);
    bool const queriedLoaded = !queried.empty() && adapters > 0 && after.find(kOpenFailed) == std::string::npos;

    Json drivers = Json::array();
    std::string answered = "no answers";
    if (queriedLoaded) {
        Json driver = {{"device", queried}};
        size_t const region = after.find(kRegionLine);
        size_t eeprom = after.find(kEepromLine);
        // The region line ends in the EEPROM line's text: found there, there is no EEPROM line.
        eeprom = region != std::string::npos && eeprom == region + sizeof kRegionLine - sizeof kEepromLine
                     ? std::string::npos
                     : eeprom;
        std::optional<unsigned> byte;
        if (eeprom != std::string::npos && after.rfind(kQueryFailed, eeprom) == std::string::npos) {
            byte = ReadHexAt(after, eeprom + sizeof kEepromLine - 1, 0xFF);
        }
        std::optional<unsigned> word;
        size_t const since = eeprom == std::string::npos ? 0 : eeprom;
        if (region != std::string::npos &&
            after.substr(since, region - since).find(kQueryFailed) == std::string::npos) {
            size_t const companion = after.find(kCompanion, region);
            std::optional<unsigned> const high = ReadHexAt(after, region + sizeof kRegionLine - 1, 0xFF);
            std::optional<unsigned> const low = companion == std::string::npos
                                                    ? std::nullopt
                                                    : ReadHexAt(after, companion + sizeof kCompanion - 1, 0xFF);
            word = high && low ? std::optional<unsigned>(*high << 8U | *low) : std::nullopt;
        }
        answered = byte ? "EEPROM byte " + Hex(*byte, 2) : "no EEPROM answer";
        answered += word ? ", region word " + Hex(*word, 4) : ", no region answer";
        if (byte) {
            driver["eeprom"] = {{"0x38", Hex(*byte, 2)}};
        }
        if (word) {
            driver["regionWord"] = Hex(*word, 4);
        }
        drivers.push_back(driver);
    }
    int loaded = queriedLoaded ? 1 : 0;
    for (const std::string &name : tried) {
        bool const isQueried = EqualsIgnoreCase(name, queried);
        if (!isQueried || !queriedLoaded) {
            bool const counted = !isQueried && loaded < adapters;
            loaded += counted ? 1 : 0;
            drivers.push_back(counted ? Json{{"device", name}} : Json{{"device", name}, {"loaded", "never"}});
        }
    }
    notes->push_back("drivers: the recorded last attempt counts " + std::to_string(adapters) +
                     " adapter(s); detection tries " + std::to_string(tried.size()) + " device file(s)" +
                     (queried.empty() ? "; the queries open none"
                                      : "; the queries open \\\\.\\" + queried +
                                            (queriedLoaded ? ", loaded: " + answered : ", not loaded")));
    return drivers;
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
    for (const auto &device : collection.devices) {
        scenario["presence"][device.first] = device.second ? "always" : "never";
    }
    if (!collection.collector.empty()) {
        scenario["version"]["codePage"] = version.codePage;
        scenario["version"]["getVersionFails"] = version.getVersionFails;
    }
    // A driver key the collector could not open for writing refuses the tool's open too.
    for (const CollectedDriverKey &key : collection.driverKeys) {
        if (key.state == "denied") {
            scenario["faults"].push_back({{"operation", "RegOpenKeyExA"},
                                          {"subject", "SYSTEM\\CurrentControlSet\\Control\\Class\\" + key.name},
                                          {"access", "KEY_ALL_ACCESS"},
                                          {"error", static_cast<std::uint32_t>(key.error)}});
        }
    }
    return scenario;
}

} // namespace

bool PrepareReplay(const std::string &folder, const std::string &scenarioPath, Replay *replay, std::string *error) {
    if (!ReadCollection(folder, &replay->collection, error)) {
        return false;
    }
    const Collection &collection = replay->collection;
    std::string const base = scenarioPath.empty() ? folder : fs::path(scenarioPath).parent_path().string();
    FileReader const reader = [&base](const std::string &name, std::string *bytes) {
        std::ifstream in(fs::path(name).is_absolute() ? fs::path(name) : fs::path(base.empty() ? "." : base) / name,
                         std::ios::binary);
        bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return static_cast<bool>(in);
    };
    std::string const fileName = scenarioPath.empty() ? folder + " (replay)" : scenarioPath;
    auto load = [&](const Json &json) {
        replay->scenarioText = json.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
        return LoadScenarioText(replay->scenarioText, fileName, reader, &replay->scenario, error);
    };
    Json scenario = ComposeScenario(collection, scenarioPath);
    if (!load(scenario)) {
        return false;
    }
    int attempts = 0;
    std::string const lastAttempt = LastAttempt(collection.trace, &attempts);
    const VersionInfo &version = collection.version;
    bool const kit2 = !collection.collector.empty();
    replay->notes.push_back("collection: " + folder + ": " + (kit2 ? collection.collector + ", " : "") +
                            std::to_string(attempts) + " attempt(s) recorded, " +
                            std::to_string(collection.regFiles.size()) + " .reg file(s)");
    if (kit2) {
        replay->notes.push_back("version: " + collection.recordedVersion +
                                " as GetVersionExA gave it to the collector, which runs under the tool's manifest; "
                                "code page " +
                                std::to_string(version.codePage));
    } else {
        replay->notes.push_back("version: recorded " + collection.recordedVersion + ", seen by the tool as " +
                                std::to_string(version.major) + "." + std::to_string(version.minor) + " build " +
                                std::to_string(version.build) +
                                (collection.versionCapped
                                     ? " (GetVersionEx gives 6.2 to a program not manifested for Windows 8.1 or 10)"
                                     : ""));
    }
    replay->notes.push_back("version: only the major version steers the tool (thresholds 11 and 31 of its version "
                            "code), so a product type or R2 flag that differs cannot change the trace");
    if (collection.productTypeAssumed) {
        replay->notes.emplace_back("version: product type assumed 1 (workstation): the collection gives none");
    }
    replay->notes.emplace_back(kit2 ? "presence: as SetupDi listed the network class with DIGCF_PRESENT"
                               : collection.presenceAssumed
                                   ? "presence: assumed (the collection could not tell which devices are present)"
                                   : "presence: as Win32_PnPEntity listed it");
    for (const CollectedDriverKey &key : collection.driverKeys) {
        if (key.state == "denied") {
            replay->notes.push_back(
                "driver key " + key.name + ": the collector's open for writing failed (" + ErrorName(key.error) +
                "), so the tool's fails too; its security: " + (key.sddl.empty() ? "unread" : key.sddl));
        }
    }
    scenario["drivers"] = ReadDrivers(replay->scenario, lastAttempt, &replay->notes);
    return load(scenario);
}

bool ReportReplay(const Replay &replay, const std::string &replayedTrace, std::ostream &report) {
    int recordedAttempts = 0;
    int replayedAttempts = 0;
    std::string const recorded = LastAttempt(replay.collection.trace, &recordedAttempts);
    std::string const replayed = LastAttempt(replayedTrace, &replayedAttempts);
    LineDifference const difference = FindFirstDifference(recorded, replayed);
    if (recordedAttempts != replayedAttempts) {
        report << "replay: " << replayedAttempts << " attempt(s) replayed, " << recordedAttempts << " recorded\n";
    }
    if (difference.line == 0) {
        report << "replay: reproduced the recorded last attempt (attempt " << recordedAttempts << " of "
               << recordedAttempts << ", " << std::count(recorded.begin(), recorded.end(), '\n') << " lines)\n";
        return true;
    }
    auto quote = [](const std::optional<std::string> &line) {
        return line ? QuoteBytes(line->data(), line->size()) : std::string("(no such line)");
    };
    report << "replay: NOT reproduced: line " << difference.line << " of the last attempt differs: recorded "
           << quote(difference.recorded) << ", replayed " << quote(difference.replayed) << "\n";
    return false;
}

} // namespace sim
