// machine_json.cpp - a scenario's resolved machine as JSON (machine_json.h).

#include "formats/machine_json.h"

#include <nlohmann/json.hpp>

#include "formats/reg_file.h"
#include "machine/text.h"

namespace sim {
namespace {

using nlohmann::json;

// 8-bit registry text as JSON text, one character per byte.
std::string ByteText(std::string_view bytes) {
    auto const *data = reinterpret_cast<const unsigned char *>(bytes.data());
    return EncodeUtf8(std::u16string(data, data + bytes.size()));
}

json Timeline(const std::vector<Interval> &timeline) {
    json spans = json::array();
    if (timeline.empty()) {
        spans.push_back({0, nullptr});
    }
    for (const Interval &span : timeline) {
        if (span.untilMs > span.fromMs) {
            spans.push_back({span.fromMs, span.untilMs == kForever ? json(nullptr) : json(span.untilMs)});
        }
    }
    return spans;
}

// Lists every key below the root with its values, depth first in
// enumeration order, walking with a stack rather than recursion.
json ListKeys(const Registry &registry) {
    json keys = json::array();
    std::vector<std::pair<const RegistryKey *, std::string>> pending = {{registry.Root(), ""}};
    while (!pending.empty()) {
        auto [key, path] = std::move(pending.back());
        pending.pop_back();
        json values = json::array();
        for (const RegistryValue &value : key->Values()) {
            std::string data;
            for (std::uint8_t byte : value.data) {
                data += (data.empty() ? "" : " ") + Hex(byte, 2).substr(2);
            }
            values.push_back({{"name", ByteText(value.name)}, {"type", value.type}, {"data", data}});
        }
        if (!path.empty()) {
            keys.push_back({{"key", ByteText(path)}, {"values", values}});
        }
        std::vector<RegistryKey *> const subkeys = key->Subkeys();
        for (auto subkey = subkeys.rbegin(); subkey != subkeys.rend(); ++subkey) {
            pending.emplace_back(*subkey, path.empty() ? (*subkey)->Name() : path + "\\" + (*subkey)->Name());
        }
    }
    return keys;
}

} // namespace

// The version's members by their own names.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(VersionInfo, major, minor, build, platformId, productType, serverR2, getVersionFails,
                                   csdVersion, servicePackMajor, servicePackMinor, suiteMask, codePage)

// Takes a JSON value and an answer. Makes the value the answer's object; found
// by nlohmann's conversions, so that a list of answers converts whole.
static void to_json(json &entry, const QueryAnswer &answer) {
    static const char *const kinds[] = {"word", "eeprom", "fail"};
    entry = {{"at", answer.atMs},
             {"kind", kinds[static_cast<int>(answer.kind)]},
             {"word", answer.word},
             {"error", static_cast<std::uint32_t>(answer.error)},
             {"eeprom", answer.eeprom}}; // a map of numbers: [[offset, byte]]
    if (answer.answerBytes) {
        entry["answerBytes"] = *answer.answerBytes;
    }
}

std::string MachineJson(const Scenario &scenario) {
    json machine = {{"file", scenario.file}, {"description", scenario.description}, {"warnings", scenario.warnings}};
    machine["version"] = scenario.version;
    machine["registry"] = ListKeys(scenario.registry);
    machine["devices"] = json::array();
    for (const DeviceInstance &instance : DeviceInstances(scenario.registry)) {
        machine["devices"].push_back({{"instance", ByteText(instance.path)},
                                      {"present", Timeline(PresenceOf(scenario.presence, instance.path))}});
    }
    json &drivers = machine["drivers"] = json::array();
    for (const Driver &driver : scenario.drivers) {
        json answers = json::object();
        for (const auto &[oid, listed] : driver.answers) {
            answers[Hex(oid)] = listed;
        }
        drivers.push_back({{"device", driver.deviceName}, {"loaded", Timeline(driver.loaded)}, {"answers", answers}});
    }
    machine["faults"] = json::array();
    for (const Fault &fault : scenario.faults) {
        machine["faults"].push_back(OperationName(fault.operation));
    }
    return machine.dump() + "\n";
}

std::string RegistryJson(const Registry &registry) { return ListKeys(registry).dump() + "\n"; }

} // namespace sim
