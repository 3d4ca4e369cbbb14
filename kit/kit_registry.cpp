// kit_registry.cpp - the adapters, the rollback records and the marker,
// through the kit's seam only.

#include "kit/kit_registry.h"

#include <cstring>

#include "kit/core/rollback_record.h"
#include "kit/host/kit_host.h"

namespace kit {
namespace {

constexpr char kNetClassName[] = "Net";
constexpr host::DWORD kClassGuidCapacity = 4;
constexpr host::DWORD kHardwareIdBytes = 1024;
constexpr char kVersionValueName[] = "Version";
constexpr char kLogFailedValueName[] = "LogFailed";

// Takes a character. Returns it with a-z turned into A-Z.
char UpperCaseLetter(char letter) {
    return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

// Takes two texts. Returns whether they are equal, a-z and A-Z taken alike.
bool EqualIgnoringCase(const char *left, const char *right) {
    for (; *left != '\0' && UpperCaseLetter(*left) == UpperCaseLetter(*right); ++left, ++right) {
    }
    return UpperCaseLetter(*left) == UpperCaseLetter(*right);
}

// Takes a driver key name and a buffer of kMostKeyPathBytes. Writes the
// driver key's path under HKLM. Returns 1, or 0 for an empty name or one too
// long (which must never open the class key itself).
int MakeClassKeyPath(const char *driverKeyName, char *path) {
    std::size_t const nameLength = std::strlen(driverKeyName);
    if (nameLength == 0 || sizeof kClassKeyPath + 1 + nameLength > kMostKeyPathBytes) {
        return 0;
    }
    std::memcpy(path, kClassKeyPath, sizeof kClassKeyPath - 1);
    path[sizeof kClassKeyPath - 1] = '\\';
    std::memcpy(path + sizeof kClassKeyPath, driverKeyName, nameLength + 1);
    return 1;
}

// Takes an open key and a value to fill. Reads EDCCAEnable; a value that
// could not be read counts as too large, so that nothing records it.
void ReadEdccaValue(host::HKEY key, RegistryValue *value) {
    *value = RegistryValue();
    host::DWORD type = 0;
    host::DWORD size = kMostValueBytes;
    host::LSTATUS const status = host::RegQueryValueExA(key, kEdccaValueName, nullptr, &type, value->data, &size);
    if (status == host::ERROR_FILE_NOT_FOUND) {
        return;
    }
    value->present = true;
    value->type = type;
    value->size = size;
    value->tooLarge = status != host::ERROR_SUCCESS || size > kMostValueBytes;
    if (value->tooLarge) {
        value->size = 0;
    }
}

// Takes a path under HKLM and a value to fill. Returns whether the key
// exists, with its EDCCAEnable in *value (absent when the key is missing).
bool ReadKeyValue(const char *keyPath, RegistryValue *value) {
    *value = RegistryValue();
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, keyPath, 0, host::KEY_QUERY_VALUE, &key) != host::ERROR_SUCCESS) {
        return false;
    }
    ReadEdccaValue(key, value);
    host::RegCloseKey(key);
    return true;
}

// Takes a device set, a member and a buffer of kMostNameBytes. Returns 1 with
// the member's instance ID, or 0.
int ReadInstanceId(host::HDEVINFO devices, host::SP_DEVINFO_DATA *member, char *instanceId) {
    host::DWORD required = 0;
    if (host::SetupDiGetDeviceInstanceIdA(devices, member, instanceId, kMostNameBytes, &required) == 0) {
        return 0;
    }
    instanceId[kMostNameBytes - 1] = '\0';
    return 1;
}

// Takes a device set, a member, a property and a buffer with its size.
// Returns 1 with the property's text (its first string), or 0.
int ReadPropertyText(host::HDEVINFO devices, host::SP_DEVINFO_DATA *member, host::DWORD property, char *text,
                     host::DWORD size) {
    std::memset(text, 0, size);
    host::DWORD type = 0;
    host::DWORD required = 0;
    if (host::SetupDiGetDeviceRegistryPropertyA(devices, member, property, &type, reinterpret_cast<host::BYTE *>(text),
                                                size - 1, &required) == 0) {
        return 0;
    }
    return 1;
}

// Takes a matching member of the set of every network-class device and the
// list. Adds the adapter with its driver key and value.
void AddAdapter(host::HDEVINFO devices, host::SP_DEVINFO_DATA *member, const char *instanceId, AdapterList *list) {
    if (list->count == kMostAdapters) {
        list->overflowed = true;
        return;
    }
    Adapter &adapter = list->adapters[list->count++];
    adapter = Adapter();
    std::memcpy(adapter.instanceId, instanceId, std::strlen(instanceId) + 1);
    char driver[kMostNameBytes + 1];
    if (ReadPropertyText(devices, member, host::SPDRP_DRIVER, driver, sizeof driver) == 0 ||
        std::strlen(driver) >= kMostNameBytes) {
        return;
    }
    std::memcpy(adapter.driverKeyName, driver, std::strlen(driver) + 1);
    char path[kMostKeyPathBytes];
    if (MakeRecordName(adapter.driverKeyName, adapter.recordName) == 1 &&
        MakeClassKeyPath(adapter.driverKeyName, path) == 1) {
        adapter.driverKeyExists = ReadKeyValue(path, &adapter.value);
    }
}

// Takes the list of every matching device. Marks those in the set of present
// network-class devices. Returns 1, or 0 when the set could not be had.
int MarkPresent(const host::GUID &netClass, AdapterList *list) {
    host::HDEVINFO const present = host::SetupDiGetClassDevsA(&netClass, nullptr, nullptr, host::DIGCF_PRESENT);
    if (present == host::INVALID_HANDLE_VALUE) {
        return 0;
    }
    host::SP_DEVINFO_DATA member;
    for (host::DWORD index = 0;; ++index) {
        std::memset(&member, 0, sizeof member);
        member.cbSize = sizeof member;
        if (host::SetupDiEnumDeviceInfo(present, index, &member) == 0) {
            break;
        }
        char instanceId[kMostNameBytes];
        if (ReadInstanceId(present, &member, instanceId) == 0) {
            continue;
        }
        for (std::size_t i = 0; i < list->count; ++i) {
            if (EqualIgnoringCase(list->adapters[i].instanceId, instanceId)) {
                list->adapters[i].present = true;
            }
        }
    }
    host::SetupDiDestroyDeviceInfoList(present);
    return 1;
}

// Takes nothing. Returns the rollback key opened with the rights asked, or
// nullptr when it is missing or cannot be opened.
host::HKEY OpenRollbackKey(host::DWORD rights) {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, kRollbackKeyPath, 0, rights, &key) != host::ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

// Takes a path under HKLM. Returns whether the key exists and holds neither
// values nor subkeys.
bool IsEmptyKey(const char *keyPath) {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, keyPath, 0, host::KEY_QUERY_VALUE | host::KEY_ENUMERATE_SUB_KEYS,
                            &key) != host::ERROR_SUCCESS) {
        return false;
    }
    char name[kMostNameBytes];
    host::DWORD nameSize = sizeof name;
    bool const noValue =
        host::RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr) == host::ERROR_NO_MORE_ITEMS;
    nameSize = sizeof name;
    bool const noSubkey =
        host::RegEnumKeyExA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr) == host::ERROR_NO_MORE_ITEMS;
    host::RegCloseKey(key);
    return noValue && noSubkey;
}

// The keys the records written ahead made: only these are taken away again
// when the run keeps no record, never keys that were there before it.
struct KeysMade {
    bool rollback;
    bool marker;
};
KeysMade keysMade = {false, false};

// Takes a path under HKLM. Returns whether the key exists.
bool KeyExists(const char *keyPath) {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, keyPath, 0, host::KEY_QUERY_VALUE, &key) != host::ERROR_SUCCESS) {
        return false;
    }
    host::RegCloseKey(key);
    return true;
}

// Takes nothing. Removes the rollback key this run made when no record is
// left in it, and the marker key it made when that leaves it empty: a run
// that kept nothing leaves no trace in the registry.
void RemoveEmptyKeys() {
    if (keysMade.rollback && IsEmptyKey(kRollbackKeyPath) &&
        host::RegDeleteKeyA(host::HKEY_LOCAL_MACHINE, kRollbackKeyPath) == host::ERROR_SUCCESS) {
        keysMade.rollback = false;
    }
    if (keysMade.marker && IsEmptyKey(kMarkerKeyPath) &&
        host::RegDeleteKeyA(host::HKEY_LOCAL_MACHINE, kMarkerKeyPath) == host::ERROR_SUCCESS) {
        keysMade.marker = false;
    }
}

// Takes a record name. Removes the record. Returns 1, or 0 when it is still there.
int RemoveRecord(const char *recordName) {
    host::HKEY const key = OpenRollbackKey(host::KEY_SET_VALUE);
    if (key == nullptr) {
        return 0;
    }
    host::LSTATUS const status = host::RegDeleteValueA(key, recordName);
    host::RegCloseKey(key);
    return status == host::ERROR_SUCCESS || status == host::ERROR_FILE_NOT_FOUND ? 1 : 0;
}

// Takes a record name and its text. Writes the record, noting the keys it
// makes. Returns 1, or 0.
int WriteRecord(const char *recordName, const char *record) {
    if (!KeyExists(kRollbackKeyPath)) {
        keysMade.rollback = true;
        keysMade.marker = keysMade.marker || !KeyExists(kMarkerKeyPath);
    }
    host::HKEY key = nullptr;
    if (host::RegCreateKeyExA(host::HKEY_LOCAL_MACHINE, kRollbackKeyPath, 0, nullptr, host::REG_OPTION_NON_VOLATILE,
                              host::KEY_SET_VALUE, nullptr, &key, nullptr) != host::ERROR_SUCCESS) {
        return 0;
    }
    host::LSTATUS const status =
        host::RegSetValueExA(key, recordName, 0, host::REG_SZ, reinterpret_cast<const host::BYTE *>(record),
                             static_cast<host::DWORD>(std::strlen(record) + 1));
    host::RegCloseKey(key);
    return status == host::ERROR_SUCCESS ? 1 : 0;
}

// Takes a record name, its text, the note's ending and the notes. Appends
// "<rec>: EDCCAEnable before the first run: <text> (<ending>)".
void NoteRecord(const char *recordName, const char *record, const char *ending, TextBuffer *notes) {
    AppendText(notes, "---- ");
    AppendText(notes, recordName);
    AppendText(notes, ": EDCCAEnable before the first run: ");
    AppendText(notes, record);
    AppendText(notes, " (");
    AppendText(notes, ending);
    AppendText(notes, ")\r\n");
}

// Takes a record name, the note's middle and end and the notes. Appends
// "---- <rec>: <middle><end>".
void NoteRestore(const char *recordName, const char *middle, const char *end, TextBuffer *notes) {
    AppendText(notes, "---- ");
    AppendText(notes, recordName);
    AppendText(notes, ": ");
    AppendText(notes, middle);
    AppendText(notes, end);
    AppendText(notes, "\r\n");
}

// Takes a record's name and text. Puts the value back as PlanRestore says
// and notes it. Returns 1 when the record is handled (and may go), 0 when it
// must be kept.
int RestoreRecord(const char *recordName, const char *record, TextBuffer *notes) {
    char path[kMostKeyPathBytes];
    RegistryValue value;
    if (MakeDriverKeyPath(recordName, path) == 0) {
        NoteRestore(recordName, "EDCCAEnable could not be restored to ", record, notes);
        return 0;
    }
    host::HKEY key = nullptr;
    host::LSTATUS const opened =
        host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, path, 0, host::KEY_QUERY_VALUE | host::KEY_SET_VALUE, &key);
    if (opened != host::ERROR_SUCCESS && opened != host::ERROR_FILE_NOT_FOUND) {
        NoteRestore(recordName, "EDCCAEnable could not be restored to ", record, notes);
        return 0;
    }
    RestoreAction const action = PlanRestore(record, opened == host::ERROR_SUCCESS, &value);
    int handled = 1;
    if (action == RestoreAction::KeyGone) {
        NoteRestore(recordName, "the driver key is gone; nothing to restore", "", notes);
    } else if (action == RestoreAction::RemoveValue) {
        RegistryValue now;
        ReadEdccaValue(key, &now);
        if (now.present) {
            handled = host::RegDeleteValueA(key, kEdccaValueName) == host::ERROR_SUCCESS ? 1 : 0;
            NoteRestore(recordName,
                        handled == 1 ? "EDCCAEnable removed, as it was absent"
                                     : "EDCCAEnable could not be restored to ",
                        handled == 1 ? "" : record, notes);
        }
    } else if (action == RestoreAction::SetValue) {
        handled =
            host::RegSetValueExA(key, kEdccaValueName, 0, value.type, value.data, value.size) == host::ERROR_SUCCESS
                ? 1
                : 0;
        NoteRestore(recordName, handled == 1 ? "EDCCAEnable restored to " : "EDCCAEnable could not be restored to ",
                    record, notes);
    } else {
        handled = 0;
        NoteRestore(recordName, "EDCCAEnable could not be restored to ", record, notes);
    }
    if (key != nullptr) {
        host::RegCloseKey(key);
    }
    return handled;
}

// Takes nothing. Removes the rollback key and the marker key. Returns 1, or
// 0 when the marker is still there.
int RemoveMarker() {
    host::LSTATUS const rollback = host::RegDeleteKeyA(host::HKEY_LOCAL_MACHINE, kRollbackKeyPath);
    if (rollback != host::ERROR_SUCCESS && rollback != host::ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    host::LSTATUS const marker = host::RegDeleteKeyA(host::HKEY_LOCAL_MACHINE, kMarkerKeyPath);
    return marker == host::ERROR_SUCCESS || marker == host::ERROR_FILE_NOT_FOUND ? 1 : 0;
}

} // namespace

int ListAdapters(AdapterList *adapters) {
    adapters->count = 0;
    adapters->overflowed = false;
    host::GUID classes[kClassGuidCapacity];
    host::DWORD required = 0;
    if (host::SetupDiClassGuidsFromNameA(kNetClassName, classes, kClassGuidCapacity, &required) == 0) {
        return 0;
    }
    if (required == 0) {
        return 1; // no network class: no network device was ever installed
    }
    host::HDEVINFO const all = host::SetupDiGetClassDevsA(&classes[0], nullptr, nullptr, 0);
    if (all == host::INVALID_HANDLE_VALUE) {
        return 0;
    }
    host::SP_DEVINFO_DATA member;
    for (host::DWORD index = 0;; ++index) {
        std::memset(&member, 0, sizeof member);
        member.cbSize = sizeof member;
        if (host::SetupDiEnumDeviceInfo(all, index, &member) == 0) {
            break;
        }
        char hardwareId[kHardwareIdBytes];
        char instanceId[kMostNameBytes];
        if (ReadPropertyText(all, &member, host::SPDRP_HARDWAREID, hardwareId, sizeof hardwareId) == 1 &&
            MatchesAdapter(hardwareId) && ReadInstanceId(all, &member, instanceId) == 1) {
            AddAdapter(all, &member, instanceId, adapters);
        }
    }
    host::SetupDiDestroyDeviceInfoList(all);
    if (MarkPresent(classes[0], adapters) == 0) {
        adapters->count = 0;
        adapters->overflowed = false;
        return 0;
    }
    return 1;
}

int ReadRollbackRecord(const char *recordName, char *record) {
    host::HKEY const key = OpenRollbackKey(host::KEY_QUERY_VALUE);
    if (key == nullptr) {
        return 0;
    }
    host::DWORD type = 0;
    host::DWORD size = kMostRecordBytes - 1;
    host::LSTATUS const status =
        host::RegQueryValueExA(key, recordName, nullptr, &type, reinterpret_cast<host::BYTE *>(record), &size);
    host::RegCloseKey(key);
    if (status == host::ERROR_FILE_NOT_FOUND) {
        return 0;
    }
    // A record this kit cannot read still stands: the first record is kept.
    bool const readable = status == host::ERROR_SUCCESS && type == host::REG_SZ;
    record[readable && size < kMostRecordBytes ? size : 0] = '\0';
    return 1;
}

int WriteRecordsAhead(const AdapterList &adapters, bool written[kMostAdapters], TextBuffer *notes) {
    keysMade = KeysMade{false, false};
    for (std::size_t i = 0; i < kMostAdapters; ++i) {
        written[i] = false;
    }
    if (adapters.overflowed) {
        AppendText(notes, "---- more than 64 network devices USB\\VID_13B1&PID_003B are installed: none could be "
                          "recorded, and the program did not run\r\n");
        return 0;
    }
    char record[kMostRecordBytes];
    int result = 1;
    for (std::size_t i = 0; i < adapters.count && result == 1; ++i) {
        const Adapter &adapter = adapters.adapters[i];
        bool const recorded = adapter.recordName[0] != '\0' && ReadRollbackRecord(adapter.recordName, record) == 1;
        if (PlanAhead(adapter, recorded) != AheadAction::Record) {
            continue;
        }
        if (EncodeRecord(adapter.value, record) == 0) {
            NoteRecord(adapter.recordName, "larger than 1024 bytes", "could not be kept: the program did not run",
                       notes);
            result = 0;
        } else if (WriteRecord(adapter.recordName, record) == 0) {
            NoteRecord(adapter.recordName, record, "could not be kept: the program did not run", notes);
            result = 0;
        } else {
            written[i] = true;
        }
    }
    if (result == 0) {
        // The program will not run: what this run recorded changes nothing.
        for (std::size_t i = 0; i < adapters.count; ++i) {
            if (written[i] && RemoveRecord(adapters.adapters[i].recordName) == 1) {
                written[i] = false;
            }
        }
        RemoveEmptyKeys();
    }
    return result;
}

void SettleRecordsAfter(const AdapterList &before, const bool written[kMostAdapters], TextBuffer *notes) {
    char record[kMostRecordBytes];
    char path[kMostKeyPathBytes];
    for (std::size_t i = 0; i < before.count; ++i) {
        if (!written[i]) {
            continue;
        }
        const Adapter &adapter = before.adapters[i];
        RegistryValue now;
        if (MakeClassKeyPath(adapter.driverKeyName, path) == 0 || !ReadKeyValue(path, &now)) {
            now = RegistryValue();
        }
        if (PlanAfter(adapter.value, now) == AfterAction::Keep) {
            if (EncodeRecord(adapter.value, record) == 1) {
                NoteRecord(adapter.recordName, record, "kept for /uninstall", notes);
            }
        } else {
            RemoveRecord(adapter.recordName);
        }
    }
    RemoveEmptyKeys();
}

Outcome RestoreRecordsAndRemoveMarker(TextBuffer *notes) {
    Outcome outcome = Outcome::Uninstalled;
    host::HKEY key = nullptr;
    host::LSTATUS const opened = host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, kRollbackKeyPath, 0,
                                                     host::KEY_QUERY_VALUE | host::KEY_SET_VALUE, &key);
    if (opened != host::ERROR_SUCCESS && opened != host::ERROR_FILE_NOT_FOUND) {
        // Records that cannot be handled are kept, and the marker above them.
        outcome = Outcome::UninstallFailed;
        AppendText(notes, "---- the marker HKLM\\SYSTEM\\EdccaProvision could not be removed\r\n");
    } else if (opened == host::ERROR_SUCCESS) {
        char name[kMostNameBytes];
        char record[kMostRecordBytes];
        // A handled record is deleted, so the next one takes its index.
        for (host::DWORD index = 0;;) {
            host::DWORD nameSize = sizeof name;
            host::DWORD recordSize = kMostRecordBytes - 1;
            host::DWORD type = 0;
            host::LSTATUS const status = host::RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                                                             reinterpret_cast<host::BYTE *>(record), &recordSize);
            if (status == host::ERROR_NO_MORE_ITEMS) {
                break;
            }
            if (status != host::ERROR_SUCCESS || type != host::REG_SZ) {
                // Too long, or not the kit's REG_SZ: kept, and the marker with
                // it, since removing the marker would remove the record too.
                AppendText(notes, "---- a rollback record could not be read: kept\r\n");
                outcome = Outcome::UninstallFailed;
                ++index;
                continue;
            }
            record[recordSize < kMostRecordBytes ? recordSize : kMostRecordBytes - 1] = '\0';
            if (RestoreRecord(name, record, notes) == 1 && host::RegDeleteValueA(key, name) == host::ERROR_SUCCESS) {
                continue;
            }
            outcome = Outcome::UninstallFailed;
            ++index;
        }
        host::RegCloseKey(key);
    }
    if (outcome == Outcome::Uninstalled && RemoveMarker() == 0) {
        AppendText(notes, "---- the marker HKLM\\SYSTEM\\EdccaProvision could not be removed\r\n");
        outcome = Outcome::UninstallFailed;
    }
    return outcome;
}

int WriteMarker(const MarkerValue *values, std::size_t count) {
    host::HKEY key = nullptr;
    if (host::RegCreateKeyExA(host::HKEY_LOCAL_MACHINE, kMarkerKeyPath, 0, nullptr, host::REG_OPTION_NON_VOLATILE,
                              host::KEY_QUERY_VALUE | host::KEY_SET_VALUE, nullptr, &key,
                              nullptr) != host::ERROR_SUCCESS) {
        return 0;
    }
    // An earlier run's Version and LogFailed go first: a marker cut short
    // is never taken for this run's, and a log that was written is no failure.
    int result = 1;
    const char *const stale[] = {kVersionValueName, kLogFailedValueName};
    for (const char *name : stale) {
        host::LSTATUS const status = host::RegDeleteValueA(key, name);
        if (status != host::ERROR_SUCCESS && status != host::ERROR_FILE_NOT_FOUND) {
            result = 0;
        }
    }
    for (std::size_t i = 0; i < count && result == 1; ++i) {
        if (host::RegSetValueExA(key, values[i].name, 0, host::REG_SZ,
                                 reinterpret_cast<const host::BYTE *>(values[i].data),
                                 static_cast<host::DWORD>(std::strlen(values[i].data) + 1)) != host::ERROR_SUCCESS) {
            result = 0;
        }
    }
    host::RegCloseKey(key);
    return result;
}

} // namespace kit
