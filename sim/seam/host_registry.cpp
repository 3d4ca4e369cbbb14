// host_registry.cpp - the registry functions of the host seam (advapi32) on
// the active simulated machine.
//
// They follow what Windows (and Wine 8, checked with test programs) does:
// results are returned, never set as the last error; a failed open stores
// NULL in the result; RegQueryValueExA sets the type word to REG_NONE before
// looking, reports the stored size, and appends a NUL behind a string that
// lacks one when the buffer has room, without counting it.

#include <cstring>

#include "seam/host_state.h"

namespace sim {
namespace {

std::uintptr_t HandleValue(host::HKEY key) { return reinterpret_cast<std::uintptr_t>(key); }

// What a key handle stands for: the root, an open key, or nothing.
struct KeyRef {
    bool valid = false;
    bool root = false;
    std::shared_ptr<RegistryKey> key;
    std::string path;
    host::DWORD access = 0;
};

KeyRef ResolveKey(Machine &machine, host::HKEY key) {
    KeyRef ref;
    if (key == host::HKEY_LOCAL_MACHINE) {
        ref.valid = true;
        ref.root = true;
        ref.key = machine.registry.ShareKey("");
        ref.access = host::KEY_ALL_ACCESS;
        return ref;
    }
    auto &keys = machine.Internal().keys;
    auto found = keys.find(HandleValue(key));
    if (found == keys.end()) {
        return ref;
    }
    ref.valid = true;
    ref.key = found->second.key;
    ref.path = found->second.path;
    ref.access = found->second.access;
    return ref;
}

std::string JoinPath(const std::string &base, const std::string &sub) {
    if (base.empty()) {
        return sub;
    }
    if (sub.empty()) {
        return base;
    }
    return base + "\\" + sub;
}

host::HKEY NewKeyHandle(Machine &machine, KeyHandle handle) {
    Machine::State &state = machine.Internal();
    std::uintptr_t const value = state.nextHandle;
    state.nextHandle += 4;
    state.keys.emplace(value, std::move(handle));
    return reinterpret_cast<host::HKEY>(value);
}

// Walks subKey below a key, component by component (empty components, as
// from a doubled or trailing backslash, are skipped as Windows skips them).
// Returns the key or null; *path receives the path as the registry spells it.
RegistryKey *WalkSubkey(RegistryKey *from, const std::string &fromPath, const char *subKey, std::string *path) {
    RegistryKey *current = from;
    std::string walked = fromPath;
    std::string_view rest(subKey);
    while (!rest.empty()) {
        size_t const slash = rest.find('\\');
        std::string_view const component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty()) {
            continue;
        }
        current = current->FindSubkey(component);
        if (current == nullptr) {
            return nullptr;
        }
        walked = JoinPath(walked, current->Name());
    }
    *path = walked;
    return current;
}

host::LSTATUS OpenKey(Machine &machine, host::HKEY key, const char *subKey, host::DWORD samDesired,
                      host::HKEY *result) {
    KeyRef const base = ResolveKey(machine, key);
    std::string const requested = JoinPath(base.path, subKey == nullptr ? "" : subKey);
    if (host::LONG const fault =
            FireFault(machine, Operation::RegOpenKeyExA, {requested, subKey == nullptr ? "" : subKey}, samDesired)) {
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
        *result = NewKeyHandle(machine, KeyHandle{base.key, base.path, samDesired});
        return host::ERROR_SUCCESS;
    }
    if (subKey[0] == '\\') {
        return host::ERROR_BAD_PATHNAME;
    }
    std::string path;
    RegistryKey *found = WalkSubkey(base.key.get(), base.path, subKey, &path);
    if (found == nullptr) {
        return host::ERROR_FILE_NOT_FOUND;
    }
    std::shared_ptr<RegistryKey> shared = machine.registry.ShareKey(path);
    if (!shared) {
        return host::ERROR_FILE_NOT_FOUND;
    }
    *result = NewKeyHandle(machine, KeyHandle{shared, path, samDesired});
    return host::ERROR_SUCCESS;
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
    std::vector<std::uint8_t> bytes;
    if (dataSize != 0) {
        bytes.assign(data, data + dataSize);
    }
    ref.key->SetValue(name, type, std::move(bytes));
    return host::ERROR_SUCCESS;
}

host::LSTATUS CloseKey(Machine &machine, host::HKEY key) {
    KeyRef const ref = ResolveKey(machine, key);
    if (host::LONG const fault = FireFault(machine, Operation::RegCloseKey, {ref.path})) {
        return fault;
    }
    if (!ref.valid) {
        return host::ERROR_INVALID_HANDLE;
    }
    if (!ref.root) {
        machine.Internal().keys.erase(HandleValue(key));
    }
    return host::ERROR_SUCCESS;
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

LSTATUS RegOpenKeyExA(HKEY key, const char *subKey, DWORD options, DWORD samDesired, HKEY *result) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.keyPath = sim::JoinPath(sim::ResolveKey(machine, key).path, subKey == nullptr ? "" : subKey);
    call.access = samDesired;
    call.options = options;
    LSTATUS const status = sim::OpenKey(machine, key, subKey, samDesired, result);
    sim::LogCall(machine, sim::Operation::RegOpenKeyExA, status, call);
    return status;
}

LSTATUS RegQueryValueExA(HKEY key, const char *valueName, DWORD *reserved, DWORD *type, BYTE *data, DWORD *dataSize) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.keyPath = sim::ResolveKey(machine, key).path;
    call.valueName = valueName == nullptr ? "" : valueName;
    call.bufferSize = data == nullptr || dataSize == nullptr ? 0 : *dataSize;
    LSTATUS const status = sim::QueryValue(machine, key, valueName, reserved, type, data, dataSize);
    if (dataSize != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) {
        call.returned = *dataSize;
    }
    sim::LogCall(machine, sim::Operation::RegQueryValueExA, status, call);
    return status;
}

LSTATUS RegSetValueExA(HKEY key, const char *valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.keyPath = sim::ResolveKey(machine, key).path;
    call.valueName = valueName == nullptr ? "" : valueName;
    call.reserved = reserved;
    call.type = type;
    call.bufferSize = dataSize;
    if (data != nullptr) {
        call.data.assign(reinterpret_cast<const char *>(data), dataSize);
    }
    LSTATUS const status = sim::SetValue(machine, key, valueName, type, data, dataSize);
    sim::LogCall(machine, sim::Operation::RegSetValueExA, status, call);
    return status;
}

LSTATUS RegCloseKey(HKEY key) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.keyPath = sim::ResolveKey(machine, key).path;
    LSTATUS const status = sim::CloseKey(machine, key);
    sim::LogCall(machine, sim::Operation::RegCloseKey, status, call);
    return status;
}

} // namespace host
