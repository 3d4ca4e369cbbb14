// host_win32.cpp - host.h on real Windows.
//
// Every operation is forwarded unchanged to the Win32 function of the same
// name. The only work done here is converting between the seam's types and the
// SDK's: both describe the same 32-bit values and layouts, which the
// assertions below hold the two sets of headers to.

#include <windows.h>
#include <setupapi.h>
#include <ntddndis.h>

#include <cstddef>
#include <cstdio>

namespace sdk {

// The SDK defines these names as macros, which would rewrite the seam's own
// declarations of them; keep their values here and drop the macros before
// host.h is read.

constexpr ::LONG kErrorSuccess = ERROR_SUCCESS;

constexpr ::DWORD kKeyRead = KEY_READ;
constexpr ::DWORD kKeyAllAccess = KEY_ALL_ACCESS;

constexpr ::DWORD kRegSz = REG_SZ;

constexpr ::DWORD kDigcfPresent = DIGCF_PRESENT;
constexpr ::DWORD kSpdrpDeviceDesc = SPDRP_DEVICEDESC;
constexpr ::DWORD kSpdrpHardwareId = SPDRP_HARDWAREID;
constexpr ::DWORD kSpdrpDriver = SPDRP_DRIVER;
constexpr ::DWORD kSpdrpMfg = SPDRP_MFG;
constexpr ::DWORD kSpdrpFriendlyName = SPDRP_FRIENDLYNAME;
constexpr ::DWORD kSpdrpLocationInformation = SPDRP_LOCATION_INFORMATION;

constexpr ::DWORD kFileShareRead = FILE_SHARE_READ;
constexpr ::DWORD kOpenExisting = OPEN_EXISTING;
constexpr ::DWORD kIoctlNdisQueryGlobalStats = IOCTL_NDIS_QUERY_GLOBAL_STATS;

constexpr int kSmServerR2 = SM_SERVERR2;
constexpr ::BYTE kVerNtWorkstation = VER_NT_WORKSTATION;
constexpr ::BYTE kVerNtServer = VER_NT_SERVER;

constexpr ::UINT kLmemFixed = LMEM_FIXED;
constexpr ::UINT kLmemZeroinit = LMEM_ZEROINIT;

// HKEY_LOCAL_MACHINE and INVALID_HANDLE_VALUE are pointer casts, which no
// constant expression can compare; host.h builds them from the same integers
// (0x80000002 and -1), and the PE tests run the program against the real API.

} // namespace sdk

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

#include "host/host.h"

// The seam's scalar types are the SDK's, bit for bit.
static_assert(sizeof(host::BYTE) == sizeof(::BYTE) && sizeof(host::WORD) == sizeof(::WORD) &&
                  sizeof(host::DWORD) == sizeof(::DWORD) && sizeof(host::LONG) == sizeof(::LONG) &&
                  sizeof(host::BOOL) == sizeof(::BOOL) && sizeof(host::UINT) == sizeof(::UINT) &&
                  sizeof(host::SIZE_T) == sizeof(::SIZE_T) && sizeof(host::HANDLE) == sizeof(::HANDLE),
              "seam scalar widths differ from the SDK's");
// HKEY points to a struct: the pointer's width is what is compared here.
static_assert(sizeof(host::HKEY) == sizeof(::HKEY), "seam key handle width"); // NOLINT(bugprone-sizeof-expression)
static_assert(sizeof(void *) == 4, "EdccaProvision.exe is a 32-bit program");

// Records passed by address: same size and same field offsets.
static_assert(sizeof(::GUID) == 16 && sizeof(host::GUID) == 16, "GUID is 16 bytes");
static_assert(offsetof(::GUID, Data4) == offsetof(host::GUID, Data4), "GUID layout");

static_assert(sizeof(::SP_DEVINFO_DATA) == 28 && sizeof(host::SP_DEVINFO_DATA) == 28,
              "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");
static_assert(offsetof(::SP_DEVINFO_DATA, ClassGuid) == offsetof(host::SP_DEVINFO_DATA, ClassGuid) &&
                  offsetof(::SP_DEVINFO_DATA, DevInst) == offsetof(host::SP_DEVINFO_DATA, DevInst) &&
                  offsetof(::SP_DEVINFO_DATA, Reserved) == offsetof(host::SP_DEVINFO_DATA, Reserved),
              "SP_DEVINFO_DATA layout");

static_assert(sizeof(::OSVERSIONINFOEXA) == 156 && sizeof(host::OSVERSIONINFOEXA) == 156,
              "OSVERSIONINFOEXA is 156 bytes");
static_assert(offsetof(::OSVERSIONINFOEXA, dwMajorVersion) == offsetof(host::OSVERSIONINFOEXA, dwMajorVersion) &&
                  offsetof(::OSVERSIONINFOEXA, dwMinorVersion) == offsetof(host::OSVERSIONINFOEXA, dwMinorVersion) &&
                  offsetof(::OSVERSIONINFOEXA, dwBuildNumber) == offsetof(host::OSVERSIONINFOEXA, dwBuildNumber) &&
                  offsetof(::OSVERSIONINFOEXA, dwPlatformId) == offsetof(host::OSVERSIONINFOEXA, dwPlatformId) &&
                  offsetof(::OSVERSIONINFOEXA, szCSDVersion) == offsetof(host::OSVERSIONINFOEXA, szCSDVersion) &&
                  offsetof(::OSVERSIONINFOEXA, wSuiteMask) == offsetof(host::OSVERSIONINFOEXA, wSuiteMask) &&
                  offsetof(::OSVERSIONINFOEXA, wProductType) == offsetof(host::OSVERSIONINFOEXA, wProductType),
              "OSVERSIONINFOEXA layout");

// Every constant of the seam carries the SDK's value.
static_assert(host::ERROR_SUCCESS == sdk::kErrorSuccess, "success");
static_assert(host::KEY_READ == sdk::kKeyRead && host::KEY_ALL_ACCESS == sdk::kKeyAllAccess, "registry access rights");
static_assert(host::REG_SZ == sdk::kRegSz, "registry value type");
static_assert(host::DIGCF_PRESENT == sdk::kDigcfPresent && host::SPDRP_DEVICEDESC == sdk::kSpdrpDeviceDesc &&
                  host::SPDRP_HARDWAREID == sdk::kSpdrpHardwareId && host::SPDRP_DRIVER == sdk::kSpdrpDriver &&
                  host::SPDRP_MFG == sdk::kSpdrpMfg && host::SPDRP_FRIENDLYNAME == sdk::kSpdrpFriendlyName &&
                  host::SPDRP_LOCATION_INFORMATION == sdk::kSpdrpLocationInformation,
              "SetupAPI values");
static_assert(host::FILE_SHARE_READ == sdk::kFileShareRead && host::OPEN_EXISTING == sdk::kOpenExisting &&
                  host::IOCTL_NDIS_QUERY_GLOBAL_STATS == sdk::kIoctlNdisQueryGlobalStats,
              "file and device I/O values");
static_assert(host::SM_SERVERR2 == sdk::kSmServerR2 && host::VER_NT_WORKSTATION == sdk::kVerNtWorkstation &&
                  host::VER_NT_SERVER == sdk::kVerNtServer,
              "version values");
static_assert(host::LMEM_FIXED == sdk::kLmemFixed && host::LMEM_ZEROINIT == sdk::kLmemZeroinit, "LocalAlloc flags");

namespace {

// Converts a seam key handle to the SDK's.
::HKEY ToSdk(host::HKEY key) { return reinterpret_cast<::HKEY>(key); }

// Converts a seam 32-bit word pointer to the SDK's DWORD pointer (unsigned int
// and unsigned long: same width, distinct C++ types).
::DWORD *ToSdk(host::DWORD *word) { return reinterpret_cast<::DWORD *>(word); }

} // namespace

namespace host {

LSTATUS RegOpenKeyExA(HKEY key, const char *subKey, DWORD options, DWORD samDesired, HKEY *result) {
    return ::RegOpenKeyExA(ToSdk(key), subKey, options, samDesired, reinterpret_cast<::HKEY *>(result));
}

LSTATUS RegQueryValueExA(HKEY key, const char *valueName, DWORD *reserved, DWORD *type, BYTE *data, DWORD *dataSize) {
    return ::RegQueryValueExA(ToSdk(key), valueName, ToSdk(reserved), ToSdk(type), data, ToSdk(dataSize));
}

LSTATUS RegSetValueExA(HKEY key, const char *valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize) {
    return ::RegSetValueExA(ToSdk(key), valueName, reserved, type, data, dataSize);
}

LSTATUS RegCloseKey(HKEY key) { return ::RegCloseKey(ToSdk(key)); }

BOOL SetupDiClassGuidsFromNameA(const char *className, GUID *classGuidList, DWORD classGuidListSize,
                                DWORD *requiredSize) {
    return ::SetupDiClassGuidsFromNameA(className, reinterpret_cast<::GUID *>(classGuidList), classGuidListSize,
                                        ToSdk(requiredSize));
}

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, const char *enumerator, void *parentWindow, DWORD flags) {
    return ::SetupDiGetClassDevsA(reinterpret_cast<const ::GUID *>(classGuid), enumerator,
                                  static_cast<::HWND>(parentWindow), flags);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, SP_DEVINFO_DATA *deviceInfoData) {
    return ::SetupDiEnumDeviceInfo(deviceInfoSet, memberIndex, reinterpret_cast<::SP_DEVINFO_DATA *>(deviceInfoData));
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, DWORD property,
                                       DWORD *propertyRegDataType, BYTE *propertyBuffer, DWORD propertyBufferSize,
                                       DWORD *requiredSize) {
    return ::SetupDiGetDeviceRegistryPropertyA(deviceInfoSet, reinterpret_cast<::SP_DEVINFO_DATA *>(deviceInfoData),
                                               property, ToSdk(propertyRegDataType), propertyBuffer, propertyBufferSize,
                                               ToSdk(requiredSize));
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) { return ::SetupDiDestroyDeviceInfoList(deviceInfoSet); }

HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode, void *securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileA(fileName, desiredAccess, shareMode, static_cast<::SECURITY_ATTRIBUTES *>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void *inBuffer, DWORD inBufferSize, void *outBuffer,
                     DWORD outBufferSize, DWORD *bytesReturned, void *overlapped) {
    return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                             ToSdk(bytesReturned), static_cast<::OVERLAPPED *>(overlapped));
}

BOOL CloseHandle(HANDLE object) { return ::CloseHandle(object); }

BOOL GetVersionExA(OSVERSIONINFOEXA *versionInformation) {
    return ::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA *>(versionInformation));
}

int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

void Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) { return ::LocalAlloc(flags, bytes); }

HLOCAL LocalFree(HLOCAL memory) { return ::LocalFree(memory); }

void ExitProcess(UINT exitCode) { ::ExitProcess(exitCode); }

// msvcrt's own stdout, _iob[1]: the stdout macro would call a MinGW wrapper
// (__acrt_iob_func) that brings its unwind table along.
void WriteStandardOutput(const char *text, SIZE_T length) { std::fwrite(text, 1, length, &_iob[1]); }

void FlushStandardOutput() { std::fflush(&_iob[1]); }

} // namespace host
