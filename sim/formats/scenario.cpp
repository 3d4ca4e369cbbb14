// scenario.cpp - reading scenario files, and building machines from them.

#include "formats/scenario.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <iterator>

#include <nlohmann/json.hpp>

#include "formats/reg_file.h"
#include "machine/text.h"

namespace sim {
namespace {

using nlohmann::json;

const char *const kRunEndNames[] = {"Written", "Declined", "Exhausted", "Returned"}; // by RunEnd

// A fault in the scenario, located by its field path ("drivers[0].loaded[1]").
struct ScenarioFault {
    std::string field;
    std::string message;
};

[[noreturn]] void Fail(const std::string &field, const std::string &message) { throw ScenarioFault{field, message}; }

std::string Child(const std::string &field, const std::string &name) {
    return field.empty() ? name : field + "." + name;
}
std::string Item(const std::string &field, size_t index) { return field + "[" + std::to_string(index) + "]"; }

// Refuses fields a scenario object does not know, so a misspelt one is not ignored.
void CheckFields(const json &object, const std::string &field, std::initializer_list<const char *> known) {
    if (!object.is_object()) {
        Fail(field, "expected an object");
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::none_of(known.begin(), known.end(), [&it](const char *name) { return it.key() == name; })) {
            Fail(Child(field, it.key()), "unknown field");
        }
    }
}

// An unsigned number: a JSON integer, or text in decimal or "0x" hexadecimal.
std::uint64_t ReadNumber(const json &value, const std::string &field, std::uint64_t limit) {
    std::uint64_t number = 0;
    if (value.is_number_unsigned()) {
        number = value.get<std::uint64_t>();
    } else if (value.is_number_integer() && value.get<std::int64_t>() >= 0) {
        number = static_cast<std::uint64_t>(value.get<std::int64_t>());
    } else if (value.is_string()) {
        std::string const text = value.get<std::string>();
        bool const hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        size_t used = 0;
        try {
            number = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
        } catch (const std::exception &) {
            used = 0;
        }
        if (text.empty() || used != (hex ? text.size() - 2 : text.size()) || text[0] == '-' || text[0] == '+') {
            Fail(field, "expected a number (decimal, or hexadecimal text such as \"0x38\")");
        }
    } else {
        Fail(field, "expected a number (decimal, or hexadecimal text such as \"0x38\")");
    }
    if (number > limit) {
        Fail(field, "number out of range (at most " + std::to_string(limit) + ")");
    }
    return number;
}

std::string ReadString(const json &value, const std::string &field) {
    if (!value.is_string()) {
        Fail(field, "expected a string");
    }
    return value.get<std::string>();
}

// Takes an object, its field path, a member's name and what to say when it
// is absent. Returns the member; fails when it is absent.
const json &Required(const json &object, const std::string &field, const char *name, const char *absent = "missing") {
    if (!object.contains(name)) {
        Fail(Child(field, name), absent);
    }
    return object[name];
}

// Takes an object, its field path, a member's name, a limit and where the
// member's number goes. Leaves *number as it is when the member is absent.
template <typename Number>
void ReadOptionalNumber(const json &object, const std::string &field, const char *name, std::uint64_t limit,
                        Number *number) {
    if (object.contains(name)) {
        *number = static_cast<Number>(ReadNumber(object[name], Child(field, name), limit));
    }
}

// Takes a value, its field path and the names it may give. Returns the index
// of the one it gives; fails, listing them, for any other.
template <size_t N> size_t ReadName(const json &value, const std::string &field, const char *const (&names)[N]) {
    std::string const name = ReadString(value, field);
    std::string expected = "expected";
    for (size_t i = 0; i < N; ++i) {
        if (name == names[i]) {
            return i;
        }
        expected += std::string(i == 0 ? " \"" : i + 1 < N ? ", \"" : " or \"") + names[i] + "\"";
    }
    Fail(field, expected);
}

// Takes an object, its field path, a member's name and the text to give
// when the member is absent. Returns the member's string.
std::string ReadOptionalString(const json &object, const std::string &field, const char *name,
                               const std::string &absent = "") {
    return object.contains(name) ? ReadString(object[name], Child(field, name)) : absent;
}

// Takes a list, its field path, the message for a value that is no list and
// a reader of one item. Returns the items read, in order.
template <typename Reader>
auto ReadList(const json &value, const std::string &field, const char *notList, Reader read) {
    if (!value.is_array()) {
        Fail(field, notList);
    }
    std::vector<decltype(read(value, field))> items;
    for (size_t i = 0; i < value.size(); ++i) {
        items.push_back(read(value[i], Item(field, i)));
    }
    return items;
}

// Text given as one string or as a list of strings joined together.
std::string ReadText(const json &value, const std::string &field) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    std::string text;
    for (const std::string &part : ReadList(value, field, "expected a string or a list of strings", ReadString)) {
        text += part;
    }
    return text;
}

// Takes a value, its field path and a lookup of names. Returns the code the
// value names, or else the value as a number.
template <typename Lookup> std::uint32_t ReadCode(const json &value, const std::string &field, Lookup named) {
    std::optional<std::uint32_t> const code = value.is_string() ? named(value.get<std::string>()) : std::nullopt;
    return code ? *code : static_cast<std::uint32_t>(ReadNumber(value, field, UINT32_MAX));
}

// A Windows error: its name ("ERROR_GEN_FAILURE") or its number; never 0.
host::LONG ReadError(const json &value, const std::string &field) {
    bool const named = value.is_string() && value.get<std::string>().rfind("ERROR_", 0) == 0;
    std::optional<host::LONG> const code =
        named ? ErrorCode(value.get<std::string>()) : static_cast<host::LONG>(ReadNumber(value, field, UINT32_MAX));
    if (!code) {
        Fail(field, "unknown error name \"" + value.get<std::string>() + "\" (give its number instead)");
    }
    if (*code == 0) {
        Fail(field, "an error must not be 0 (ERROR_SUCCESS)");
    }
    return *code;
}

// "always", "never", or a list of [from, until] pairs (until null = forever).
std::vector<Interval> ReadTimeline(const json &value, const std::string &field) {
    if (value == "always") {
        return {};
    }
    if (value == "never" || (value.is_array() && value.empty())) {
        return {Interval{0, 0}};
    }
    auto readSpan = [](const json &pair, const std::string &itemField) {
        if (!pair.is_array() || pair.size() != 2) {
            Fail(itemField, "expected [from, until]");
        }
        Interval span;
        span.fromMs = ReadNumber(pair[0], Item(itemField, 0), kForever - 1);
        span.untilMs = pair[1].is_null() ? kForever : ReadNumber(pair[1], Item(itemField, 1), kForever - 1);
        if (span.untilMs < span.fromMs) {
            Fail(itemField, "until comes before from");
        }
        return span;
    };
    return ReadList(value, field, "expected \"always\", \"never\" or a list of [from, until] pairs", readSpan);
}

// Reads an EEPROM map {"0x38": "0x1C", ...}.
std::map<std::uint32_t, std::uint8_t> ReadEepromBytes(const json &value, const std::string &field) {
    if (!value.is_object()) {
        Fail(field, "expected an object of offset: byte");
    }
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (auto it = value.begin(); it != value.end(); ++it) {
        std::string const entryField = Child(field, it.key());
        auto const offset = static_cast<std::uint32_t>(ReadNumber(json(it.key()), entryField, UINT32_MAX));
        bytes[offset] = static_cast<std::uint8_t>(ReadNumber(it.value(), entryField, 0xFF));
    }
    return bytes;
}

// One answer entry: {"at": ms, one of "word"/"eeprom"/"fail", "answerBytes": n}.
QueryAnswer ReadAnswer(const json &value, const std::string &field) {
    CheckFields(value, field, {"at", "word", "eeprom", "fail", "answerBytes"});
    QueryAnswer answer;
    ReadOptionalNumber(value, field, "at", kForever - 1, &answer.atMs);
    ReadOptionalNumber(value, field, "word", UINT32_MAX, &answer.word); // Kind::Word unless another is given
    if (value.contains("eeprom")) {
        answer.kind = QueryAnswer::Kind::Eeprom;
        answer.eeprom = ReadEepromBytes(value["eeprom"], Child(field, "eeprom"));
    }
    if (value.contains("fail")) {
        answer.kind = QueryAnswer::Kind::Fail;
        answer.error = ReadError(value["fail"], Child(field, "fail"));
    }
    if (value.count("word") + value.count("eeprom") + value.count("fail") != 1) {
        Fail(field, "expected exactly one of \"word\", \"eeprom\" or \"fail\"");
    }
    ReadOptionalNumber(value, field, "answerBytes", 12, &answer.answerBytes);
    return answer;
}

std::vector<QueryAnswer> ReadAnswerList(const json &value, const std::string &field) {
    std::vector<QueryAnswer> answers = ReadList(value, field, "expected a non-empty list of answers", ReadAnswer);
    if (answers.empty()) {
        Fail(field, "expected a non-empty list of answers");
    }
    for (size_t i = 1; i < answers.size(); ++i) {
        if (answers[i].atMs < answers[i - 1].atMs) {
            Fail(Item(field, i), "answers must be in order of \"at\"");
        }
    }
    return answers;
}

void AddAnswers(Driver *driver, host::DWORD oid, const std::vector<QueryAnswer> &answers, const std::string &field) {
    if (driver->answers.count(oid) != 0) {
        Fail(field, "identifier " + Hex(oid) + " is given answers twice");
    }
    driver->answers[oid] = answers;
}

// A shorthand's answers, for each identifier that asks for the query.
void AddAnswers(Driver *driver, Query query, const std::vector<QueryAnswer> &answers, const std::string &field) {
    for (const auto &identifier : kQueryIdentifiers) {
        if (identifier.query == query) {
            AddAnswers(driver, identifier.oid, answers, field);
        }
    }
}

Driver ReadDriver(const json &value, const std::string &field) {
    CheckFields(value, field, {"device", "loaded", "regionWord", "eeprom", "answers"});
    Driver driver;
    driver.deviceName = ReadString(
        Required(value, field, "device", "missing (the name behind \\\\.\\, e.g. \"{GUID}\")"), Child(field, "device"));
    if (driver.deviceName.empty() || driver.deviceName.find('\\') != std::string::npos) {
        Fail(Child(field, "device"), "expected a device name without backslashes");
    }
    if (value.contains("loaded")) {
        driver.loaded = ReadTimeline(value["loaded"], Child(field, "loaded"));
    }
    // The shorthands: a list of answers, or one answer from the start, for
    // every identifier that asks for their query.
    for (auto const &[name, query] : {std::pair{"regionWord", Query::Region}, std::pair{"eeprom", Query::Eeprom}}) {
        if (!value.contains(name)) {
            continue;
        }
        std::string const shortField = Child(field, name);
        const json &shorthand = value[name];
        std::vector<QueryAnswer> answers(1);
        if (shorthand.is_array()) {
            answers = ReadAnswerList(shorthand, shortField);
        } else if (query == Query::Region) {
            answers[0].word = static_cast<std::uint32_t>(ReadNumber(shorthand, shortField, UINT32_MAX));
        } else {
            answers[0].kind = QueryAnswer::Kind::Eeprom;
            answers[0].eeprom = ReadEepromBytes(shorthand, shortField);
        }
        AddAnswers(&driver, query, answers, shortField);
    }
    if (value.contains("answers")) {
        std::string const answersField = Child(field, "answers");
        const json &byOid = value["answers"];
        if (!byOid.is_object()) {
            Fail(answersField, "expected an object of identifier: list of answers");
        }
        for (auto it = byOid.begin(); it != byOid.end(); ++it) {
            std::string const oidField = Child(answersField, it.key());
            auto const oid = static_cast<host::DWORD>(ReadNumber(json(it.key()), oidField, UINT32_MAX));
            AddAnswers(&driver, oid, ReadAnswerList(it.value(), oidField), oidField);
        }
    }
    return driver;
}

Fault ReadFault(const json &value, const std::string &field) {
    CheckFields(value, field, {"operation", "subject", "call", "access", "error"});
    Fault fault;
    std::string const name = ReadString(Required(value, field, "operation"), Child(field, "operation"));
    std::optional<Operation> const operation = FaultOperation(name);
    if (!operation) {
        Fail(Child(field, "operation"), "\"" + name + "\" is not an operation that can fail");
    }
    fault.operation = *operation;
    fault.subject = ReadOptionalString(value, field, "subject");
    ReadOptionalNumber(value, field, "call", 1000000, &fault.callNumber);
    if (value.contains("access")) {
        if (fault.operation != Operation::RegOpenKeyExA) {
            Fail(Child(field, "access"), "only a RegOpenKeyExA fault can ask for an access");
        }
        fault.access = ReadCode(value["access"], Child(field, "access"), [](std::string_view text) {
            return text == "KEY_READ"         ? std::optional(host::KEY_READ)
                   : text == "KEY_ALL_ACCESS" ? std::optional(host::KEY_ALL_ACCESS)
                                              : std::nullopt;
        });
    }
    fault.error = ReadError(Required(value, field, "error"), Child(field, "error"));
    return fault;
}

std::vector<std::uint8_t> ReadHexBytes(const std::string &text, const std::string &field) {
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), [](char c) { return c != ' ' && c != ','; });
    if (digits.size() % 2 != 0) {
        Fail(field, "expected pairs of hexadecimal digits");
    }
    std::vector<std::uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(ReadNumber(json("0x" + digits.substr(i, 2)), field, 0xFF)));
    }
    return bytes;
}

RegistryChange ReadChange(const json &value, const std::string &field) {
    CheckFields(value, field, {"change", "key", "value", "type", "text", "hex", "dword"});
    using Kind = RegistryChange::Kind;
    static const char *const kKindNames[] = {"set", "valueDeleted", "keyAdded", "keyDeleted"};
    const Kind kinds[] = {Kind::ValueSet, Kind::ValueDeleted, Kind::KeyAdded, Kind::KeyDeleted}; // by kKindNames
    size_t const kind = value.contains("change") ? ReadName(value["change"], Child(field, "change"), kKindNames) : 0;
    RegistryChange change{kinds[kind], "", "", 0, {}};
    change.keyPath = ReadString(Required(value, field, "key"), Child(field, "key"));
    change.valueName = ReadOptionalString(value, field, "value");
    if (change.kind == RegistryChange::Kind::ValueSet) {
        change.type = value.contains("type") ? ReadCode(value["type"], Child(field, "type"), TypeCode) : host::REG_SZ;
        if (value.contains("text")) {
            std::string const text = ReadString(value["text"], Child(field, "text"));
            change.data.assign(text.begin(), text.end());
            change.data.push_back(0);
        }
        if (value.contains("hex")) {
            change.data = ReadHexBytes(ReadString(value["hex"], Child(field, "hex")), Child(field, "hex"));
        }
        if (value.contains("dword")) {
            auto const word = static_cast<std::uint32_t>(ReadNumber(value["dword"], Child(field, "dword"), UINT32_MAX));
            change.data = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                           static_cast<std::uint8_t>(word >> 16), static_cast<std::uint8_t>(word >> 24)};
            if (!value.contains("type")) {
                change.type = host::REG_DWORD;
            }
        }
        if (value.count("text") + value.count("hex") + value.count("dword") != 1) {
            Fail(field, "expected exactly one of \"text\", \"hex\" or \"dword\" for a set value");
        }
    }
    return change;
}

Expectation ReadExpectation(const json &value, const std::string &field) {
    CheckFields(value, field, {"stdout", "end", "attempts", "exitCode", "registryChanges"});
    Expectation expect;
    if (value.contains("stdout")) {
        expect.standardOutput = ReadText(value["stdout"], Child(field, "stdout"));
    }
    if (value.contains("end")) {
        expect.end = static_cast<RunEnd>(ReadName(value["end"], Child(field, "end"), kRunEndNames));
    }
    ReadOptionalNumber(value, field, "attempts", 1000000, &expect.attempts);
    ReadOptionalNumber(value, field, "exitCode", UINT32_MAX, &expect.exitCode);
    if (value.contains("registryChanges")) {
        expect.registryChanges = ReadList(value["registryChanges"], Child(field, "registryChanges"),
                                          "expected a list of changes", ReadChange);
    }
    return expect;
}

void ReadVersion(const json &value, const std::string &field, VersionInfo *version) {
    CheckFields(value, field,
                {"major", "minor", "build", "platformId", "productType", "serverR2", "getVersionFails", "csdVersion",
                 "servicePackMajor", "servicePackMinor", "suiteMask", "codePage"});
    ReadOptionalNumber(value, field, "major", UINT32_MAX, &version->major);
    ReadOptionalNumber(value, field, "minor", UINT32_MAX, &version->minor);
    ReadOptionalNumber(value, field, "build", UINT32_MAX, &version->build);
    ReadOptionalNumber(value, field, "platformId", UINT32_MAX, &version->platformId);
    ReadOptionalNumber(value, field, "productType", 0xFF, &version->productType);
    ReadOptionalNumber(value, field, "serverR2", INT32_MAX, &version->serverR2);
    ReadOptionalNumber(value, field, "servicePackMajor", 0xFFFF, &version->servicePackMajor);
    ReadOptionalNumber(value, field, "servicePackMinor", 0xFFFF, &version->servicePackMinor);
    ReadOptionalNumber(value, field, "suiteMask", 0xFFFF, &version->suiteMask);
    ReadOptionalNumber(value, field, "codePage", 0xFFFF, &version->codePage);
    if (value.contains("getVersionFails") && !value["getVersionFails"].is_boolean()) {
        Fail(Child(field, "getVersionFails"), "expected true or false");
    }
    version->getVersionFails = value.value("getVersionFails", version->getVersionFails);
    version->csdVersion = ReadOptionalString(value, field, "csdVersion", version->csdVersion);
    if (version->csdVersion.size() > 127) {
        Fail(Child(field, "csdVersion"), "longer than 127 characters");
    }
}

void ImportRegistry(const json &value, const std::string &field, const FileReader &readFile, Scenario *scenario) {
    if (!value.is_array()) {
        Fail(field, "expected a list of .reg file names or {\"file\": ...} / {\"text\": ...} entries");
    }
    for (size_t i = 0; i < value.size(); ++i) {
        std::string const itemField = Item(field, i);
        const json &entry = value[i];
        std::string bytes;
        std::string name;
        if (entry.is_string() || (entry.is_object() && entry.contains("file"))) {
            if (entry.is_object()) {
                CheckFields(entry, itemField, {"file"});
            }
            name = ReadString(entry.is_string() ? entry : entry["file"],
                              entry.is_string() ? itemField : Child(itemField, "file"));
            if (!readFile(name, &bytes)) {
                Fail(itemField, "cannot read registry file \"" + name + "\"");
            }
        } else if (entry.is_object() && entry.contains("text")) {
            CheckFields(entry, itemField, {"text"});
            bytes = ReadText(entry["text"], Child(itemField, "text"));
            name = itemField + ".text";
        } else {
            Fail(itemField, "expected a .reg file name, {\"file\": name} or {\"text\": .reg text}");
        }
        RegImportError importError;
        std::vector<RegImportError> warnings;
        if (!ImportRegBytes(scenario->registry, bytes, name, &importError, scenario->version.codePage, &warnings)) {
            Fail(itemField, importError.ToString());
        }
        for (const RegImportError &warning : warnings) {
            scenario->warnings.push_back(itemField + ": " + warning.ToString());
        }
    }
}

// Whether the path names a device instance: a key three levels below Enum.
bool IsDeviceInstance(const Registry &registry, const std::string &path) {
    return std::count(path.begin(), path.end(), '\\') == 2 &&
           registry.FindKey("SYSTEM\\CurrentControlSet\\Enum\\" + path) != nullptr;
}

// Every adapter's instance identifier, the names of the device files the tool
// opens: NetCfgInstanceId (and DeviceVxDs of the older layout) text values.
std::set<std::string, LessIgnoringCase> InstanceIdentifiers(const Registry &registry) {
    std::set<std::string, LessIgnoringCase> identifiers;
    std::vector<const RegistryKey *> pending = {registry.Root()};
    while (!pending.empty()) {
        const RegistryKey *key = pending.back();
        pending.pop_back();
        for (const char *name : {"NetCfgInstanceId", "DeviceVxDs"}) {
            const RegistryValue *value = key->FindValue(name);
            if (value != nullptr && IsStringType(value->type)) {
                identifiers.insert(TextOf(value));
            }
        }
        for (const RegistryKey *subkey : key->Subkeys()) {
            pending.push_back(subkey);
        }
    }
    return identifiers;
}

void ReadScenario(const json &root, const FileReader &readFile, Scenario *scenario) {
    CheckFields(root, "", {"description", "version", "registry", "presence", "drivers", "faults", "expect"});
    scenario->description = ReadOptionalString(root, "", "description");
    if (scenario->description.find('\n') != std::string::npos) {
        Fail("description", "expected one line");
    }
    if (root.contains("version")) {
        ReadVersion(root["version"], "version", &scenario->version);
    }
    if (root.contains("registry")) {
        ImportRegistry(root["registry"], "registry", readFile, scenario);
    }
    if (root.contains("presence")) {
        const json &presence = root["presence"];
        if (!presence.is_object()) {
            Fail("presence", "expected an object of device instance path: timeline");
        }
        for (auto it = presence.begin(); it != presence.end(); ++it) {
            std::string const field = Child("presence", it.key());
            std::vector<Interval> const timeline = ReadTimeline(it.value(), field);
            if (!IsDeviceInstance(scenario->registry, it.key())) {
                Fail(field, "no device instance of the machine (a key "
                            "SYSTEM\\CurrentControlSet\\Enum\\<enumerator>\\<device>\\<instance> of the registry)");
            }
            scenario->presence[UpperCase(it.key())] = timeline;
        }
    }
    if (root.contains("drivers")) {
        scenario->drivers = ReadList(root["drivers"], "drivers", "expected a list of drivers", ReadDriver);
        std::set<std::string, LessIgnoringCase> const identifiers = InstanceIdentifiers(scenario->registry);
        // Each device name's first driver, looked up: many drivers cost no time quadratic in their number.
        std::map<std::string, size_t, LessIgnoringCase> first;
        for (size_t i = 0; i < scenario->drivers.size(); ++i) {
            const std::string &name = scenario->drivers[i].deviceName;
            if (auto const [earlier, added] = first.emplace(name, i); !added) {
                Fail(Item("drivers", i) + ".device", "the device of " + Item("drivers", earlier->second) +
                                                         " again (device names are matched without regard to case)");
            }
            // Allowed, since a scenario may show a driver nothing reaches.
            if (identifiers.count(name) == 0) {
                scenario->warnings.push_back(
                    Item("drivers", i) + ".device: no NetCfgInstanceId or DeviceVxDs value of the machine names \"" +
                    name + "\", so the tool never opens this driver's file");
            }
        }
    }
    if (root.contains("faults")) {
        scenario->faults = ReadList(root["faults"], "faults", "expected a list of faults", ReadFault);
    }
    if (root.contains("expect")) {
        scenario->expect = ReadExpectation(root["expect"], "expect");
    }
}

// A parser callback that finds the first key given twice in one object, in
// any letter case (JSON keeps only the last, so the first would be silently
// ignored; paths and identifiers are matched without regard to case), by its
// field.
json::parser_callback_t RepeatedKeyCheck(std::optional<ScenarioFault> *repeated) {
    struct Level {
        std::string field;
        bool list = false;
        size_t items = 0;
        std::set<std::string> keys;
        std::string key;
    };
    auto levels = std::make_shared<std::vector<Level>>();
    return [levels, repeated](int, json::parse_event_t event, json &parsed) {
        using Event = json::parse_event_t;
        bool const starts = event == Event::object_start || event == Event::array_start;
        std::string field;
        if ((starts || event == Event::value) && !levels->empty()) {
            Level &parent = levels->back();
            field = parent.list ? Item(parent.field, parent.items++) : Child(parent.field, parent.key);
        }
        if (starts) {
            levels->push_back(Level{field, event == Event::array_start, 0, {}, {}});
        } else if (event == Event::object_end || event == Event::array_end) {
            levels->pop_back();
        } else if (event == Event::key) {
            Level &object = levels->back();
            object.key = parsed.get<std::string>();
            if (!object.keys.insert(UpperCase(object.key)).second && !*repeated) {
                *repeated = ScenarioFault{Child(object.field, object.key), "given twice"};
            }
        }
        return true;
    };
}

} // namespace

bool ReadWholeFile(const std::string &path, std::string *bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

FileReader FilesIn(const std::string &folder) {
    return [folder](const std::string &name, std::string *bytes) {
        std::filesystem::path const file(name);
        return ReadWholeFile(
            (file.is_absolute() ? file : std::filesystem::path(folder.empty() ? "." : folder) / file).string(), bytes);
    };
}

const char *RunEndName(RunEnd end) { return kRunEndNames[static_cast<int>(end)]; }

bool LoadScenarioText(std::string_view text, const std::string &fileName, const FileReader &readFile,
                      Scenario *scenario, std::string *error) {
    json root;
    std::optional<ScenarioFault> repeated;
    try {
        root = json::parse(text.begin(), text.end(), RepeatedKeyCheck(&repeated));
    } catch (const json::exception &parseError) {
        // parse_error, and out_of_range for numbers beyond a double
        *error = fileName + ": not valid JSON: " + parseError.what();
        return false;
    }
    auto refuse = [&](const ScenarioFault &fault) {
        *error = fileName + ": " + (fault.field.empty() ? "" : fault.field + ": ") + fault.message;
        return false;
    };
    if (repeated) {
        return refuse(*repeated);
    }
    Scenario loaded;
    loaded.file = fileName;
    try {
        ReadScenario(root, readFile, &loaded);
    } catch (const ScenarioFault &fault) {
        return refuse(fault);
    }
    *scenario = std::move(loaded);
    return true;
}

bool LoadScenarioFile(const std::string &path, Scenario *scenario, std::string *error) {
    std::string text;
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        *error = path + ": a directory, not a scenario file";
        return false;
    }
    if (!ReadWholeFile(path, &text)) {
        *error = path + ": cannot read the scenario file";
        return false;
    }
    return LoadScenarioText(text, path, FilesIn(std::filesystem::path(path).parent_path().string()), scenario, error);
}

bool LoadDefaultScenario(Scenario *scenario, std::string *error) {
    const auto &files = DefaultScenarioFiles();
    FileReader const reader = [&files](const std::string &name, std::string *bytes) {
        auto found = files.find(name);
        if (found == files.end()) {
            return false;
        }
        *bytes = found->second;
        return true;
    };
    return LoadScenarioText(files.at("default.json"), "default.json (embedded)", reader, scenario, error);
}

void BuildMachine(const Scenario &scenario, Machine &machine) {
    machine = Machine();
    machine.registry = scenario.registry.Clone();
    machine.version = scenario.version;
    machine.presence = scenario.presence;
    machine.drivers = scenario.drivers;
    machine.faults = scenario.faults;
}

} // namespace sim
