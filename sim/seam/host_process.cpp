// host_process.cpp - version information, system metrics, sleeping, local
// memory, the last error, standard output and the end of the process
// (kernel32, user32) on the active simulated machine.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "seam/host_state.h"

namespace sim {
namespace {

constexpr host::DWORD kVersionInfoSize = 148;   // OSVERSIONINFOA
constexpr host::DWORD kVersionInfoExSize = 156; // OSVERSIONINFOEXA
constexpr host::UINT kKnownLocalFlags = host::LMEM_ZEROINIT | 0x0010 /*LMEM_NOCOMPACT*/ | 0x0020 /*LMEM_NODISCARD*/;
constexpr host::SIZE_T kLargestBlock = 0x7FFF0000U;
constexpr unsigned char kFreshHeapByte = 0xBA; // what a block holds without LMEM_ZEROINIT

host::LONG FillVersion(Machine &machine, host::OSVERSIONINFOEXA *info) {
    if (host::LONG const fault = FireFault(machine, Operation::GetVersionExA, {})) {
        return fault;
    }
    if (info == nullptr) {
        return host::ERROR_NOACCESS;
    }
    if (info->dwOSVersionInfoSize != kVersionInfoSize && info->dwOSVersionInfoSize != kVersionInfoExSize) {
        return host::ERROR_INSUFFICIENT_BUFFER;
    }
    const VersionInfo &version = machine.version;
    if (version.getVersionFails) {
        return host::ERROR_GEN_FAILURE;
    }
    info->dwMajorVersion = version.major;
    info->dwMinorVersion = version.minor;
    info->dwBuildNumber = version.build;
    info->dwPlatformId = version.platformId;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    std::memcpy(info->szCSDVersion, version.csdVersion.data(),
                std::min(version.csdVersion.size(), sizeof info->szCSDVersion - 1));
    // The short record ends at szCSDVersion; nothing behind it is touched.
    if (info->dwOSVersionInfoSize == kVersionInfoExSize) {
        info->wServicePackMajor = version.servicePackMajor;
        info->wServicePackMinor = version.servicePackMinor;
        info->wSuiteMask = version.suiteMask;
        info->wProductType = version.productType;
        info->wReserved = 0;
    }
    return host::ERROR_SUCCESS;
}

void *Allocate(Machine &machine, host::UINT flags, host::SIZE_T bytes, host::LONG *error) {
    *error = FireFault(machine, Operation::LocalAlloc, {std::to_string(bytes)});
    // Movable and discardable blocks (handles, not pointers) are not simulated.
    if (*error == host::ERROR_SUCCESS && (flags & ~kKnownLocalFlags) != 0) {
        *error = host::ERROR_INVALID_PARAMETER;
    }
    void *block =
        *error == host::ERROR_SUCCESS && bytes <= kLargestBlock ? std::malloc(bytes == 0 ? 1 : bytes) : nullptr;
    if (block == nullptr) {
        *error = *error != host::ERROR_SUCCESS ? *error : host::ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    std::memset(block, (flags & host::LMEM_ZEROINIT) != 0 ? 0 : kFreshHeapByte, bytes == 0 ? 1 : bytes);
    machine.Internal().blocks.emplace(block, bytes);
    return block;
}

host::LONG Free(Machine &machine, host::HLOCAL memory) {
    if (host::LONG const fault = FireFault(machine, Operation::LocalFree, {})) {
        return fault;
    }
    auto &blocks = machine.Internal().blocks;
    auto found = blocks.find(memory);
    if (memory != nullptr && found == blocks.end()) {
        return host::ERROR_INVALID_HANDLE;
    }
    if (memory != nullptr) {
        blocks.erase(found);
        std::free(memory);
    }
    return host::ERROR_SUCCESS;
}

} // namespace
} // namespace sim

namespace host {

BOOL GetVersionExA(OSVERSIONINFOEXA *versionInformation) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.structSize = versionInformation == nullptr ? 0 : versionInformation->dwOSVersionInfoSize;
    LONG const error = sim::FillVersion(machine, versionInformation);
    sim::LogCall(machine, sim::Operation::GetVersionExA, error, call);
    return error == ERROR_SUCCESS ? TRUE : sim::FinishCall(machine, error);
}

int GetSystemMetrics(int index) {
    sim::Machine &machine = sim::ActiveMachine();
    LONG const fault = sim::FireFault(machine, sim::Operation::GetSystemMetrics, {std::to_string(index)});
    int const value = fault == 0 && index == SM_SERVERR2 ? machine.version.serverR2 : 0;
    sim::CallRecord call;
    call.returned = static_cast<DWORD>(value);
    sim::LogCall(machine, sim::Operation::GetSystemMetrics, fault, call);
    return value;
}

void Sleep(DWORD milliseconds) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::LogCall(machine, sim::Operation::Sleep, ERROR_SUCCESS);
    machine.nowMs += milliseconds;
    if (machine.realTime) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    sim::Machine &machine = sim::ActiveMachine();
    LONG error = ERROR_SUCCESS;
    void *block = sim::Allocate(machine, flags, bytes, &error);
    if (block == nullptr) {
        sim::SetLastError(machine, error);
    }
    sim::CallRecord call;
    call.flags = flags;
    call.bytes = bytes;
    sim::LogCall(machine, sim::Operation::LocalAlloc, error, call);
    return block;
}

HLOCAL LocalFree(HLOCAL memory) {
    sim::Machine &machine = sim::ActiveMachine();
    LONG const error = sim::Free(machine, memory);
    if (error != ERROR_SUCCESS) {
        sim::SetLastError(machine, error);
    }
    sim::LogCall(machine, sim::Operation::LocalFree, error);
    return error == ERROR_SUCCESS ? nullptr : memory;
}

UINT GetACP() { return sim::ActiveMachine().version.codePage; }

DWORD GetLastError() {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.returned = machine.LastError();
    sim::LogCall(machine, sim::Operation::GetLastError, ERROR_SUCCESS, call);
    return call.returned;
}

void WriteStandardOutput(const char *text, SIZE_T length) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    if (text != nullptr) {
        call.data.assign(text, length);
    }
    // A failing write loses the bytes, as a process without standard output,
    // or with a closed or full one, does.
    LONG status = sim::FireFault(machine, sim::Operation::WriteStandardOutput, {});
    if (status == ERROR_SUCCESS && text == nullptr) {
        status = ERROR_NOACCESS;
    }
    if (status == ERROR_SUCCESS) {
        machine.standardOutput += call.data;
        if (machine.echoOutput) {
            machine.echoOutput(text, length);
        }
    }
    sim::LogCall(machine, sim::Operation::WriteStandardOutput, status, std::move(call));
}

void FlushStandardOutput() {
    sim::Machine &machine = sim::ActiveMachine();
    machine.flushes.push_back(machine.standardOutput.size());
    sim::LogCall(machine, sim::Operation::FlushStandardOutput, ERROR_SUCCESS);
}

void ExitProcess(UINT exitCode) {
    sim::Machine &machine = sim::ActiveMachine();
    machine.flushes.push_back(machine.standardOutput.size());
    sim::LogCall(machine, sim::Operation::ExitProcess, ERROR_SUCCESS);
    if (machine.Internal().processDepth == 0) {
        std::fprintf(stderr, "simulated host: ExitProcess(%u) called outside sim::RunProcess\n", exitCode);
        std::abort();
    }
    throw sim::ProcessExit{exitCode};
}

} // namespace host
