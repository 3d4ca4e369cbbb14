// on_win32.cpp - the host-contract suite as a 32-bit Windows program over the
// forwarding layer (src/host/win32), run under Wine by the runner on the
// machine of machine.json. The names host_extra.h adds to the seam get their
// SDK values checked here, and GetLastError its forwarding.

#include <windows.h>
#include <setupapi.h>

#include <cstdint>

namespace sdk {

constexpr ::BOOL kTRUE = TRUE;
constexpr ::BOOL kFALSE = FALSE;
constexpr ::LONG kERROR_INVALID_FUNCTION = static_cast<::LONG>(ERROR_INVALID_FUNCTION);
constexpr ::LONG kERROR_FILE_NOT_FOUND = static_cast<::LONG>(ERROR_FILE_NOT_FOUND);
constexpr ::LONG kERROR_PATH_NOT_FOUND = static_cast<::LONG>(ERROR_PATH_NOT_FOUND);
constexpr ::LONG kERROR_ACCESS_DENIED = static_cast<::LONG>(ERROR_ACCESS_DENIED);
constexpr ::LONG kERROR_INVALID_HANDLE = static_cast<::LONG>(ERROR_INVALID_HANDLE);
constexpr ::LONG kERROR_NOT_ENOUGH_MEMORY = static_cast<::LONG>(ERROR_NOT_ENOUGH_MEMORY);
constexpr ::LONG kERROR_INVALID_DATA = static_cast<::LONG>(ERROR_INVALID_DATA);
constexpr ::LONG kERROR_GEN_FAILURE = static_cast<::LONG>(ERROR_GEN_FAILURE);
constexpr ::LONG kERROR_NOT_SUPPORTED = static_cast<::LONG>(ERROR_NOT_SUPPORTED);
constexpr ::LONG kERROR_INVALID_PARAMETER = static_cast<::LONG>(ERROR_INVALID_PARAMETER);
constexpr ::LONG kERROR_INSUFFICIENT_BUFFER = static_cast<::LONG>(ERROR_INSUFFICIENT_BUFFER);
constexpr ::LONG kERROR_INVALID_NAME = static_cast<::LONG>(ERROR_INVALID_NAME);
constexpr ::LONG kERROR_BAD_PATHNAME = static_cast<::LONG>(ERROR_BAD_PATHNAME);
constexpr ::LONG kERROR_MORE_DATA = static_cast<::LONG>(ERROR_MORE_DATA);
constexpr ::LONG kERROR_NO_MORE_ITEMS = static_cast<::LONG>(ERROR_NO_MORE_ITEMS);
constexpr ::LONG kERROR_NOACCESS = static_cast<::LONG>(ERROR_NOACCESS);
constexpr ::LONG kERROR_INVALID_FLAGS = static_cast<::LONG>(ERROR_INVALID_FLAGS);
constexpr ::LONG kERROR_KEY_DELETED = static_cast<::LONG>(ERROR_KEY_DELETED);
constexpr ::LONG kERROR_DEVICE_NOT_CONNECTED = static_cast<::LONG>(ERROR_DEVICE_NOT_CONNECTED);
constexpr ::LONG kERROR_INVALID_USER_BUFFER = static_cast<::LONG>(ERROR_INVALID_USER_BUFFER);
constexpr ::LONG kERROR_INVALID_CLASS = static_cast<::LONG>(ERROR_INVALID_CLASS);
constexpr ::LONG kERROR_INVALID_REG_PROPERTY = static_cast<::LONG>(ERROR_INVALID_REG_PROPERTY);
constexpr ::LONG kERROR_NO_SUCH_DEVINST = static_cast<::LONG>(ERROR_NO_SUCH_DEVINST);
constexpr ::DWORD kKEY_QUERY_VALUE = KEY_QUERY_VALUE;
constexpr ::DWORD kKEY_SET_VALUE = KEY_SET_VALUE;
constexpr ::DWORD kREG_NONE = REG_NONE;
constexpr ::DWORD kREG_EXPAND_SZ = REG_EXPAND_SZ;
constexpr ::DWORD kREG_BINARY = REG_BINARY;
constexpr ::DWORD kREG_DWORD = REG_DWORD;
constexpr ::DWORD kREG_MULTI_SZ = REG_MULTI_SZ;
constexpr ::BYTE kVER_NT_DOMAIN_CONTROLLER = VER_NT_DOMAIN_CONTROLLER;
} // namespace sdk

#undef TRUE
#undef FALSE
#undef ERROR_INVALID_FUNCTION
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_PATH_NOT_FOUND
#undef ERROR_ACCESS_DENIED
#undef ERROR_INVALID_HANDLE
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_INVALID_DATA
#undef ERROR_GEN_FAILURE
#undef ERROR_NOT_SUPPORTED
#undef ERROR_INVALID_PARAMETER
#undef ERROR_INSUFFICIENT_BUFFER
#undef ERROR_INVALID_NAME
#undef ERROR_BAD_PATHNAME
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef ERROR_NOACCESS
#undef ERROR_INVALID_FLAGS
#undef ERROR_KEY_DELETED
#undef ERROR_DEVICE_NOT_CONNECTED
#undef ERROR_INVALID_USER_BUFFER
#undef ERROR_INVALID_CLASS
#undef ERROR_INVALID_REG_PROPERTY
#undef ERROR_NO_SUCH_DEVINST
#undef KEY_QUERY_VALUE
#undef KEY_SET_VALUE
#undef REG_NONE
#undef REG_EXPAND_SZ
#undef REG_BINARY
#undef REG_DWORD
#undef REG_MULTI_SZ
#undef VER_NT_DOMAIN_CONTROLLER
#undef ERROR_SUCCESS
#undef KEY_READ
#undef KEY_ALL_ACCESS
#undef REG_SZ
#undef DIGCF_PRESENT
#undef SPDRP_DEVICEDESC
#undef SPDRP_HARDWAREID
#undef SPDRP_DRIVER
#undef SPDRP_MFG
#undef SPDRP_FRIENDLYNAME
#undef SPDRP_LOCATION_INFORMATION
#undef FILE_SHARE_READ
#undef OPEN_EXISTING
#undef IOCTL_NDIS_QUERY_GLOBAL_STATS
#undef SM_SERVERR2
#undef VER_NT_WORKSTATION
#undef VER_NT_SERVER
#undef LMEM_FIXED
#undef LMEM_ZEROINIT
#undef HKEY_LOCAL_MACHINE
#undef INVALID_HANDLE_VALUE

#include "harness.h"


static_assert(host::TRUE == sdk::kTRUE, "TRUE");
static_assert(host::FALSE == sdk::kFALSE, "FALSE");
static_assert(host::ERROR_INVALID_FUNCTION == sdk::kERROR_INVALID_FUNCTION, "ERROR_INVALID_FUNCTION");
static_assert(host::ERROR_FILE_NOT_FOUND == sdk::kERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND");
static_assert(host::ERROR_PATH_NOT_FOUND == sdk::kERROR_PATH_NOT_FOUND, "ERROR_PATH_NOT_FOUND");
static_assert(host::ERROR_ACCESS_DENIED == sdk::kERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED");
static_assert(host::ERROR_INVALID_HANDLE == sdk::kERROR_INVALID_HANDLE, "ERROR_INVALID_HANDLE");
static_assert(host::ERROR_NOT_ENOUGH_MEMORY == sdk::kERROR_NOT_ENOUGH_MEMORY, "ERROR_NOT_ENOUGH_MEMORY");
static_assert(host::ERROR_INVALID_DATA == sdk::kERROR_INVALID_DATA, "ERROR_INVALID_DATA");
static_assert(host::ERROR_GEN_FAILURE == sdk::kERROR_GEN_FAILURE, "ERROR_GEN_FAILURE");
static_assert(host::ERROR_NOT_SUPPORTED == sdk::kERROR_NOT_SUPPORTED, "ERROR_NOT_SUPPORTED");
static_assert(host::ERROR_INVALID_PARAMETER == sdk::kERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER");
static_assert(host::ERROR_INSUFFICIENT_BUFFER == sdk::kERROR_INSUFFICIENT_BUFFER, "ERROR_INSUFFICIENT_BUFFER");
static_assert(host::ERROR_INVALID_NAME == sdk::kERROR_INVALID_NAME, "ERROR_INVALID_NAME");
static_assert(host::ERROR_BAD_PATHNAME == sdk::kERROR_BAD_PATHNAME, "ERROR_BAD_PATHNAME");
static_assert(host::ERROR_MORE_DATA == sdk::kERROR_MORE_DATA, "ERROR_MORE_DATA");
static_assert(host::ERROR_NO_MORE_ITEMS == sdk::kERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS");
static_assert(host::ERROR_NOACCESS == sdk::kERROR_NOACCESS, "ERROR_NOACCESS");
static_assert(host::ERROR_INVALID_FLAGS == sdk::kERROR_INVALID_FLAGS, "ERROR_INVALID_FLAGS");
static_assert(host::ERROR_KEY_DELETED == sdk::kERROR_KEY_DELETED, "ERROR_KEY_DELETED");
static_assert(host::ERROR_DEVICE_NOT_CONNECTED == sdk::kERROR_DEVICE_NOT_CONNECTED, "ERROR_DEVICE_NOT_CONNECTED");
static_assert(host::ERROR_INVALID_USER_BUFFER == sdk::kERROR_INVALID_USER_BUFFER, "ERROR_INVALID_USER_BUFFER");
static_assert(host::ERROR_INVALID_CLASS == sdk::kERROR_INVALID_CLASS, "ERROR_INVALID_CLASS");
static_assert(host::ERROR_INVALID_REG_PROPERTY == sdk::kERROR_INVALID_REG_PROPERTY, "ERROR_INVALID_REG_PROPERTY");
static_assert(host::ERROR_NO_SUCH_DEVINST == sdk::kERROR_NO_SUCH_DEVINST, "ERROR_NO_SUCH_DEVINST");
static_assert(host::KEY_QUERY_VALUE == sdk::kKEY_QUERY_VALUE, "KEY_QUERY_VALUE");
static_assert(host::KEY_SET_VALUE == sdk::kKEY_SET_VALUE, "KEY_SET_VALUE");
static_assert(host::REG_NONE == sdk::kREG_NONE, "REG_NONE");
static_assert(host::REG_EXPAND_SZ == sdk::kREG_EXPAND_SZ, "REG_EXPAND_SZ");
static_assert(host::REG_BINARY == sdk::kREG_BINARY, "REG_BINARY");
static_assert(host::REG_DWORD == sdk::kREG_DWORD, "REG_DWORD");
static_assert(host::REG_MULTI_SZ == sdk::kREG_MULTI_SZ, "REG_MULTI_SZ");
static_assert(host::VER_NT_DOMAIN_CONTROLLER == sdk::kVER_NT_DOMAIN_CONTROLLER, "VER_NT_DOMAIN_CONTROLLER");

namespace host {

DWORD GetLastError() { return ::GetLastError(); }

} // namespace host

namespace contract {

bool WindowsBehaviourChecked(const char *difference, const char *evidence) {
    NoteDifference(difference, evidence, false);
    return false;
}

// Never reached: only the simulated host checks what needs these.
void SetDevicePresent(const char *, bool) { CHECK(false); }
void SetWindowsVersion(host::DWORD, host::DWORD, host::DWORD, host::BYTE, int) { CHECK(false); }

std::uint64_t ElapsedMs() {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::uint64_t>(now.QuadPart) * 1000 / static_cast<std::uint64_t>(frequency.QuadPart);
}

} // namespace contract

int main() { contract::RunAllAndExit("Windows (32-bit, forwarding layer)"); }
