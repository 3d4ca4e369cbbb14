// host_registry.cpp - the registry functions of the host seam (advapi32) on
// the active simulated machine.
//
// They follow what Windows (and Wine 8, checked with test programs) does:
// results are returned, never set as the last error; a failed open stores
// NULL in the result; RegQueryValueExA sets the type word to REG_NONE before
// looking, reports the stored size, and appends a NUL behind a string that
// lacks one when the buffer has room, without counting it.

#include <cstdlib>
#include <cstring>

#include "seam/host_state.h"

namespace sim {
namespace {

// What a key handle stands for: the root, an open key, or nothing.
struct KeyRef {
    bool valid = false;
    bool root = false;
    std::shared_ptr<RegistryKey> key;
    std::string path;
    host::DWORD access = 0;
};

KeyRef ResolveKey(Machine &machine, host::HKEY key) {
    if (key == host::HKEY_LOCAL_MACHINE) {
        return {true, true, machine.registry.ShareKey(""), "", host::KEY_ALL_ACCESS};
    }
    auto &keys = machine.Internal().keys;
    auto found = keys.find(HandleValue(key));
    if (found == keys.end()) {
        return {};
    }
    return {true, false, found->second.key, found->second.path, found->second.access};
}

// Takes a key of the registry (null: none), its path and the rights asked
// for. Returns ERROR_FILE_NOT_FOUND for no key, else ERROR_SUCCESS with
// *result a new handle to it.
host::LSTATUS NewKeyHandle(Machine &machine, std::shared_ptr<RegistryKey> key, const std::string &path,
                           host::DWORD access, host::HKEY *result) {
    if (!key) {
        return host::ERROR_FILE_NOT_FOUND;
    }
    std::uintptr_t const value = machine.Internal().NewHandle();
    machine.Internal().keys.emplace(value, KeyHandle{std::move(key), path, access});
    *result = reinterpret_cast<host::HKEY>(value);
    return host::ERROR_SUCCESS;
}

// Walks subKey below a key, component by component (SplitKeyPath).
// Returns ERROR_BAD_PATHNAME for a leading backslash, ERROR_FILE_NOT_FOUND
// for a missing key, else ERROR_SUCCESS with *found the key and *path its
// path as the registry spells it.
host::LSTATUS WalkSubkey(const KeyRef &base, const char *subKey, RegistryKey **found, std::string *path) {
    std::vector<std::string_view> components;
    if (!SplitKeyPath(subKey, &components)) {
        return host::ERROR_BAD_PATHNAME;
    }
    *found = base.key.get();
    *path = base.path;
    for (std::string_view const component : components) {
        *found = (*found)->FindSubkey(component);
        if (*found == nullptr) {
            return host::ERROR_FILE_NOT_FOUND;
        }
        *path = JoinKeyPath(*path, (*found)->Name());
    }
    return host::ERROR_SUCCESS;
}

// Takes RegOpenKeyExA's arguments and its call record, whose key path it fills in.
host::LSTATUS OpenKey(Machine &machine, host::HKEY key, const char *subKey, host::DWORD samDesired, host::HKEY *result,
                      CallRecord *call) {
    KeyRef const base = ResolveKey(machine, key);
    call->keyPath = JoinKeyPath(base.path, subKey == nullptr ? "" : subKey);
    if (host::LONG const fault = FireFault(machine, Operation::RegOpenKeyExA,
                                           {call->keyPath, subKey == nullptr ? "" : subKey}, samDesired)) {
        if (result != nullptr) {
            *result = nullptr;
        }
        return fault;
    }
    // Windows writes through the pointer unchecked (Wine 8 faults); the sim refuses.
    if (result == nullptr) {
        return host::ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (!base.valid) {
        return host::ERROR_INVALID_HANDLE;
    }
    if (subKey == nullptr || subKey[0] == '\0') {
        if (base.root) {
            // A predefined key opened with no subkey is handed back as itself.
            *result = host::HKEY_LOCAL_MACHINE;
            return host::ERROR_SUCCESS;
        }
        return NewKeyHandle(machine, base.key, base.path, samDesired, result);
    }
    RegistryKey *found = nullptr;
    std::string path;
    host::LSTATUS const status = WalkSubkey(base, subKey, &found, &path);
    return status != host::ERROR_SUCCESS
               ? status
               : NewKeyHandle(machine, machine.registry.ShareKey(path), path, samDesired, result);
}

host::LSTATUS QueryValue(Machine &machine, host::HKEY key, const char *valueName, const host::DWORD *reserved,
                         host::DWORD *type, host::BYTE *data, host::DWORD *dataSize) {
    KeyRef const ref = ResolveKey(machine, key);
    std::string const name = valueName == nullptr ? "" : valueName;
    if (host::LONG const fault = FireFault(machine, Operation::RegQueryValueExA, {name, ref.path})) {
        return fault;
    }
    if ((data != nullptr && dataSize == nullptr) || reserved != nullptr) {
        return host::ERROR_INVALID_PARAMETER;
    }
    if (!ref.valid) {
        return host::ERROR_INVALID_HANDLE;
    }
    host::DWORD const capacity = dataSize != nullptr ? *dataSize : 0;
    if (data == nullptr && dataSize != nullptr) {
        *dataSize = 0;
    }
    if (type != nullptr) {
        *type = host::REG_NONE;
    }
    if ((ref.access & host::KEY_QUERY_VALUE) == 0) {
        return host::ERROR_ACCESS_DENIED;
    }
    return QueryValueA(*ref.key, name, type, data, dataSize, capacity);
}

host::LSTATUS SetValue(Machine &machine, host::HKEY key, const char *valueName, host::DWORD type,
                       const host::BYTE *data, host::DWORD dataSize) {
    KeyRef const ref = ResolveKey(machine, key);
    std::string const name = valueName == nullptr ? "" : valueName;
    if (host::LONG const fault = FireFault(machine, Operation::RegSetValueExA, {name, ref.path})) {
        return fault;
    }
    if (!ref.valid) {
        return host::ERROR_INVALID_HANDLE;
    }
    if (data == nullptr && dataSize != 0) {
        return host::ERROR_NOACCESS;
    }
    if ((ref.access & host::KEY_SET_VALUE) == 0) {
        return host::ERROR_ACCESS_DENIED;
    }
    ref.key->SetValue(name, type,
                      dataSize == 0 ? std::vector<std::uint8_t>() : std::vector<std::uint8_t>(data, data + dataSize));
    return host::ERROR_SUCCESS;
}

// ---- the kit's registry calls ----

constexpr host::SECURITY_INFORMATION kKnownSecurityParts =
    host::OWNER_SECURITY_INFORMATION | host::GROUP_SECURITY_INFORMATION | host::DACL_SECURITY_INFORMATION;

// The security the simulated registry can tell of a key. It keeps none of its
// own: a key gets Windows' plain driver-key descriptor, and one whose every
// open for writing the scenario refuses (an ERROR_ACCESS_DENIED fault on
// RegOpenKeyExA, for every call, with KEY_ALL_ACCESS or any rights) gets a
// DACL that grants reading only.
constexpr char kOwnerAndGroup[] = "O:SYG:SY";
constexpr char kDefaultDacl[] = "D:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)";
constexpr char kReadOnlyDacl[] = "D:(A;CI;KR;;;BU)(A;CI;KR;;;BA)(A;CI;KR;;;SY)";
// The descriptor RegGetKeySecurity hands out is the simulated host's own
// record, read back only by ConvertSecurityDescriptorToStringSecurityDescriptorA.
constexpr char kDescriptorTag[4] = {'S', 'D', 's', 'm'};

bool DeniesWriting(const Machine &machine, const std::string &path) {
    for (const Fault &fault : machine.faults) {
        if (fault.operation == Operation::RegOpenKeyExA && fault.callNumber == 0 &&
            fault.error == host::ERROR_ACCESS_DENIED && (fault.access == 0 || fault.access == host::KEY_ALL_ACCESS) &&
            (fault.subject.empty() || EqualsIgnoreCase(fault.subject, path))) {
            return true;
        }
    }
    return false;
}

// Takes a resolved handle and the access rights the call needs. Returns
// ERROR_INVALID_HANDLE for no open key, ERROR_KEY_DELETED for a key no longer
// in the registry (a deleted key's handles stay open but refuse every call,
// as on Windows), ERROR_ACCESS_DENIED for a handle opened without the
// rights, else ERROR_SUCCESS.
host::LSTATUS CheckKeyHandle(const Machine &machine, const KeyRef &ref, host::DWORD rights = 0) {
    if (!ref.valid) {
        return host::ERROR_INVALID_HANDLE;
    }
    if (!ref.root && machine.registry.FindKey(ref.path) != ref.key.get()) {
        return host::ERROR_KEY_DELETED;
    }
    return (ref.access & rights) == rights ? host::ERROR_SUCCESS : host::ERROR_ACCESS_DENIED;
}

// Takes SDDL text and the parts asked for. Returns the text of those parts
// only ("O:", "G:" and "D:" in that order, as the text holds them).
std::string SelectSecurityParts(const std::string &text, host::SECURITY_INFORMATION parts) {
    std::string selected;
    const struct {
        host::SECURITY_INFORMATION part;
        const char *tag;
    } kParts[] = {{host::OWNER_SECURITY_INFORMATION, "O:"},
                  {host::GROUP_SECURITY_INFORMATION, "G:"},
                  {host::DACL_SECURITY_INFORMATION, "D:"}};
    for (const auto &entry : kParts) {
        size_t const at = text.find(entry.tag);
        if ((parts & entry.part) == 0 || at == std::string::npos) {
            continue;
        }
        size_t end = text.size();
        for (const auto &other : kParts) {
            size_t const next = text.find(other.tag, at + 2);
            end = next != std::string::npos && next < end ? next : end;
        }
        selected += text.substr(at, end - at);
    }
    return selected;
}

} // namespace

host::LSTATUS QueryValueA(const RegistryKey &key, const std::string &name, host::DWORD *type, host::BYTE *data,
                          host::DWORD *dataSize, host::DWORD capacity) {
    const RegistryValue *value = key.FindValue(name);
    if (value == nullptr) {
        return host::ERROR_FILE_NOT_FOUND;
    }
    auto const length = static_cast<host::DWORD>(value->data.size());
    host::LSTATUS status = host::ERROR_SUCCESS;
    if (data != nullptr && length > 0) {
        if (length > capacity) {
            status = host::ERROR_MORE_DATA;
        } else {
            std::memcpy(data, value->data.data(), length);
            if (IsStringType(value->type) && length < capacity && data[length - 1] != 0) {
                data[length] = 0;
            }
        }
    }
    if (type != nullptr) {
        *type = value->type;
    }
    if (dataSize != nullptr) {
        *dataSize = length;
    }
    return status;
}

} // namespace sim

namespace host {

using namespace sim; // the seam's helpers

LSTATUS RegOpenKeyExA(HKEY key, const char *subKey, DWORD options, DWORD samDesired, HKEY *result) {
    Machine &machine = ActiveMachine();
    CallRecord call;
    call.access = samDesired;
    call.options = options;
    LSTATUS const status = OpenKey(machine, key, subKey, samDesired, result, &call);
    LogCall(machine, Operation::RegOpenKeyExA, status, call);
    return status;
}

LSTATUS RegQueryValueExA(HKEY key, const char *valueName, DWORD *reserved, DWORD *type, BYTE *data, DWORD *dataSize) {
    Machine &machine = ActiveMachine();
    CallRecord call;
    call.keyPath = ResolveKey(machine, key).path;
    call.valueName = valueName == nullptr ? "" : valueName;
    call.bufferSize = data == nullptr || dataSize == nullptr ? 0 : *dataSize;
    LSTATUS const status = QueryValue(machine, key, valueName, reserved, type, data, dataSize);
    if (dataSize != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) {
        call.returned = *dataSize;
    }
    LogCall(machine, Operation::RegQueryValueExA, status, call);
    return status;
}

LSTATUS RegSetValueExA(HKEY key, const char *valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize) {
    Machine &machine = ActiveMachine();
    CallRecord call;
    call.keyPath = ResolveKey(machine, key).path;
    call.valueName = valueName == nullptr ? "" : valueName;
    call.reserved = reserved;
    call.type = type;
    call.bufferSize = dataSize;
    if (data != nullptr) {
        call.data.assign(reinterpret_cast<const char *>(data), dataSize);
    }
    LSTATUS const status = SetValue(machine, key, valueName, type, data, dataSize);
    LogCall(machine, Operation::RegSetValueExA, status, call);
    return status;
}

LSTATUS RegCloseKey(HKEY key) {
    Machine &machine = ActiveMachine();
    KeyRef const ref = ResolveKey(machine, key);
    CallRecord call;
    call.keyPath = ref.path;
    LSTATUS status = FireFault(machine, Operation::RegCloseKey, {ref.path});
    if (status == ERROR_SUCCESS && !ref.valid) {
        status = ERROR_INVALID_HANDLE;
    }
    if (status == ERROR_SUCCESS && !ref.root) {
        machine.Internal().keys.erase(HandleValue(key));
    }
    LogCall(machine, Operation::RegCloseKey, status, call);
    return status;
}

// The kit's calls are not logged: no test holds their order.

LSTATUS RegCreateKeyExA(HKEY key, const char *subKey, DWORD /*reserved*/, char * /*className*/, DWORD /*options*/,
                        DWORD samDesired, void * /*securityAttributes*/, HKEY *result, DWORD *disposition) {
    Machine &machine = ActiveMachine();
    KeyRef const base = ResolveKey(machine, key);
    std::string const sub = subKey == nullptr ? "" : subKey;
    if (host::LONG const fault =
            FireFault(machine, Operation::RegCreateKeyExA, {JoinKeyPath(base.path, sub), sub}, samDesired)) {
        if (result != nullptr) {
            *result = nullptr;
        }
        return fault;
    }
    if (result == nullptr || subKey == nullptr) {
        return host::ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    if (host::LSTATUS const unusable = CheckKeyHandle(machine, base)) {
        return unusable;
    }
    RegistryKey *found = nullptr;
    std::string path;
    host::LSTATUS status = WalkSubkey(base, subKey, &found, &path);
    host::DWORD outcome = host::REG_OPENED_EXISTING_KEY;
    if (status == host::ERROR_FILE_NOT_FOUND) {
        if (!base.root && (base.access & host::KEY_CREATE_SUB_KEY) == 0) {
            return host::ERROR_ACCESS_DENIED;
        }
        if (machine.registry.CreateKey(JoinKeyPath(base.path, sub)) == nullptr) {
            return host::ERROR_BAD_PATHNAME;
        }
        status = WalkSubkey(base, subKey, &found, &path);
        outcome = host::REG_CREATED_NEW_KEY;
    }
    if (status == host::ERROR_SUCCESS) {
        status = NewKeyHandle(machine, machine.registry.ShareKey(path), path, samDesired, result);
    }
    if (status == host::ERROR_SUCCESS && disposition != nullptr) {
        *disposition = outcome;
    }
    return status;
}

LSTATUS RegDeleteValueA(HKEY key, const char *valueName) {
    Machine &machine = ActiveMachine();
    KeyRef const ref = ResolveKey(machine, key);
    std::string const name = valueName == nullptr ? "" : valueName;
    if (host::LONG const fault = FireFault(machine, Operation::RegDeleteValueA, {name, ref.path})) {
        return fault;
    }
    if (host::LSTATUS const unusable = CheckKeyHandle(machine, ref, host::KEY_SET_VALUE)) {
        return unusable;
    }
    return ref.key->DeleteValue(name) ? host::ERROR_SUCCESS : host::ERROR_FILE_NOT_FOUND;
}

LSTATUS RegDeleteKeyA(HKEY key, const char *subKey) {
    Machine &machine = ActiveMachine();
    KeyRef const base = ResolveKey(machine, key);
    std::string const sub = subKey == nullptr ? "" : subKey;
    if (host::LONG const fault = FireFault(machine, Operation::RegDeleteKeyA, {JoinKeyPath(base.path, sub), sub})) {
        return fault;
    }
    if (subKey == nullptr) {
        return host::ERROR_INVALID_PARAMETER;
    }
    if (host::LSTATUS const unusable = CheckKeyHandle(machine, base)) {
        return unusable;
    }
    RegistryKey *found = nullptr;
    std::string path;
    if (host::LSTATUS const status = WalkSubkey(base, subKey, &found, &path)) {
        return status;
    }
    // NtDeleteKey refuses a key with subkeys, and the root (STATUS_CANNOT_DELETE).
    if (path.empty() || !found->Subkeys().empty()) {
        return host::ERROR_ACCESS_DENIED;
    }
    return machine.registry.DeleteKeyTree(path) ? host::ERROR_SUCCESS : host::ERROR_FILE_NOT_FOUND;
}

// NOLINTNEXTLINE(readability-non-const-parameter): Win32's signature
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *nameSize, DWORD *reserved, char *className,
                      DWORD *classNameSize, FILETIME *lastWriteTime) {
    Machine &machine = ActiveMachine();
    KeyRef const ref = ResolveKey(machine, key);
    if (host::LONG const fault = FireFault(machine, Operation::RegEnumKeyExA, {ref.path})) {
        return fault;
    }
    if (name == nullptr || nameSize == nullptr || reserved != nullptr) {
        return host::ERROR_INVALID_PARAMETER;
    }
    if (host::LSTATUS const unusable = CheckKeyHandle(machine, ref, host::KEY_ENUMERATE_SUB_KEYS)) {
        return unusable;
    }
    std::vector<RegistryKey *> const subkeys = ref.key->Subkeys();
    if (index >= subkeys.size()) {
        return host::ERROR_NO_MORE_ITEMS;
    }
    const std::string &found = subkeys[index]->Name();
    // The size counts the NUL going in and not coming out; too small, it is left as it was.
    if (found.size() >= *nameSize) {
        return host::ERROR_MORE_DATA;
    }
    std::memcpy(name, found.c_str(), found.size() + 1);
    *nameSize = static_cast<host::DWORD>(found.size());
    if (className != nullptr && classNameSize != nullptr && *classNameSize > 0) {
        className[0] = '\0';
    }
    if (classNameSize != nullptr) {
        *classNameSize = 0;
    }
    if (lastWriteTime != nullptr) {
        *lastWriteTime = host::FILETIME{0, 0};
    }
    return host::ERROR_SUCCESS;
}

// NOLINTNEXTLINE(readability-non-const-parameter): Win32's signature
LSTATUS RegEnumValueA(HKEY key, DWORD index, char *valueName, DWORD *valueNameSize, DWORD *reserved, DWORD *type,
                      BYTE *data, DWORD *dataSize) {
    Machine &machine = ActiveMachine();
    KeyRef const ref = ResolveKey(machine, key);
    if (host::LONG const fault = FireFault(machine, Operation::RegEnumValueA, {ref.path})) {
        return fault;
    }
    if (valueName == nullptr || valueNameSize == nullptr || reserved != nullptr ||
        (data != nullptr && dataSize == nullptr)) {
        return host::ERROR_INVALID_PARAMETER;
    }
    if (host::LSTATUS const unusable = CheckKeyHandle(machine, ref, host::KEY_QUERY_VALUE)) {
        return unusable;
    }
    const std::vector<RegistryValue> &values = ref.key->Values();
    if (index >= values.size()) {
        return host::ERROR_NO_MORE_ITEMS;
    }
    const RegistryValue &value = values[index];
    if (value.name.size() >= *valueNameSize) {
        return host::ERROR_MORE_DATA;
    }
    std::memcpy(valueName, value.name.c_str(), value.name.size() + 1);
    *valueNameSize = static_cast<host::DWORD>(value.name.size());
    host::DWORD const capacity = dataSize != nullptr ? *dataSize : 0;
    return QueryValueA(*ref.key, value.name, type, data, dataSize, capacity);
}

LSTATUS RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                          DWORD *descriptorSize) {
    Machine &machine = ActiveMachine();
    KeyRef const ref = ResolveKey(machine, key);
    if (host::LONG const fault = FireFault(machine, Operation::RegGetKeySecurity, {ref.path})) {
        return fault;
    }
    if (descriptorSize == nullptr || (information & ~kKnownSecurityParts) != 0) {
        return host::ERROR_INVALID_PARAMETER;
    }
    if (host::LSTATUS const unusable = CheckKeyHandle(machine, ref, host::READ_CONTROL)) {
        return unusable;
    }
    std::string const text = SelectSecurityParts(
        kOwnerAndGroup + std::string(DeniesWriting(machine, ref.path) ? kReadOnlyDacl : kDefaultDacl), information);
    auto const required = static_cast<host::DWORD>(sizeof kDescriptorTag + text.size() + 1);
    if (descriptor == nullptr || *descriptorSize < required) {
        *descriptorSize = required;
        return host::ERROR_INSUFFICIENT_BUFFER;
    }
    auto *bytes = static_cast<char *>(descriptor);
    std::memcpy(bytes, kDescriptorTag, sizeof kDescriptorTag);
    std::memcpy(bytes + sizeof kDescriptorTag, text.c_str(), text.size() + 1);
    *descriptorSize = required;
    return host::ERROR_SUCCESS;
}

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION information, char **text,
                                                          DWORD *textLength) {
    Machine &machine = ActiveMachine();
    const auto *bytes = static_cast<const char *>(descriptor);
    if (text == nullptr || bytes == nullptr || std::memcmp(bytes, kDescriptorTag, sizeof kDescriptorTag) != 0) {
        return FinishCall(machine, host::ERROR_INVALID_PARAMETER);
    }
    if (revision != host::SDDL_REVISION_1) {
        return FinishCall(machine, host::ERROR_UNKNOWN_REVISION);
    }
    std::string const selected = SelectSecurityParts(bytes + sizeof kDescriptorTag, information);
    // The caller frees the text with LocalFree, so it is one of LocalAlloc's blocks.
    auto *block = static_cast<char *>(std::malloc(selected.size() + 1));
    if (block == nullptr) {
        return FinishCall(machine, host::ERROR_NOT_ENOUGH_MEMORY);
    }
    std::memcpy(block, selected.c_str(), selected.size() + 1);
    machine.Internal().blocks.emplace(block, selected.size() + 1);
    *text = block;
    if (textLength != nullptr) {
        *textLength = static_cast<host::DWORD>(selected.size() + 1);
    }
    SetLastError(machine, host::ERROR_SUCCESS);
    return host::TRUE;
}

} // namespace host
