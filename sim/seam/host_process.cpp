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
    if (host::LONG const fault = FireFault(machine, "GetVersionExA", {})) {
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

void *Allocate(Machine &machine, host::UINT flags, host::SIZE_T bytes, host::LONG *error, std::uint32_t *serial) {
    if (host::LONG const fault = FireFault(machine, "LocalAlloc", {std::to_string(bytes)})) {
        *error = fault;
        return nullptr;
    }
    // Movable and discardable blocks (handles, not pointers) are not simulated.
    if ((flags & ~kKnownLocalFlags) != 0) {
        *error = host::ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (bytes > kLargestBlock) {
        *error = host::ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    void *block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        *error = host::ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    std::memset(block, (flags & host::LMEM_ZEROINIT) != 0 ? 0 : kFreshHeapByte, bytes == 0 ? 1 : bytes);
    Machine::State &state = machine.Internal();
    *serial = state.nextBlockSerial++;
    state.blocks.emplace(block, HeapBlock{bytes, *serial});
    return block;
}

std::string BlockText(Machine &machine, const void *memory) {
    if (memory == nullptr) {
        return "NULL";
    }
    auto &blocks = machine.Internal().blocks;
    auto found = blocks.find(const_cast<void *>(memory));
    if (found == blocks.end()) {
        return "unknown block";
    }
    return "block #" + std::to_string(found->second.serial);
}

} // namespace
} // namespace sim

namespace host {

BOOL GetVersionExA(OSVERSIONINFOEXA *versionInformation) {
    sim::Machine &machine = sim::ActiveMachine();
    std::string const sizeText =
        versionInformation == nullptr ? "NULL" : "size " + std::to_string(versionInformation->dwOSVersionInfoSize);
    LONG const error = sim::FillVersion(machine, versionInformation);
    std::string outcome;
    if (error == ERROR_SUCCESS) {
        outcome = "TRUE, " + std::to_string(versionInformation->dwMajorVersion) + "." +
                  std::to_string(versionInformation->dwMinorVersion) + " build " +
                  std::to_string(versionInformation->dwBuildNumber) + " platform " +
                  std::to_string(versionInformation->dwPlatformId);
        if (versionInformation->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA)) {
            outcome += " product type " + std::to_string(versionInformation->wProductType);
        }
    } else {
        sim::SetLastError(machine, error);
        outcome = "FALSE, " + sim::ErrorName(error);
    }
    sim::LogCall(machine, "GetVersionExA", sizeText, outcome);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

int GetSystemMetrics(int index) {
    sim::Machine &machine = sim::ActiveMachine();
    int value = 0;
    if (sim::FireFault(machine, "GetSystemMetrics", {std::to_string(index)}) == 0 && index == SM_SERVERR2) {
        value = machine.version.serverR2;
    }
    sim::LogCall(machine, "GetSystemMetrics", index == SM_SERVERR2 ? "SM_SERVERR2" : std::to_string(index),
                 std::to_string(value));
    return value;
}

void Sleep(DWORD milliseconds) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallFields fields;
    fields.size = milliseconds;
    sim::LogCall(machine, "Sleep", std::to_string(milliseconds), "", fields);
    machine.nowMs += milliseconds;
    if (machine.realTime) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    sim::Machine &machine = sim::ActiveMachine();
    LONG error = ERROR_SUCCESS;
    std::uint32_t serial = 0;
    void *block = sim::Allocate(machine, flags, bytes, &error, &serial);
    if (block == nullptr) {
        sim::SetLastError(machine, error);
    }
    sim::CallFields fields;
    fields.flags = flags;
    fields.size = static_cast<DWORD>(bytes);
    fields.status = block == nullptr ? error : ERROR_SUCCESS;
    sim::LogCall(machine, "LocalAlloc", sim::Hex(flags, 4) + ", " + std::to_string(bytes),
                 block == nullptr ? "NULL, " + sim::ErrorName(error) : "block #" + std::to_string(serial), fields);
    return block;
}

HLOCAL LocalFree(HLOCAL memory) {
    sim::Machine &machine = sim::ActiveMachine();
    std::string const blockText = sim::BlockText(machine, memory);
    HLOCAL result = nullptr;
    if (LONG const fault = sim::FireFault(machine, "LocalFree", {})) {
        sim::SetLastError(machine, fault);
        result = memory;
    } else if (memory != nullptr) {
        auto &blocks = machine.Internal().blocks;
        auto found = blocks.find(memory);
        if (found == blocks.end()) {
            sim::SetLastError(machine, ERROR_INVALID_HANDLE);
            result = memory;
        } else {
            blocks.erase(found);
            std::free(memory);
        }
    }
    sim::LogCall(machine, "LocalFree", blockText,
                 result == nullptr ? "NULL" : "not freed, " + sim::ErrorName(static_cast<LONG>(machine.LastError())));
    return result;
}

DWORD GetLastError() {
    sim::Machine &machine = sim::ActiveMachine();
    DWORD const error = machine.LastError();
    sim::LogCall(machine, "GetLastError", "", sim::ErrorName(static_cast<LONG>(error)));
    return error;
}

void WriteStandardOutput(const char *text, SIZE_T length) {
    sim::Machine &machine = sim::ActiveMachine();
    std::string const quoted = text == nullptr ? "NULL" : sim::QuoteBytes(text, length);
    // A failing write loses the bytes, as a process without standard output does.
    if (sim::FireFault(machine, "WriteStandardOutput", {}) != 0 || text == nullptr) {
        sim::LogCall(machine, "WriteStandardOutput", quoted, "lost");
        return;
    }
    machine.standardOutput.append(text, length);
    if (machine.echoOutput) {
        machine.echoOutput(text, length);
    }
    sim::LogCall(machine, "WriteStandardOutput", quoted, "");
}

void FlushStandardOutput() {
    sim::Machine &machine = sim::ActiveMachine();
    machine.flushes.push_back(machine.standardOutput.size());
    sim::LogCall(machine, "FlushStandardOutput", "", "");
}

void ExitProcess(UINT exitCode) {
    sim::Machine &machine = sim::ActiveMachine();
    machine.flushes.push_back(machine.standardOutput.size());
    sim::LogCall(machine, "ExitProcess", std::to_string(exitCode), "");
    if (machine.Internal().processDepth == 0) {
        std::fprintf(stderr, "simulated host: ExitProcess(%u) called outside sim::RunProcess\n", exitCode);
        std::abort();
    }
    throw sim::ProcessExit{exitCode};
}

} // namespace host
