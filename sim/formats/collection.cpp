// collection.cpp - reading a collection folder, and the version the tool saw there.

#include "formats/collection.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "formats/reg_file.h"
#include "formats/scenario.h"
#include "machine/registry.h"
#include "machine/text.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMostRegFiles = 64;
constexpr size_t kMostDigits = 9; // every number fits a DWORD
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

// Takes text. Returns the number it writes in 1..9 decimal digits, or nothing.
std::optional<host::DWORD> ReadDecimal(const std::string &text) {
    if (text.empty() || text.size() > kMostDigits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return static_cast<host::DWORD>(std::stoul(text));
}

// facts.txt by name; Present lines in order.
struct Facts {
    std::map<std::string, std::string> values;
    std::vector<std::string> present;
};

Facts ReadFacts(const fs::path &path) {
    static const char *const kNames[] = {"Version", "BuildNumber", "ProductType", "OtherTypeDescription",
                                         "OSType",  "CSDVersion",  "Presence"};
    std::string const bytes = ReadBounded(path);
    Facts facts;
    size_t number = 0;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        end = end == std::string::npos ? bytes.size() : end;
        std::string line = bytes.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty()) {
            continue; // a blank line carries no field
        }
        size_t const equals = line.find('=');
        std::string where = "line " + std::to_string(number);
        if (equals == std::string::npos) {
            Fail(path, where + ": expected Name=Value");
        }
        std::string const name = line.substr(0, equals);
        std::string const value = line.substr(equals + 1); // as written: 98 SE's CSDVersion is " A "
        if (name == "Present") {
            facts.present.push_back(value);
        } else if (std::find(std::begin(kNames), std::end(kNames), name) == std::end(kNames)) {
            Fail(path, where.append(": unknown name ").append(Quote(name)));
        } else if (!facts.values.emplace(name, value).second) {
            Fail(path, name + ": given twice (" + where.append(")"));
        }
    }
    return facts;
}

// Takes the facts. Returns the version information the tool's GetVersionExA
// and GetSystemMetrics(SM_SERVERR2) give on that Windows.
void MapVersion(const fs::path &path, const Facts &facts, Collection *collection) {
    auto value = [&facts](const char *name) {
        auto found = facts.values.find(name);
        return found == facts.values.end() ? std::string() : found->second;
    };
    std::string const text = value("Version");
    if (facts.values.count("Version") == 0) {
        Fail(path, "Version: missing");
    }
    std::vector<host::DWORD> parts; // "major.minor", "major.minor.build" or ver's four parts
    for (size_t at = 0; at <= text.size() && parts.size() <= 4;) {
        size_t const dot = std::min(text.find('.', at), text.size());
        std::optional<host::DWORD> const part = ReadDecimal(text.substr(at, dot - at));
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
    auto number = [&](const char *name) {
        std::optional<host::DWORD> const read = ReadDecimal(value(name));
        if (!value(name).empty() && !read) {
            Fail(path, std::string(name) + ": expected a decimal number, got " + Quote(value(name)));
        }
        return read;
    };
    VersionInfo &version = collection->version;
    collection->recordedVersion = text;
    version.major = parts[0];
    version.minor = parts[1];
    version.build = number("BuildNumber").value_or(parts.size() > 2 ? parts[2] : 0);
    // GetVersionEx: "Applications not manifested for Windows 8.1 or Windows 10
    // will return the Windows 8 OS version value (6.2)"; the tool's manifest
    // lists no supported operating system.
    collection->versionCapped = version.major > 6 || (version.major == 6 && version.minor > 2);
    if (collection->versionCapped) {
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
        Fail(path, "ProductType: expected 1, 2 or 3, got " + Quote(value("ProductType")));
    }
    collection->productTypeAssumed = !productType;
    version.productType = static_cast<host::BYTE>(productType.value_or(host::VER_NT_WORKSTATION));
    for (const char *name : {"OtherTypeDescription", "CSDVersion"}) {
        std::string const field = value(name);
        if (field.size() > kMostTextLength ||
            !std::all_of(field.begin(), field.end(), [](char c) { return c >= ' ' && c <= '~'; })) {
            Fail(path, std::string(name) + ": expected printable ASCII text of at most 127 characters");
        }
    }
    bool const r2 = value("OtherTypeDescription") == "R2" && version.major == 5 && version.minor == 2;
    version.serverR2 = r2 ? static_cast<int>(version.build) : 0;
    version.csdVersion = value("CSDVersion");
}

// Takes the collected registry and the facts. Returns every device instance
// with whether it is present.
void MapPresence(const fs::path &path, const Facts &facts, const Registry &registry, Collection *collection) {
    std::string const presence = facts.values.count("Presence") != 0 ? facts.values.at("Presence") : "";
    if (presence != "Win32_PnPEntity" && presence != "assumed") {
        Fail(path, "Presence: expected Win32_PnPEntity or assumed, got " + Quote(presence));
    }
    collection->presenceAssumed = presence == "assumed";
    std::vector<bool> listed(facts.present.size(), false);
    for (const DeviceInstance &instance : DeviceInstances(registry)) {
        bool present = collection->presenceAssumed;
        for (size_t i = 0; i < facts.present.size(); ++i) {
            if (EqualsIgnoreCase(facts.present[i], instance.path)) {
                listed[i] = true;
                present = true;
            }
        }
        collection->devices.emplace_back(instance.path, present);
    }
    for (size_t i = 0; i < listed.size(); ++i) {
        if (!listed[i]) {
            Fail(path, "Present: " + Quote(facts.present[i]) + " is no device instance of the collected registry");
        }
    }
}

void Read(const fs::path &folder, Collection *collection) {
    std::string const trace = ReadBounded(folder / "trace.txt");
    for (size_t at = 0; at < trace.size(); ++at) {
        if (trace[at] != '\r' || at + 1 == trace.size() || trace[at + 1] != '\n') {
            collection->trace += trace[at];
        }
    }
    if (collection->trace.find(kAttemptStart) == std::string::npos) {
        Fail(folder / "trace.txt", "expected at least one attempt (a \"--> DetectAdapter()\" line)");
    }
    Facts const facts = ReadFacts(folder / "facts.txt");
    MapVersion(folder / "facts.txt", facts, collection);

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
        if (!ImportRegBytes(registry, ReadBounded(file), file.generic_string(), &importError)) {
            Fail(file, "line " + std::to_string(importError.line) + ": " + importError.message);
        }
    }
    MapPresence(folder / "facts.txt", facts, registry, collection);
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
