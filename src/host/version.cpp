// version.cpp - the running Windows reduced to one integer version code.

#include "host/version.h"

#include <cstring>

#include "common/bounded_text.h"
#include "host/host.h"
#include "common/trace.h"

namespace {

constexpr char kEnvironmentKey[] = "System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kArchitectureValue[] = "PROCESSOR_ARCHITECTURE";
constexpr char kX64Architecture[] = "AMD64";
constexpr host::DWORD kArchitectureBufferSize = 128;

// Takes the version record and the x64 flag of a major version 6 or later.
// Returns its code.
std::int32_t ClassifyVersion6(const host::OSVERSIONINFOEXA &info, bool x64) {
    bool const workstation = info.wProductType < host::VER_NT_SERVER;
    if (info.dwMinorVersion >= 2U) {
        return x64 ? 54 : 51;
    }
    if (info.dwMinorVersion == 1U) {
        if (workstation) {
            return x64 ? 44 : 41;
        }
        return x64 ? 49 : 48;
    }
    if (workstation) {
        return x64 ? 34 : 31;
    }
    return x64 ? 37 : 36;
}

// Takes the version record and the x64 flag of major version 5. Returns its
// code; asks for the release-2 metric only for minor version 2 or later.
std::int32_t ClassifyVersion5(const host::OSVERSIONINFOEXA &info, bool x64) {
    if (info.dwMinorVersion >= 2U) {
        if (host::GetSystemMetrics(host::SM_SERVERR2) != 0) {
            return x64 ? 29 : 28;
        }
        if (!x64) {
            return 26;
        }
        return info.wProductType == host::VER_NT_WORKSTATION ? 24 : 27;
    }
    if (info.dwMinorVersion == 1U) {
        return 21;
    }
    return info.wProductType < host::VER_NT_SERVER ? 11 : 16;
}

// Takes the version record of major version 4. Returns its code.
std::int32_t ClassifyVersion4(const host::OSVERSIONINFOEXA &info) {
    if (info.dwMinorVersion >= 90U) {
        return 4;
    }
    if (info.dwMinorVersion >= 10U) {
        return info.dwBuildNumber < 2000U ? 2 : 3;
    }
    return info.dwPlatformId < 2U ? 1 : 5;
}

} // namespace

bool IsX64Platform() {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, kEnvironmentKey, 0, host::KEY_READ, &key) !=
        host::ERROR_SUCCESS) {
        Trace("IsX64Platform() : Open Registry Key Fail!");
        return false;
    }
    host::BYTE data[kArchitectureBufferSize] = {};
    host::DWORD type = 0;
    host::DWORD size = kArchitectureBufferSize;
    if (host::RegQueryValueExA(key, kArchitectureValue, nullptr, &type, data, &size) != host::ERROR_SUCCESS) {
        Trace("IsX64Platform() : Get Platform Type Fail!");
        host::RegCloseKey(key);
        return false;
    }
    // A value stored without its NUL ends at the reported size.
    host::DWORD const valid = size < kArchitectureBufferSize ? size : kArchitectureBufferSize;
    std::size_t const length = MeasureBoundedText(reinterpret_cast<const char *>(data), valid);
    bool const x64 = length == sizeof kX64Architecture - 1 && std::memcmp(data, kX64Architecture, length) == 0;
    host::RegCloseKey(key);
    return x64;
}

std::int32_t GetOSVersionCode(std::int32_t *code) {
    *code = 0;
    // The probe runs before the version query on every call, needed or not.
    bool const x64 = IsX64Platform();
    host::OSVERSIONINFOEXA info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    host::GetVersionExA(&info); // a failed call leaves major version 0
    if (info.dwMajorVersion >= 6U) {
        *code = ClassifyVersion6(info, x64);
    } else if (info.dwMajorVersion == 5U) {
        *code = ClassifyVersion5(info, x64);
    } else if (info.dwMajorVersion == 4U) {
        *code = ClassifyVersion4(info);
    } else {
        return ZOWL_ERROR_UNKNOWN;
    }
    return 1;
}
