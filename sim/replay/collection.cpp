// collection.cpp - reading a collection folder, and the version the tool saw there.

#include "replay/collection.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <tuple>

#include "formats/reg_file.h"
#include "kit/core/kit_text.h"
#include "kit/core/rollback_record.h"
#include "kit/core/run_account.h"
#include "machine/registry.h"
#include "machine/text.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMostRegFiles = 64;
constexpr size_t kMostDigits = 10; // a DWORD's
constexpr size_t kMostTextLength = 127;

// A fault of the collection: the file (as a path) and "field: what was expected".
struct CollectionFault {
    std::string file;
    std::string message;
};

[[noreturn]] void Fail(const fs::path &file, const std::string &message) {
    throw CollectionFault{file.generic_string(), message};
}

// Takes a file's path. Returns its bytes; refuses a missing file, a folder
// or one beyond kCollectionFileLimit.
std::string ReadBounded(const fs::path &path) {
    std::error_code failed;
    if (!fs::is_regular_file(path, failed)) {
        Fail(path, "missing (a file is required)");
    }
    std::uintmax_t const size = fs::file_size(path, failed);
    if (failed) {
        Fail(path, "cannot read");
    }
    if (size > kCollectionFileLimit) {
        Fail(path, "larger than " + std::to_string(kCollectionFileLimit >> 20U) + " MiB");
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        Fail(path, "cannot read");
    }
    return bytes;
}

// Takes 8-bit text. Returns it quoted, with control and non-ASCII bytes escaped.
std::string Quote(const std::string &text) { return QuoteBytes(text.data(), text.size()); }

// facts.txt by name; the lines a name may repeat on, in order, with their numbers.
struct Facts {
    bool kit2 = false; // written by 2.0.0's collector ("Collector=")
    std::map<std::string, std::string> values;
    std::vector<std::string> present;                        // 1.2.0's Present=
    std::vector<std::pair<size_t, std::string>> repeated[3]; // 2.0.0's Device=, DriverKey=, Rollback=

    // Takes a name. Returns its value; "" when not given.
    std::string Value(const std::string &name) const {
        auto const found = values.find(name);
        return found == values.end() ? "" : found->second;
    }
};
constexpr const char *kRepeatedNames[] = {"Device", "DriverKey", "Rollback"};

Facts ReadFacts(const fs::path &path) {
    static const char *const kNames[] = {"Version", "BuildNumber", "ProductType", "OtherTypeDescription",
                                         "OSType",  "CSDVersion",  "Presence"};
    static const char *const kNames2[] = {
        "Collector",   "MajorVersion", "MinorVersion",          "BuildNumber", "PlatformId", "CSDVersion",
        "ProductType", "ServerR2",     "ProcessorArchitecture", "CodePage",    "Presence"};
    std::string const bytes = ReadBounded(path);
    Facts facts;
    std::vector<std::tuple<size_t, std::string, std::string>> lines; // number, name, value
    size_t number = 0;
    std::istringstream in(bytes);
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue; // a blank line carries no field
        }
        size_t const equals = line.find('=');
        if (equals == std::string::npos) {
            Fail(path, "line " + std::to_string(number) + ": expected Name=Value");
        }
        lines.emplace_back(number, line.substr(0, equals), line.substr(equals + 1));
        facts.kit2 = facts.kit2 || line.substr(0, equals) == "Collector";
    }
    for (const auto &[lineNumber, name, value] : lines) {
        std::string where = "line " + std::to_string(lineNumber);
        auto const repeated = std::find(std::begin(kRepeatedNames), std::end(kRepeatedNames), name);
        if (!facts.kit2 && name == "Present") {
            facts.present.push_back(value);
        } else if (facts.kit2 && repeated != std::end(kRepeatedNames)) {
            facts.repeated[repeated - std::begin(kRepeatedNames)].emplace_back(lineNumber, value);
        } else if (facts.kit2 ? std::find(std::begin(kNames2), std::end(kNames2), name) == std::end(kNames2)
                              : std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) {
            Fail(path, where.append(": unknown name ").append(Quote(name)));
        } else if (!facts.values.emplace(name, value).second) {
            Fail(path, name + ": given twice (" + where.append(")"));
        }
    }
    return facts;
}

// Takes a 2.0.0 value and what it is, for messages. Returns its bytes with
// the %XX escapes undone; refuses a '%' without two hex digits.
std::string Unescape(const fs::path &path, const std::string &where, const std::string &text) {
    std::string bytes;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            bytes += text[at];
            continue;
        }
        // The collector writes its digits in upper case: a lower-case one is none of its escapes.
        auto digit = [&text](size_t position) {
            return position < text.size() && text[position] < 'a' ? kit::ReadHexDigit(text[position]) : -1;
        };
        int const high = digit(at + 1);
        int const low = digit(at + 2);
        if (high < 0 || low < 0) {
            Fail(path, where + ": '%' without two upper-case hex digits in " + Quote(text));
        }
        bytes += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return bytes;
}

// Takes a 2.0.0 line of several fields and how many it must hold. Returns
// them, split at single spaces and unescaped.
std::vector<std::string> SplitFields(const fs::path &path, const std::string &where, const std::string &value,
                                     size_t count) {
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;) {
        size_t const space = value.find(' ', at);
        fields.push_back(Unescape(path, where, value.substr(at, space == std::string::npos ? space : space - at)));
        if (space == std::string::npos) {
            break;
        }
        at = space + 1;
    }
    if (fields.size() != count) {
        Fail(path, where + ": expected " + std::to_string(count) + " fields separated by single spaces, got " +
                       std::to_string(fields.size()));
    }
    return fields;
}

// Takes text. Returns the DWORD it writes in decimal digits, or nothing.
std::optional<host::DWORD> ReadDword(const std::string &text) {
    host::DWORD value = 0;
    auto const [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
    bool const whole = !text.empty() && text.size() <= kMostDigits && end == text.data() + text.size();
    return whole && fault == std::errc() ? std::optional<host::DWORD>(value) : std::nullopt;
}

// Takes facts.txt, the facts and a name. Returns its value; refuses a name not given.
std::string RequiredFact(const fs::path &path, const Facts &facts, const char *name) {
    if (facts.values.count(name) == 0) {
        Fail(path, std::string(name) + ": missing");
    }
    return facts.Value(name);
}

// Takes facts.txt, the facts, a name, the largest number it may hold and
// whether it must be given. Returns its decimal number; nothing when it may
// be left out and is (or is empty).
std::optional<host::DWORD> ReadFactNumber(const fs::path &path, const Facts &facts, const char *name, host::DWORD most,
                                          bool required) {
    std::string const text = required ? RequiredFact(path, facts, name) : facts.Value(name);
    std::optional<host::DWORD> const read = ReadDword(text);
    if ((required || !text.empty()) && (!read || *read > most)) {
        Fail(path, std::string(name) + ": expected a decimal number" +
                       (required ? " up to " + std::to_string(most) : "") + ", got " + Quote(text));
    }
    return read;
}

// Takes 2.0.0's facts. Fills the version GetVersionExA gave the collector,
// which runs under the tool's manifest: taken as recorded.
void MapRecordedVersion(const fs::path &path, const Facts &facts, Collection *collection) {
    auto value = [&](const char *name) { return RequiredFact(path, facts, name); };
    collection->collector = value("Collector");
    VersionInfo &version = collection->version;
    version.getVersionFails = value("MajorVersion").empty();
    auto number = [&](const char *name, host::DWORD most) { return *ReadFactNumber(path, facts, name, most, true); };
    if (!version.getVersionFails) {
        version.major = number("MajorVersion", UINT32_MAX);
        version.minor = number("MinorVersion", UINT32_MAX);
        version.build = number("BuildNumber", UINT32_MAX);
        version.platformId = number("PlatformId", UINT32_MAX);
        version.productType = static_cast<host::BYTE>(number("ProductType", 0xFF));
        version.csdVersion = Unescape(path, "CSDVersion", value("CSDVersion"));
        if (version.csdVersion.size() > kMostTextLength) {
            Fail(path, "CSDVersion: longer than 127 bytes");
        }
    }
    version.serverR2 = static_cast<int>(number("ServerR2", INT32_MAX));
    version.codePage = number("CodePage", 0xFFFF);
    collection->recordedVersion =
        version.getVersionFails
            ? "unknown (GetVersionExA failed)"
            : std::to_string(version.major) + "." + std::to_string(version.minor) + "." + std::to_string(version.build);
    if (value("Presence") != "SetupDi") {
        Fail(path, "Presence: expected SetupDi, got " + Quote(value("Presence")));
    }
    collection->notes.push_back("version: " + collection->recordedVersion +
                                " as GetVersionExA gave it to the collector, which runs under the tool's manifest; "
                                "code page " +
                                std::to_string(version.codePage));
}

// Takes facts.txt, the name of its lines that list devices, the paths they
// list with their presence, the collected registry and whether a device not
// listed counts as present. Fills every device instance with its presence;
// refuses a listed path that is no device instance.
void MarkPresence(const fs::path &path, const char *field, const std::vector<DevicePresence> &listed,
                  const Registry &registry, bool assumed, Collection *collection) {
    struct Listing {
        bool present = false;
        bool found = false;
    };
    std::map<std::string, Listing, LessIgnoringCase> byPath;
    for (const DevicePresence &device : listed) {
        byPath[device.path].present |= device.present;
    }
    for (const DeviceInstance &instance : DeviceInstances(registry)) {
        auto const entry = byPath.find(instance.path);
        if (entry != byPath.end()) {
            entry->second.found = true;
        }
        collection->devices.push_back({instance.path, assumed || (entry != byPath.end() && entry->second.present)});
    }
    for (const DevicePresence &device : listed) {
        if (!byPath[device.path].found) {
            Fail(path, field + (": " + Quote(device.path)) + " is no device instance of the collected registry");
        }
    }
}

// Takes 2.0.0's facts and the collected registry. Fills the devices, their
// presence, the driver keys and the rollback records.
void MapDeviceFacts(const fs::path &path, const Facts &facts, const Registry &registry, Collection *collection) {
    std::vector<DevicePresence> listed;
    for (const auto &[lineNumber, value] : facts.repeated[0]) {
        std::string const where = "line " + std::to_string(lineNumber) + ": Device";
        std::vector<std::string> const fields = SplitFields(path, where, value, 4);
        if (fields[0] != "present" && fields[0] != "absent") {
            Fail(path, where + ": expected present or absent, got " + Quote(fields[0]));
        }
        if (fields[1].empty()) {
            Fail(path, where + ": no instance ID");
        }
        listed.push_back({fields[1], fields[0] == "present"});
    }
    MarkPresence(path, "Device", listed, registry, false, collection);
    collection->notes.emplace_back("presence: as SetupDi listed the network class with DIGCF_PRESENT");
    for (const auto &[lineNumber, value] : facts.repeated[1]) {
        std::string const where = "line " + std::to_string(lineNumber) + ": DriverKey";
        std::vector<std::string> const fields = SplitFields(path, where, value, 4);
        std::optional<host::DWORD> const error = ReadDword(fields[2]);
        // writable goes with error 0, missing with 2 (ERROR_FILE_NOT_FOUND), denied with any other.
        bool const matches = error && ((fields[1] == "writable" && *error == 0) ||
                                       (fields[1] == "missing" && *error == host::ERROR_FILE_NOT_FOUND) ||
                                       (fields[1] == "denied" && *error != 0 && *error != host::ERROR_FILE_NOT_FOUND));
        if (fields[0].empty() || !matches) {
            Fail(path, where + ": expected <driver key name> writable 0|denied <error>|missing 2 <SDDL>, got " +
                           Quote(value));
        }
        collection->driverKeys.push_back({fields[0], fields[1], static_cast<host::LONG>(*error), fields[3]});
    }
    for (const auto &[lineNumber, value] : facts.repeated[2]) {
        std::vector<std::string> const fields =
            SplitFields(path, "line " + std::to_string(lineNumber) + ": Rollback", value, 2);
        char keyPath[kit::kMostKeyPathBytes] = {};
        bool const named = fields[0].size() < kit::kMostNameBytes && kit::MakeDriverKeyPath(fields[0].c_str(), keyPath);
        bool const held = named && std::string(keyPath).find_first_of("\r\n") == std::string::npos &&
                          registry.FindKey(keyPath) != nullptr;
        collection->rollbackRecords.push_back({fields[0], fields[1], held ? keyPath : ""});
    }
}

// Takes the facts. Returns the version information the tool's GetVersionExA
// and GetSystemMetrics(SM_SERVERR2) give on that Windows.
void MapVersion(const fs::path &path, const Facts &facts, Collection *collection) {
    std::string const text = RequiredFact(path, facts, "Version");
    std::vector<host::DWORD> parts; // "major.minor", "major.minor.build" or ver's four parts
    for (size_t at = 0; at <= text.size() && parts.size() <= 4;) {
        size_t const dot = std::min(text.find('.', at), text.size());
        std::optional<host::DWORD> const part = ReadDword(text.substr(at, dot - at));
        if (!part) {
            parts.clear();
            break;
        }
        parts.push_back(*part);
        at = dot + 1;
    }
    if (parts.size() < 2 || parts.size() > 4) {
        Fail(path, "Version: expected major.minor[.build], got " + Quote(text));
    }
    auto number = [&](const char *name) { return ReadFactNumber(path, facts, name, UINT32_MAX, false); };
    VersionInfo &version = collection->version;
    collection->recordedVersion = text;
    version.major = parts[0];
    version.minor = parts[1];
    version.build = number("BuildNumber").value_or(parts.size() > 2 ? parts[2] : 0);
    // GetVersionEx: "Applications not manifested for Windows 8.1 or Windows 10
    // will return the Windows 8 OS version value (6.2)"; the tool's manifest
    // lists no supported operating system.
    bool const capped = version.major > 6 || (version.major == 6 && version.minor > 2);
    if (capped) {
        version.major = 6;
        version.minor = 2;
        version.build = 9200;
    }
    host::DWORD const osType = number("OSType").value_or(0); // WMI's: 16 Windows 95, 17 Windows 98, 18 NT
    bool const windows9x =
        osType == 16U || osType == 17U || (version.major == 4 && (version.minor == 10 || version.minor == 90));
    version.platformId = windows9x ? 1 : 2;
    if (windows9x && version.build <= 0xFFFFU) {
        version.build |= version.major << 24U | version.minor << 16U; // as 9x's GetVersionEx reports it
    }
    std::optional<host::DWORD> const productType = number("ProductType");
    if (productType && (*productType < 1 || *productType > 3)) {
        Fail(path, "ProductType: expected 1, 2 or 3, got " + Quote(facts.Value("ProductType")));
    }
    version.productType = static_cast<host::BYTE>(productType.value_or(host::VER_NT_WORKSTATION));
    for (const char *name : {"OtherTypeDescription", "CSDVersion"}) {
        std::string const field = facts.Value(name);
        if (field.size() > kMostTextLength ||
            !std::all_of(field.begin(), field.end(), [](char c) { return c >= ' ' && c <= '~'; })) {
            Fail(path, std::string(name) + ": expected printable ASCII text of at most 127 characters");
        }
    }
    bool const r2 = facts.Value("OtherTypeDescription") == "R2" && version.major == 5 && version.minor == 2;
    version.serverR2 = r2 ? static_cast<int>(version.build) : 0;
    version.csdVersion = facts.Value("CSDVersion");
    collection->notes.push_back(
        "version: recorded " + text + ", seen by the tool as " + std::to_string(version.major) + "." +
        std::to_string(version.minor) + " build " + std::to_string(version.build) +
        (capped ? " (GetVersionEx gives 6.2 to a program not manifested for Windows 8.1 or 10)" : ""));
    if (!productType) {
        collection->notes.emplace_back("version: product type assumed 1 (workstation): the collection gives none");
    }
}

// Takes the collected registry and the facts. Returns every device instance
// with whether it is present.
void MapPresence(const fs::path &path, const Facts &facts, const Registry &registry, Collection *collection) {
    std::string const presence = facts.Value("Presence");
    if (presence != "Win32_PnPEntity" && presence != "assumed") {
        Fail(path, "Presence: expected Win32_PnPEntity or assumed, got " + Quote(presence));
    }
    collection->notes.emplace_back(presence == "assumed"
                                       ? "presence: assumed (the collection could not tell which devices are present)"
                                       : "presence: as Win32_PnPEntity listed it");
    std::vector<DevicePresence> listed;
    for (const std::string &present : facts.present) {
        listed.push_back({present, true});
    }
    MarkPresence(path, "Present", listed, registry, presence == "assumed", collection);
}

// Takes trace.txt. Returns it with CR LF turned into LF; refuses a trace no
// run of the program writes whole: another program's output first, a byte
// it cannot print, a last line without its line feed, more attempts than it
// makes, or fewer without a line that ends the run.
std::string ReadTrace(const fs::path &path) {
    std::string const bytes = ReadBounded(path);
    std::string trace;
    for (size_t at = 0; at < bytes.size(); ++at) {
        if (bytes[at] != '\r' || at + 1 == bytes.size() || bytes[at + 1] != '\n') {
            trace += bytes[at];
        }
    }
    size_t offset = 0;
    auto const fault = static_cast<size_t>(kit::CheckWholeTrace(trace.data(), trace.size(), &offset));
    kit::RunAccount account;
    kit::ReadRunAccount(trace.data(), trace.size(), &account);
    std::string const line =
        "line " + std::to_string(std::count(trace.begin(), trace.begin() + static_cast<long>(offset), '\n') + 1);
    std::string const attempts = "attempts: " + std::to_string(account.attempts);
    std::string const messages[] = {
        "",
        line + ": not the program's: it begins with an attempt",
        line + ": byte " + Hex(offset < trace.size() ? static_cast<unsigned char>(trace[offset]) : 0, 2) +
            ", which the program never prints",
        line + ": cut mid-line (no line feed at its end)",
        attempts + ", more than the program's " + std::to_string(kit::kProgramAttempts),
        attempts + " without a line that ends the run: the run was cut short",
    };
    if (fault != 0) {
        Fail(path, messages[fault]);
    }
    return trace;
}

// Takes a .reg file's bytes. Returns whether they end as regedit ends an
// export: with an empty line after the last key (CR LF or LF; UTF-16 too).
bool EndsWithEmptyLine(const std::string &bytes) {
    bool const wide = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
    size_t const unit = wide ? 2 : 1;
    std::string ends; // the last characters, CRs left out
    for (size_t at = bytes.size(); at >= unit && ends.size() < 2 && (!wide || bytes[at - 1] == 0); at -= unit) {
        if (bytes[at - unit] != '\r') {
            ends += bytes[at - unit];
        }
    }
    return ends == "\n\n";
}

// Takes collection.txt of a 2.0.0 collection: its first line the kit's
// summary, every further line a note of a file left out or not written.
void CheckCompleteness(const fs::path &path) {
    std::string const text = ReadBounded(path);
    size_t const note = text.find_first_not_of("\r\n", std::min(text.find('\n'), text.size()));
    if (note != std::string::npos) {
        size_t const line = static_cast<size_t>(std::count(text.begin(), text.begin() + static_cast<long>(note), '\n'));
        Fail(path, "line " + std::to_string(line + 1) + ": the kit noted " +
                       Quote(text.substr(note, text.find_first_of("\r\n", note) - note)) +
                       ": the collection is incomplete");
    }
}

void Read(const fs::path &folder, Collection *collection) {
    collection->trace = ReadTrace(folder / "trace.txt");
    Facts const facts = ReadFacts(folder / "facts.txt");
    if (facts.kit2) {
        CheckCompleteness(folder / "collection.txt");
        MapRecordedVersion(folder / "facts.txt", facts, collection);
    } else {
        MapVersion(folder / "facts.txt", facts, collection);
    }

    std::error_code failed;
    fs::directory_iterator entries(folder, failed);
    for (; !failed && entries != fs::directory_iterator(); entries.increment(failed)) {
        std::string const name = entries->path().filename().string();
        if (name.size() > 4 && EqualsIgnoreCase(name.substr(name.size() - 4), ".reg") &&
            entries->is_regular_file(failed)) {
            collection->regFiles.push_back(name);
        }
    }
    if (failed || collection->regFiles.empty() || collection->regFiles.size() > kMostRegFiles) {
        Fail(folder / "*.reg", "expected 1 to " + std::to_string(kMostRegFiles) + " regedit exports");
    }
    std::sort(collection->regFiles.begin(), collection->regFiles.end());
    Registry registry;
    for (const std::string &name : collection->regFiles) {
        fs::path const file = folder / name;
        RegImportError importError;
        std::string const bytes = ReadBounded(file);
        if (!EndsWithEmptyLine(bytes)) {
            Fail(file, "end: cut: regedit ends an export with an empty line after its last key");
        }
        if (!ImportRegBytes(registry, bytes, file.generic_string(), &importError, collection->version.codePage)) {
            Fail(file, "line " + std::to_string(importError.line) + ": " + importError.message);
        }
    }
    if (facts.kit2) {
        MapDeviceFacts(folder / "facts.txt", facts, registry, collection);
    } else {
        MapPresence(folder / "facts.txt", facts, registry, collection);
    }
}

} // namespace

bool ReadCollection(const std::string &folder, Collection *collection, std::string *error) {
    Collection read;
    read.folder = folder;
    try {
        Read(folder, &read);
    } catch (const CollectionFault &fault) {
        *error = fault.file + ": " + fault.message;
        return false;
    }
    *collection = std::move(read);
    return true;
}

} // namespace sim
