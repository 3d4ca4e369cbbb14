// host_state.cpp - the machine's seam state: its audit of what is open, the
// active machine, simulated processes, and the call log and fault helpers
// shared by every simulated host operation.

#include <cstdio>
#include <cstdlib>

#include "seam/host_state.h"

namespace sim {

namespace {
Machine *g_active = nullptr;
}

Machine::Machine() : state_(std::make_shared<State>()) {}

Machine::State::~State() {
    for (auto &entry : blocks) {
        std::free(entry.first);
    }
}

Machine::State &Machine::Internal() { return *state_; }

size_t Machine::OpenKeyCount() const { return state_->keys.size(); }
size_t Machine::OpenHandleCount() const { return state_->files.size(); }
size_t Machine::OpenDeviceSetCount() const { return state_->deviceSets.size(); }
size_t Machine::LiveBlockCount() const { return state_->blocks.size(); }
host::DWORD Machine::LastError() const { return state_->lastError; }

std::vector<std::string> Machine::OpenObjects() const {
    std::vector<std::string> objects;
    for (const auto &[handle, key] : state_->keys) {
        objects.push_back("registry key " + Hex(static_cast<std::uint32_t>(handle)) + " HKLM\\" + key.path);
    }
    for (const auto &[handle, file] : state_->files) {
        objects.push_back("file handle " + Hex(static_cast<std::uint32_t>(handle)) + " " + file.fileName);
    }
    for (const auto &[handle, set] : state_->deviceSets) {
        objects.push_back("device information set " + Hex(static_cast<std::uint32_t>(handle)) + " (" +
                          std::to_string(set.members.size()) + " members)");
    }
    for (const auto &[block, bytes] : state_->blocks) {
        objects.push_back("heap block of " + std::to_string(bytes) + " bytes");
    }
    return objects;
}

MachineScope::MachineScope(Machine &machine) : previous_(g_active) { g_active = &machine; }
MachineScope::~MachineScope() { g_active = previous_; }

Machine &ActiveMachine() {
    if (g_active == nullptr) {
        std::fprintf(stderr, "simulated host: a host operation was called with no active machine\n");
        std::abort();
    }
    return *g_active;
}

ProcessOutcome RunProcess(Machine &machine, const std::function<void()> &entry) {
    MachineScope scope(machine);
    Machine::State &state = machine.Internal();
    // A new process starts with a clear last error on its one thread.
    state.lastError = 0;
    ProcessOutcome outcome;
    ++state.processDepth;
    try {
        entry();
    } catch (const ProcessExit &exit) {
        outcome.exited = true;
        outcome.exitCode = exit.exitCode;
    } catch (...) {
        --state.processDepth;
        throw;
    }
    --state.processDepth;
    outcome.endedAtMs = machine.nowMs;
    return outcome;
}

// ---- helpers shared by the host operations ----

host::LONG FireFault(Machine &machine, Operation operation, std::initializer_list<std::string_view> subjects,
                     host::DWORD access) {
    host::LONG fired = 0;
    for (Fault &fault : machine.faults) {
        if (fault.operation != operation || (fault.access != 0 && fault.access != access)) {
            continue;
        }
        bool matches = fault.subject.empty();
        for (std::string_view subject : subjects) {
            matches = matches || EqualsIgnoreCase(fault.subject, subject);
        }
        if (!matches) {
            continue;
        }
        ++fault.seen;
        if (fired == 0 && (fault.callNumber == 0 || fault.seen == fault.callNumber)) {
            fired = fault.error;
        }
    }
    return fired;
}

void LogCall(Machine &machine, Operation operation, host::LONG status, CallRecord call) {
    call.atMs = machine.nowMs;
    call.operation = operation;
    call.status = status;
    machine.calls.push_back(std::move(call));
}

void SetLastError(Machine &machine, host::LONG error) {
    machine.Internal().lastError = static_cast<host::DWORD>(error);
}

host::BOOL FinishCall(Machine &machine, host::LONG error) {
    SetLastError(machine, error);
    return error == host::ERROR_SUCCESS ? host::TRUE : host::FALSE;
}

} // namespace sim
