// host_state.h - the simulated host's private state and the seam's helpers.
//
// Only the sim/seam/host_*.cpp files include this header: it holds
// the handle tables behind Machine::State, the call log and fault helpers
// every operation uses, and the exception that ends a simulated process.

#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"
#include "machine/text.h"

namespace sim {

struct KeyHandle {
    std::shared_ptr<RegistryKey> key;
    std::string path; // under HKEY_LOCAL_MACHINE, as the registry spells it
    host::DWORD access = 0;
};

struct FileHandle {
    std::string fileName;           // as the caller passed it
    size_t driver = 0;              // index into Machine::drivers
    std::uint64_t loadedFromMs = 0; // start of the load span it was opened in
};

struct DeviceMember {
    std::string instancePath; // "USB\VID_13B1&PID_003B\0001", as the registry spells it
    host::GUID classGuid{};
    host::DWORD devInst = 0;
};

struct DeviceSet {
    std::uint32_t serial = 0;
    // Members carry firstTag + index in SP_DEVINFO_DATA.Reserved, where
    // Windows keeps a pointer to its own element: tags never repeat across
    // sets, so a member of another (or a destroyed) set is recognised.
    std::uint32_t firstTag = 0;
    std::vector<DeviceMember> members;
};

// Thrown by ExitProcess, caught by RunProcess only.
struct ProcessExit {
    host::UINT exitCode;
};

} // namespace sim

struct sim::Machine::State {
    State() = default;
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State();

    host::DWORD lastError = 0;

    // Takes nothing. Returns a new kernel handle's value (keys and files), as
    // Windows numbers them: multiples of 4.
    std::uintptr_t NewHandle() { return lastHandle += 4; }
    std::uintptr_t lastHandle = 0x3C; // the first is 0x40
    std::map<std::uintptr_t, KeyHandle> keys;
    std::map<std::uintptr_t, FileHandle> files;

    std::uint32_t nextDeviceSetSerial = 1;
    std::uint32_t nextMemberTag = 1;
    std::map<std::uintptr_t, DeviceSet> deviceSets;
    std::map<std::string, host::DWORD> devInsts; // upper-cased instance path -> devnode number

    std::map<void *, size_t> blocks; // LocalAlloc's blocks and their sizes

    int processDepth = 0; // > 0 while RunProcess runs an entry routine
};

namespace sim {

// Takes a handle of any kind. Returns its value, the key of the handle tables.
template <typename Handle> std::uintptr_t HandleValue(Handle handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

// Returns the error of the first fault that fires for this call, or 0. Every
// fault whose operation and subject match counts the call.
host::LONG FireFault(Machine &machine, Operation operation, std::initializer_list<std::string_view> subjects,
                     host::DWORD access = 0);

// Appends a call's record to the log, with its operation, its status and
// the current virtual time.
void LogCall(Machine &machine, Operation operation, host::LONG status, CallRecord call = {});

// Takes a BOOL call's operation and the routine that makes it on the active
// machine, filling in the call's record. Logs the call with ERROR_SUCCESS or
// the last error it failed with; returns the routine's result.
template <typename Routine> host::BOOL LogBoolCall(Operation operation, Routine routine) {
    Machine &machine = ActiveMachine();
    CallRecord call;
    host::BOOL const result = routine(machine, call);
    LogCall(machine, operation,
            result != host::FALSE ? host::ERROR_SUCCESS : static_cast<host::LONG>(machine.LastError()),
            std::move(call));
    return result;
}

// Sets the thread's last error, as SetLastError does.
void SetLastError(Machine &machine, host::LONG error);
// Takes the error a BOOL call ends with (ERROR_SUCCESS: none). Sets it as the
// last error; returns TRUE for ERROR_SUCCESS, else FALSE.
host::BOOL FinishCall(Machine &machine, host::LONG error);

// Reads one value as RegQueryValueExA does once the key is open and readable:
// ERROR_FILE_NOT_FOUND (type and size untouched), ERROR_MORE_DATA (nothing
// copied) or success; *type and *dataSize receive the stored type and byte
// count; a string lacking its NUL gets one appended when capacity allows.
host::LSTATUS QueryValueA(const RegistryKey &key, const std::string &name, host::DWORD *type, host::BYTE *data,
                          host::DWORD *dataSize, host::DWORD capacity);

} // namespace sim
