// collector.cpp - a collection: what the program sees of this machine, read
// through the kit's seam and handed to a sink file by file. facts.txt holds
// "Name=Value" lines, bytes below 0x20, 0x7F and '%' written "%XX" so that no
// device string can break a line; in the lines of several fields a space is
// escaped too and one space separates them. sim/formats/collection.cpp reads
// it back for edcca-sim --replay; docs/scenario-format.md describes it.

#include "kit/collector.h"

#include <cstring>

#include "kit/core/kit_adapters.h"
#include "kit/host/kit_host.h"

namespace kit {
namespace {

constexpr char kCollectorLine[] = "Collector=EdccaKit 2.0.0";
constexpr char kEnvironmentKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kArchitectureValue[] = "PROCESSOR_ARCHITECTURE";
constexpr char kEnumKeyPath[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kOlderClassKeyPath[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\Net";
constexpr char kOlderServicesKeyPath[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net";
constexpr char kRollbackPath[] = "SYSTEM\\EdccaProvision\\Rollback";
constexpr char kNetClassName[] = "Net";
constexpr char kRootName[] = "HKEY_LOCAL_MACHINE";
constexpr char kLineEnd[] = "\r\n";

constexpr std::size_t kWriteChunk = 8192;          // bytes gathered before the sink is called
constexpr std::size_t kMostKeyNameBytes = 1024;    // Windows' limit is 255 characters
constexpr std::size_t kMostValueNameBytes = 16384; // 16,383 characters and the NUL
constexpr std::size_t kHeldValueBytes = 65536;     // larger values are read into a block of their own
constexpr std::size_t kMostPathBytes = 32768;
constexpr std::size_t kMostLevels = 512; // the registry's deepest nesting
constexpr std::size_t kMostPropertyBytes = 65536;
constexpr std::size_t kMostHexColumns = 76; // where regedit breaks hex data
constexpr host::DWORD kClassGuidCapacity = 4;
constexpr host::DWORD kFullSecurity =
    host::OWNER_SECURITY_INFORMATION | host::GROUP_SECURITY_INFORMATION | host::DACL_SECURITY_INFORMATION;
constexpr host::DWORD kSecurityBytes = 4096;
constexpr host::LSTATUS kOutOfMemory = 8; // ERROR_NOT_ENOUGH_MEMORY: a value's block could not be had

// ---- writing a file through the sink ----

// One file being written: bytes gathered and handed on in chunks; past
// `limit` bytes the file is too large and nothing more is gathered.
struct Writer {
    const CollectionSink *sink;
    char chunk[kWriteChunk];
    std::size_t used;
    std::size_t total;
    std::size_t limit;
    bool begun;    // the sink began the file
    bool failed;   // the sink refused a write
    bool tooLarge; // past the limit
};

Writer g_writer;

// Takes the sink, a file name and the most bytes it may hold. Returns the
// writer, failed when the sink could not begin the file.
Writer *BeginFile(const CollectionSink &sink, const char *fileName, std::size_t limit) {
    Writer *writer = &g_writer;
    writer->sink = &sink;
    writer->used = 0;
    writer->total = 0;
    writer->limit = limit;
    writer->tooLarge = false;
    writer->begun = sink.begin(sink.context, fileName) != 0;
    writer->failed = !writer->begun;
    return writer;
}

// Takes a writer. Hands the gathered bytes to the sink.
void FlushChunk(Writer *writer) {
    if (writer->used > 0 && !writer->failed && !writer->tooLarge &&
        writer->sink->append(writer->sink->context, writer->chunk, writer->used) == 0) {
        writer->failed = true;
    }
    writer->used = 0;
}

void WriteBytes(Writer *writer, const char *bytes, std::size_t length) {
    if (writer->failed || writer->tooLarge) {
        return;
    }
    if (length > writer->limit - writer->total) {
        writer->tooLarge = true;
        return;
    }
    writer->total += length;
    while (length > 0) {
        if (writer->used == kWriteChunk) {
            FlushChunk(writer);
        }
        std::size_t const room = kWriteChunk - writer->used;
        std::size_t const part = length < room ? length : room;
        std::memcpy(writer->chunk + writer->used, bytes, part);
        writer->used += part;
        bytes += part;
        length -= part;
    }
}

void WriteText(Writer *writer, const char *text) { WriteBytes(writer, text, std::strlen(text)); }

void WriteNumber(Writer *writer, unsigned long number) {
    char digits[16];
    std::size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    WriteBytes(writer, digits + at, sizeof digits - at);
}

const char kHexDigits[] = "0123456789abcdef";
const char kUpperHexDigits[] = "0123456789ABCDEF";

// Takes bytes of a facts value. Writes them with bytes below 0x20, 0x7F and
// '%' (and spaces, for a field of several) as "%XX".
void WriteEscaped(Writer *writer, const char *bytes, std::size_t length, bool escapeSpace) {
    for (std::size_t i = 0; i < length; ++i) {
        auto const c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x20 || c == 0x7F || c == '%' || (escapeSpace && c == ' ')) {
            char const escaped[3] = {'%', kUpperHexDigits[c >> 4U], kUpperHexDigits[c & 0x0FU]};
            WriteBytes(writer, escaped, sizeof escaped);
        } else {
            WriteBytes(writer, bytes + i, 1);
        }
    }
}

void WriteField(Writer *writer, const char *text) { WriteEscaped(writer, text, std::strlen(text), true); }

// Takes a writer and whether to keep the file. Ends it. Returns 1, or 0 when
// the sink failed.
int EndFile(Writer *writer, bool keep) {
    if (!writer->begun) {
        return 0; // nothing to end: the sink could not begin the file
    }
    FlushChunk(writer);
    bool const kept = keep && !writer->failed && !writer->tooLarge;
    int const ended = writer->sink->end(writer->sink->context, kept);
    return writer->failed || ended == 0 ? 0 : 1;
}

// ---- notes for collection.txt ----

constexpr std::size_t kNotesBytes = 4096;
char g_notes[kNotesBytes];
std::size_t g_notesLength;

// Takes a note's parts: a prefix ("HKLM\\" or ""), what it is about, and what happened.
void AddNote(const char *prefix, const char *subject, const char *what) {
    const char *const parts[] = {prefix, subject, what, kLineEnd};
    for (const char *part : parts) {
        std::size_t const length = std::strlen(part);
        if (length < kNotesBytes - 1 - g_notesLength) {
            std::memcpy(g_notes + g_notesLength, part, length);
            g_notesLength += length;
        }
    }
    g_notes[g_notesLength] = '\0';
}

// ---- reading values ----

// A value read by RegEnumValueA: its data in the held buffer, or in a block
// of LocalAlloc when larger.
struct ValueRead {
    char name[kMostValueNameBytes];
    host::DWORD type;
    host::DWORD size;
    host::BYTE *data;
};

ValueRead g_value;
host::BYTE g_heldData[kHeldValueBytes];

void ReleaseValue(ValueRead *value) {
    if (value->data != nullptr && value->data != g_heldData) {
        host::LocalFree(value->data);
    }
    value->data = nullptr;
}

// Takes an open key, a value index and the largest data wanted. Reads the
// value into *value (data null when it is larger than `most`). Returns the
// status of RegEnumValueA: ERROR_NO_MORE_ITEMS past the last value.
host::LSTATUS ReadValueAt(host::HKEY key, host::DWORD index, std::size_t most, ValueRead *value) {
    ReleaseValue(value);
    for (int tries = 0; tries < 3; ++tries) {
        host::DWORD nameSize = sizeof value->name;
        host::DWORD size = sizeof g_heldData;
        value->type = host::REG_NONE;
        host::LSTATUS status =
            host::RegEnumValueA(key, index, value->name, &nameSize, nullptr, &value->type, g_heldData, &size);
        if (status == host::ERROR_SUCCESS) {
            value->size = size;
            value->data = g_heldData;
            return status;
        }
        if (status != host::ERROR_MORE_DATA) {
            return status;
        }
        // The data is larger than the held buffer: ask its size, then read it whole.
        nameSize = sizeof value->name;
        size = 0;
        status = host::RegEnumValueA(key, index, value->name, &nameSize, nullptr, &value->type, nullptr, &size);
        if (status != host::ERROR_SUCCESS) {
            return status;
        }
        value->size = size;
        if (size > most) {
            return host::ERROR_SUCCESS;
        }
        value->data = static_cast<host::BYTE *>(host::LocalAlloc(host::LMEM_FIXED, size));
        if (value->data == nullptr) {
            return kOutOfMemory;
        }
        nameSize = sizeof value->name;
        status = host::RegEnumValueA(key, index, value->name, &nameSize, nullptr, &value->type, value->data, &size);
        if (status == host::ERROR_SUCCESS) {
            value->size = size;
            return status;
        }
        ReleaseValue(value);
        if (status != host::ERROR_MORE_DATA) {
            return status; // grown meanwhile: tried again
        }
    }
    return host::ERROR_MORE_DATA;
}

// ---- regedit's REGEDIT4 export ----

struct Level {
    host::HKEY key;
    host::DWORD nextSubkey;
    std::size_t pathLength;
};

Level g_levels[kMostLevels];
char g_path[kMostPathBytes];
char g_subkeyName[kMostKeyNameBytes];

// Takes text. Writes it quoted as regedit does: \ and " escaped, and CR and
// LF as \r and \n, which regedit reads back.
void WriteQuoted(Writer *writer, const char *text, std::size_t length) {
    WriteText(writer, "\"");
    for (std::size_t i = 0; i < length; ++i) {
        char const c = text[i];
        const char *escape = c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\r' ? "\\r" : c == '\n' ? "\\n" : nullptr;
        if (escape != nullptr) {
            WriteText(writer, escape);
        } else {
            WriteBytes(writer, &c, 1);
        }
    }
    WriteText(writer, "\"");
}

// Takes the value's line so far (its column) and its data. Writes the data as
// comma-separated hex bytes, broken where regedit breaks them.
void WriteHexData(Writer *writer, std::size_t column, const host::BYTE *data, host::DWORD size) {
    for (host::DWORD i = 0; i < size; ++i) {
        char const byte[3] = {kHexDigits[data[i] >> 4U], kHexDigits[data[i] & 0x0FU], ','};
        bool const last = i + 1 == size;
        WriteBytes(writer, byte, last ? 2 : 3);
        column += 3;
        if (!last && column >= kMostHexColumns) {
            WriteText(writer, "\\\r\n  ");
            column = 2;
        }
    }
}

// Whether string data is one text with its one NUL at the end, as "text" holds it.
bool IsPlainText(const host::BYTE *data, host::DWORD size) {
    if (size == 0 || data[size - 1] != 0) {
        return false;
    }
    return std::memchr(data, 0, size - 1) == nullptr;
}

void WriteValue(Writer *writer, const ValueRead &value) {
    std::size_t const nameLength = std::strlen(value.name);
    std::size_t column = writer->total;
    if (nameLength == 0) {
        WriteText(writer, "@=");
    } else {
        WriteQuoted(writer, value.name, nameLength);
        WriteText(writer, "=");
    }
    if (value.type == host::REG_SZ && IsPlainText(value.data, value.size)) {
        WriteQuoted(writer, reinterpret_cast<const char *>(value.data), value.size - 1);
    } else if (value.type == host::REG_DWORD && value.size == 4) {
        unsigned long const number =
            static_cast<unsigned long>(value.data[0]) | static_cast<unsigned long>(value.data[1]) << 8U |
            static_cast<unsigned long>(value.data[2]) << 16U | static_cast<unsigned long>(value.data[3]) << 24U;
        char text[8];
        for (int i = 0; i < 8; ++i) {
            text[i] = kHexDigits[(number >> (28U - 4U * static_cast<unsigned>(i))) & 0x0FU];
        }
        WriteText(writer, "dword:");
        WriteBytes(writer, text, sizeof text);
    } else {
        if (value.type == host::REG_BINARY) {
            WriteText(writer, "hex:");
        } else {
            char type[8];
            std::size_t at = sizeof type;
            host::DWORD rest = value.type;
            do {
                type[--at] = kHexDigits[rest & 0x0FU];
                rest >>= 4U;
            } while (rest != 0);
            WriteText(writer, "hex(");
            WriteBytes(writer, type + at, sizeof type - at);
            WriteText(writer, "):");
        }
        WriteHexData(writer, writer->total - column, value.data, value.size);
    }
    WriteText(writer, kLineEnd);
}

// Takes an open key and g_path holding its path. Writes its section: the
// [key] line and its values. Returns ERROR_SUCCESS or the error of a read.
host::LSTATUS WriteSection(Writer *writer, host::HKEY key) {
    WriteText(writer, kLineEnd);
    WriteText(writer, "[");
    WriteText(writer, kRootName);
    WriteText(writer, "\\");
    WriteText(writer, g_path);
    WriteText(writer, "]\r\n");
    host::LSTATUS status = host::ERROR_SUCCESS;
    for (host::DWORD index = 0; status == host::ERROR_SUCCESS && !writer->tooLarge; ++index) {
        status = ReadValueAt(key, index, kMostExportBytes, &g_value);
        if (status == host::ERROR_SUCCESS) {
            if (g_value.data == nullptr) {
                writer->tooLarge = true; // one value alone is past the export's limit
            } else {
                WriteValue(writer, g_value);
            }
        }
    }
    ReleaseValue(&g_value);
    return status == host::ERROR_NO_MORE_ITEMS ? host::ERROR_SUCCESS : status;
}

// Whether a key name can stand in a [key] line: regedit has no escape for a line break.
bool FitsKeyLine(const char *name) { return std::strchr(name, '\r') == nullptr && std::strchr(name, '\n') == nullptr; }

// Takes a writer and a key path under HKLM. Writes the key and everything
// below it, depth first in enumeration order, walking with a stack of open
// keys no deeper than the registry nests. Returns ERROR_SUCCESS (also for a
// missing key: nothing to write) or the error that stopped the walk.
host::LSTATUS ExportTree(Writer *writer, const char *path) {
    std::size_t const rootLength = std::strlen(path);
    if (rootLength >= sizeof g_path) {
        return host::ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(g_path, path, rootLength + 1);
    host::HKEY root = nullptr;
    host::LSTATUS status = host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, path, 0, host::KEY_READ, &root);
    if (status != host::ERROR_SUCCESS) {
        return status == host::ERROR_FILE_NOT_FOUND ? host::ERROR_SUCCESS : status;
    }
    std::size_t depth = 1;
    g_levels[0] = Level{root, 0, rootLength};
    status = WriteSection(writer, root);
    while (depth > 0 && status == host::ERROR_SUCCESS && !writer->tooLarge && !writer->failed) {
        Level *top = &g_levels[depth - 1];
        host::DWORD nameSize = sizeof g_subkeyName;
        host::LSTATUS const found =
            host::RegEnumKeyExA(top->key, top->nextSubkey, g_subkeyName, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (found == host::ERROR_NO_MORE_ITEMS) {
            host::RegCloseKey(top->key);
            --depth;
            continue;
        }
        if (found != host::ERROR_SUCCESS) {
            status = found;
            break;
        }
        ++top->nextSubkey;
        std::size_t const nameLength = std::strlen(g_subkeyName);
        if (depth == kMostLevels || top->pathLength + 1 + nameLength >= sizeof g_path || !FitsKeyLine(g_subkeyName)) {
            WriteText(writer, "\r\n; a subkey of the key above is left out: too deep, too long a path, or a line "
                              "break in its name\r\n");
            continue;
        }
        g_path[top->pathLength] = '\\';
        std::memcpy(g_path + top->pathLength + 1, g_subkeyName, nameLength + 1);
        host::HKEY subkey = nullptr;
        host::LSTATUS const opened = host::RegOpenKeyExA(top->key, g_subkeyName, 0, host::KEY_READ, &subkey);
        if (opened == host::ERROR_FILE_NOT_FOUND) {
            g_path[top->pathLength] = '\0';
            continue; // deleted since it was listed
        }
        if (opened != host::ERROR_SUCCESS) {
            status = opened;
            break;
        }
        g_levels[depth] = Level{subkey, 0, top->pathLength + 1 + nameLength};
        ++depth;
        status = WriteSection(writer, subkey);
    }
    while (depth > 0) {
        host::RegCloseKey(g_levels[--depth].key);
    }
    return status;
}

// Takes the exported key's path, for collection.txt, and the status of its
// walk. Ends the file, leaving it out when it grew too large or could not be
// read. Returns 1, or 0 when the sink failed.
int EndExport(Writer *writer, const char *path, host::LSTATUS status) {
    bool const tooLarge = writer->tooLarge;
    bool const keep = status == host::ERROR_SUCCESS && !tooLarge;
    int const ended = EndFile(writer, keep);
    if (tooLarge) {
        AddNote("HKLM\\", path, ": left out, larger than 4 MB");
    } else if (!keep || ended == 0) {
        AddNote("HKLM\\", path, ": could not be exported");
    }
    return ended;
}

// Takes the sink, a file name and the key's path. Writes one REGEDIT4 export
// of the key. Returns 1, or 0 when the sink failed.
int ExportKey(const CollectionSink &sink, const char *fileName, const char *path) {
    Writer *writer = BeginFile(sink, fileName, kMostExportBytes);
    WriteText(writer, "REGEDIT4\r\n");
    host::LSTATUS status = ExportTree(writer, path);
    if (status == host::ERROR_SUCCESS) {
        WriteText(writer, kLineEnd);
    }
    return EndExport(writer, path, status);
}

// Whether a key exists (it opens, or exists but refuses reading).
bool KeyExists(const char *path) {
    host::HKEY key = nullptr;
    host::LSTATUS const status = host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, path, 0, host::KEY_READ, &key);
    if (status == host::ERROR_SUCCESS) {
        host::RegCloseKey(key);
    }
    return status != host::ERROR_FILE_NOT_FOUND;
}

// ---- the network-class devices ----

// The network class's device sets: every device, and the present ones.
struct DeviceSets {
    host::HDEVINFO all;
    host::HDEVINFO present;
};

char g_instanceId[kMostNameBytes];
char g_otherInstanceId[kMostNameBytes];
char g_property[kMostPropertyBytes];
char g_hardwareId[kMostPropertyBytes];
char g_driverName[kMostNameBytes];
char g_adapterKeys[kMostAdapters][kMostNameBytes];
std::size_t g_adapterKeyCount;

// Takes nothing. Opens both sets of the class the program walks: the first
// GUID SetupDiClassGuidsFromNameA gives for "Net". Sets without a class stay
// INVALID_HANDLE_VALUE.
DeviceSets OpenDeviceSets() {
    DeviceSets sets = {host::INVALID_HANDLE_VALUE, host::INVALID_HANDLE_VALUE};
    host::GUID guids[kClassGuidCapacity];
    std::memset(guids, 0, sizeof guids);
    host::DWORD count = 0;
    if (!host::SetupDiClassGuidsFromNameA(kNetClassName, guids, kClassGuidCapacity, &count) || count == 0) {
        return sets;
    }
    sets.all = host::SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, 0);
    sets.present = host::SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, host::DIGCF_PRESENT);
    return sets;
}

void CloseDeviceSets(const DeviceSets &sets) {
    if (sets.all != host::INVALID_HANDLE_VALUE) {
        host::SetupDiDestroyDeviceInfoList(sets.all);
    }
    if (sets.present != host::INVALID_HANDLE_VALUE) {
        host::SetupDiDestroyDeviceInfoList(sets.present);
    }
}

// Takes a set and an index. Fills *member and the member's instance ID into
// `id` (kMostNameBytes). Returns 1, or 0 past the last member.
int ReadMember(host::HDEVINFO set, host::DWORD index, host::SP_DEVINFO_DATA *member, char *id) {
    std::memset(member, 0, sizeof *member);
    member->cbSize = sizeof *member;
    if (set == host::INVALID_HANDLE_VALUE || !host::SetupDiEnumDeviceInfo(set, index, member)) {
        return 0;
    }
    if (!host::SetupDiGetDeviceInstanceIdA(set, member, id, kMostNameBytes, nullptr)) {
        id[0] = '\0';
    }
    return 1;
}

bool SameTextIgnoringCase(const char *a, const char *b) {
    for (;; ++a, ++b) {
        char ca = *a >= 'a' && *a <= 'z' ? static_cast<char>(*a - 'a' + 'A') : *a;
        char cb = *b >= 'a' && *b <= 'z' ? static_cast<char>(*b - 'a' + 'A') : *b;
        if (ca != cb) {
            return false;
        }
        if (ca == '\0') {
            return true;
        }
    }
}

// Takes the sets and an instance ID. Returns whether the present set holds it.
bool IsPresent(const DeviceSets &sets, const char *instanceId) {
    host::SP_DEVINFO_DATA member;
    for (host::DWORD index = 0; ReadMember(sets.present, index, &member, g_otherInstanceId); ++index) {
        if (g_otherInstanceId[0] != '\0' && SameTextIgnoringCase(g_otherInstanceId, instanceId)) {
            return true;
        }
    }
    return false;
}

// Takes a member, a property and a buffer of `size` bytes. Writes the first
// string of the property (a REG_SZ's text, a REG_MULTI_SZ's first), cut to
// fit; "" when the device has none.
void ReadFirstString(host::HDEVINFO set, host::SP_DEVINFO_DATA *member, host::DWORD property, char *text,
                     std::size_t size) {
    text[0] = '\0';
    host::DWORD type = host::REG_NONE;
    host::DWORD required = 0;
    if (!host::SetupDiGetDeviceRegistryPropertyA(set, member, property, &type,
                                                 reinterpret_cast<host::BYTE *>(g_property), sizeof g_property - 1,
                                                 &required)) {
        return;
    }
    std::size_t const length = required < sizeof g_property - 1 ? required : sizeof g_property - 1;
    g_property[length] = '\0';
    std::size_t const textLength = std::strlen(g_property);
    std::size_t const kept = textLength < size - 1 ? textLength : size - 1;
    std::memcpy(text, g_property, kept);
    text[kept] = '\0';
}

// Takes a driver key name. Remembers it for the DriverKey= lines, once.
void RememberAdapterKey(const char *driverName) {
    if (driverName[0] == '\0') {
        return;
    }
    for (std::size_t i = 0; i < g_adapterKeyCount; ++i) {
        if (SameTextIgnoringCase(g_adapterKeys[i], driverName)) {
            return;
        }
    }
    if (g_adapterKeyCount < kMostAdapters) {
        std::memcpy(g_adapterKeys[g_adapterKeyCount++], driverName, std::strlen(driverName) + 1);
    }
}

void WriteDeviceLines(Writer *writer, const DeviceSets &sets) {
    host::SP_DEVINFO_DATA member;
    for (host::DWORD index = 0; ReadMember(sets.all, index, &member, g_instanceId); ++index) {
        ReadFirstString(sets.all, &member, host::SPDRP_HARDWAREID, g_hardwareId, sizeof g_hardwareId);
        ReadFirstString(sets.all, &member, host::SPDRP_DRIVER, g_driverName, sizeof g_driverName);
        WriteText(writer, "Device=");
        WriteText(writer, IsPresent(sets, g_instanceId) ? "present " : "absent ");
        WriteField(writer, g_instanceId);
        WriteText(writer, " ");
        WriteField(writer, g_hardwareId);
        WriteText(writer, " ");
        WriteField(writer, g_driverName);
        WriteText(writer, kLineEnd);
        if (MatchesAdapter(g_hardwareId)) {
            RememberAdapterKey(g_driverName);
        }
    }
}

// Takes a path of kMostPathBytes and a driver key name. Writes the key's path
// under HKLM. Returns 1, or 0 when it does not fit.
int MakeClassPath(char *path, const char *driverName) {
    std::size_t const base = sizeof kClassKeyPath - 1;
    std::size_t const length = std::strlen(driverName);
    if (base + 1 + length >= kMostPathBytes) {
        return 0;
    }
    std::memcpy(path, kClassKeyPath, base);
    path[base] = '\\';
    std::memcpy(path + base + 1, driverName, length + 1);
    return 1;
}

// Takes a key path. Writes the SDDL of its owner, group and DACL, or nothing
// when they cannot be read.
void WriteKeySecurity(Writer *writer, const char *path) {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, path, 0, host::KEY_READ, &key) != host::ERROR_SUCCESS) {
        return;
    }
    static host::BYTE descriptor[kSecurityBytes];
    host::DWORD size = sizeof descriptor;
    char *text = nullptr;
    if (host::RegGetKeySecurity(key, kFullSecurity, descriptor, &size) == host::ERROR_SUCCESS &&
        host::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, host::SDDL_REVISION_1, kFullSecurity,
                                                                   &text, nullptr) &&
        text != nullptr) {
        WriteField(writer, text);
        host::LocalFree(text);
    }
    host::RegCloseKey(key);
}

void WriteDriverKeyLines(Writer *writer) {
    for (std::size_t i = 0; i < g_adapterKeyCount; ++i) {
        if (!MakeClassPath(g_path, g_adapterKeys[i])) {
            continue;
        }
        host::HKEY key = nullptr;
        // Opened as the program opens it to write the setting.
        host::LSTATUS const status =
            host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, g_path, 0, host::KEY_ALL_ACCESS, &key);
        if (status == host::ERROR_SUCCESS) {
            host::RegCloseKey(key);
        }
        WriteText(writer, "DriverKey=");
        WriteField(writer, g_adapterKeys[i]);
        WriteText(writer, status == host::ERROR_SUCCESS          ? " writable "
                          : status == host::ERROR_FILE_NOT_FOUND ? " missing "
                                                                 : " denied ");
        WriteNumber(writer, static_cast<host::DWORD>(status));
        WriteText(writer, " ");
        if (status != host::ERROR_FILE_NOT_FOUND) {
            WriteKeySecurity(writer, g_path);
        }
        WriteText(writer, kLineEnd);
    }
}

void WriteRollbackLines(Writer *writer) {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, kRollbackPath, 0, host::KEY_READ, &key) != host::ERROR_SUCCESS) {
        return;
    }
    for (host::DWORD index = 0; ReadValueAt(key, index, kHeldValueBytes, &g_value) == host::ERROR_SUCCESS; ++index) {
        WriteText(writer, "Rollback=");
        WriteField(writer, g_value.name);
        WriteText(writer, " ");
        if (g_value.data == nullptr) {
            WriteText(writer, "(larger%20than%2064%20KB)");
        } else if (g_value.type == host::REG_SZ || g_value.type == host::REG_EXPAND_SZ) {
            const void *nul = std::memchr(g_value.data, 0, g_value.size);
            std::size_t const length =
                nul == nullptr ? g_value.size
                               : static_cast<std::size_t>(static_cast<const host::BYTE *>(nul) - g_value.data);
            WriteEscaped(writer, reinterpret_cast<const char *>(g_value.data), length, true);
        } else {
            char type[16] = "hex(";
            std::size_t at = 4;
            host::DWORD rest = g_value.type;
            char digits[8];
            std::size_t count = 0;
            do {
                digits[count++] = kHexDigits[rest & 0x0FU];
                rest >>= 4U;
            } while (rest != 0);
            while (count > 0) {
                type[at++] = digits[--count];
            }
            type[at++] = ')';
            type[at++] = ':';
            WriteBytes(writer, type, at);
            for (host::DWORD i = 0; i < g_value.size; ++i) {
                char const byte[3] = {',', kHexDigits[g_value.data[i] >> 4U], kHexDigits[g_value.data[i] & 0x0FU]};
                WriteBytes(writer, i == 0 ? byte + 1 : byte, i == 0 ? 2 : 3);
            }
        }
        WriteText(writer, kLineEnd);
    }
    ReleaseValue(&g_value);
    host::RegCloseKey(key);
}

// ---- facts.txt ----

void WriteFact(Writer *writer, const char *name, const char *value) {
    WriteText(writer, name);
    WriteText(writer, "=");
    WriteEscaped(writer, value, std::strlen(value), false);
    WriteText(writer, kLineEnd);
}

void WriteNumberFact(Writer *writer, const char *name, unsigned long number, bool known) {
    WriteText(writer, name);
    WriteText(writer, "=");
    if (known) {
        WriteNumber(writer, number);
    }
    WriteText(writer, kLineEnd);
}

void WriteVersionFacts(Writer *writer) {
    host::OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    bool const known = host::GetVersionExA(&info) != host::FALSE;
    info.szCSDVersion[sizeof info.szCSDVersion - 1] = '\0';
    WriteNumberFact(writer, "MajorVersion", info.dwMajorVersion, known);
    WriteNumberFact(writer, "MinorVersion", info.dwMinorVersion, known);
    WriteNumberFact(writer, "BuildNumber", info.dwBuildNumber, known);
    WriteNumberFact(writer, "PlatformId", info.dwPlatformId, known);
    WriteFact(writer, "CSDVersion", known ? info.szCSDVersion : "");
    WriteNumberFact(writer, "ProductType", info.wProductType, known);
    int const serverR2 = host::GetSystemMetrics(host::SM_SERVERR2);
    WriteNumberFact(writer, "ServerR2", static_cast<unsigned long>(serverR2), true);
}

// Writes PROCESSOR_ARCHITECTURE as the program reads it: a string up to its NUL.
void WriteArchitectureFact(Writer *writer) {
    char data[kMostNameBytes] = {};
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, kEnvironmentKeyPath, 0, host::KEY_READ, &key) ==
        host::ERROR_SUCCESS) {
        host::DWORD type = host::REG_NONE;
        host::DWORD size = sizeof data - 1;
        if (host::RegQueryValueExA(key, kArchitectureValue, nullptr, &type, reinterpret_cast<host::BYTE *>(data),
                                   &size) != host::ERROR_SUCCESS ||
            (type != host::REG_SZ && type != host::REG_EXPAND_SZ)) {
            data[0] = '\0';
        }
        data[size < sizeof data - 1 ? size : sizeof data - 1] = '\0';
        host::RegCloseKey(key);
    }
    WriteFact(writer, "ProcessorArchitecture", data);
}

int WriteFacts(const CollectionSink &sink) {
    Writer *writer = BeginFile(sink, "facts.txt", static_cast<std::size_t>(-1));
    WriteText(writer, kCollectorLine);
    WriteText(writer, kLineEnd);
    WriteVersionFacts(writer);
    WriteArchitectureFact(writer);
    WriteNumberFact(writer, "CodePage", host::GetACP(), true);
    WriteFact(writer, "Presence", "SetupDi");
    DeviceSets const sets = OpenDeviceSets();
    g_adapterKeyCount = 0;
    WriteDeviceLines(writer, sets);
    CloseDeviceSets(sets);
    WriteDriverKeyLines(writer);
    WriteRollbackLines(writer);
    int const ended = EndFile(writer, true);
    if (ended == 0) {
        AddNote("", "facts.txt", ": could not be written");
    }
    return ended;
}

// ---- enum.reg ----

// Writes the Enum key of every network-class device, present or not.
int ExportDevices(const CollectionSink &sink) {
    Writer *writer = BeginFile(sink, "enum.reg", kMostExportBytes);
    WriteText(writer, "REGEDIT4\r\n");
    DeviceSets const sets = OpenDeviceSets();
    host::LSTATUS status = host::ERROR_SUCCESS;
    host::SP_DEVINFO_DATA member;
    static char path[kMostPathBytes];
    for (host::DWORD index = 0;
         status == host::ERROR_SUCCESS && !writer->tooLarge && ReadMember(sets.all, index, &member, g_instanceId);
         ++index) {
        std::size_t const base = sizeof kEnumKeyPath - 1;
        std::size_t const length = std::strlen(g_instanceId);
        if (length == 0 || base + 1 + length >= sizeof path) {
            continue;
        }
        std::memcpy(path, kEnumKeyPath, base);
        path[base] = '\\';
        std::memcpy(path + base + 1, g_instanceId, length + 1);
        status = ExportTree(writer, path);
    }
    CloseDeviceSets(sets);
    if (status == host::ERROR_SUCCESS) {
        WriteText(writer, kLineEnd);
    }
    return EndExport(writer, kEnumKeyPath, status);
}

int WriteWhole(const CollectionSink &sink, const char *fileName, const char *bytes, std::size_t length) {
    Writer *writer = BeginFile(sink, fileName, static_cast<std::size_t>(-1));
    WriteBytes(writer, bytes, length);
    int const ended = EndFile(writer, true);
    if (ended == 0) {
        AddNote("", fileName, ": could not be written");
    }
    return ended;
}

} // namespace

int CollectMachine(const CollectionSink &sink, const char *summary, const char *trace, std::size_t traceLength) {
    g_notesLength = 0;
    g_notes[0] = '\0';
    int written = WriteWhole(sink, "trace.txt", trace, traceLength);
    written &= WriteFacts(sink);
    written &= ExportKey(sink, "class.reg", kNetClassKeyPath);
    written &= ExportDevices(sink);
    written &= ExportKey(sink, "environment.reg", kEnvironmentKeyPath);
    if (KeyExists(kOlderClassKeyPath)) {
        written &= ExportKey(sink, "class-net.reg", kOlderClassKeyPath);
    }
    if (KeyExists(kOlderServicesKeyPath)) {
        written &= ExportKey(sink, "services-class-net.reg", kOlderServicesKeyPath);
    }
    Writer *writer = BeginFile(sink, "collection.txt", static_cast<std::size_t>(-1));
    WriteText(writer, summary);
    WriteText(writer, kLineEnd);
    WriteBytes(writer, g_notes, g_notesLength);
    written &= EndFile(writer, true);
    return written;
}

} // namespace kit
