// host.h - the one seam between the tool's logic and the platform.
//
// Every operating-system call the tool makes goes through the functions
// declared here. They carry the Win32 names, argument order and meanings of
// the real API (8-bit "A" variants throughout). Two hosts implement them:
//   src/host/win32/  forwards each call to the real Windows API, no logic;
//   sim/             a simulated Windows machine for tests and the Linux demo.
// The tool's own sources include this header and never a platform header.
// It declares only what they use; the simulated host adds the further names
// its tests need (sim/machine/host_extra.h).

#pragma once

#include <cstddef>
#include <cstdint>

// The calling convention of Win32 functions (WINAPI): __stdcall on 32-bit
// Windows, the platform's own elsewhere.
#if defined(_WIN32) && defined(__i386__)
#define EDCCA_WINAPI __stdcall
#else
#define EDCCA_WINAPI
#endif

namespace host {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using LSTATUS = LONG;
using BOOL = int;
using UINT = unsigned int;
using CHAR = char;
using SIZE_T = std::size_t;

using HANDLE = void *;
using HDEVINFO = void *;
using HLOCAL = void *;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__ *;
struct HKEY__;
using HKEY = HKEY__ *;

// Predefined handles, with the values Windows gives them.
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<LONG>(0x80000002U)));
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// The one result the tool tells apart: success.
constexpr LONG ERROR_SUCCESS = 0;

// Registry access rights and value types.
constexpr DWORD KEY_READ = 0x20019;
constexpr DWORD KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_SZ = 1;

// Device-installation (SetupAPI) values.
constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD SPDRP_DEVICEDESC = 0x00000000;
constexpr DWORD SPDRP_HARDWAREID = 0x00000001;
constexpr DWORD SPDRP_DRIVER = 0x00000009;
constexpr DWORD SPDRP_MFG = 0x0000000B;
constexpr DWORD SPDRP_FRIENDLYNAME = 0x0000000C;
constexpr DWORD SPDRP_LOCATION_INFORMATION = 0x0000000D;

// File and device I/O values.
constexpr DWORD FILE_SHARE_READ = 0x00000001;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD IOCTL_NDIS_QUERY_GLOBAL_STATS = 0x00170002;

// Version and system metrics.
constexpr int SM_SERVERR2 = 89;
constexpr BYTE VER_NT_WORKSTATION = 1;
constexpr BYTE VER_NT_SERVER = 3;

// Local memory.
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

// Laid out as on 32-bit Windows, where Reserved (a ULONG_PTR) is 4 bytes.
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    DWORD Reserved;
};
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA is 28 bytes on 32-bit Windows");

struct OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
};
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA is 156 bytes");

// Registry (advapi32).
LSTATUS RegOpenKeyExA(HKEY key, const char *subKey, DWORD options, DWORD samDesired, HKEY *result);
LSTATUS RegQueryValueExA(HKEY key, const char *valueName, DWORD *reserved, DWORD *type, BYTE *data, DWORD *dataSize);
LSTATUS RegSetValueExA(HKEY key, const char *valueName, DWORD reserved, DWORD type, const BYTE *data, DWORD dataSize);
LSTATUS RegCloseKey(HKEY key);

// Device-information sets (setupapi).
BOOL SetupDiClassGuidsFromNameA(const char *className, GUID *classGuidList, DWORD classGuidListSize,
                                DWORD *requiredSize);
HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, const char *enumerator, void *parentWindow, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, SP_DEVINFO_DATA *deviceInfoData);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, DWORD property,
                                       DWORD *propertyRegDataType, BYTE *propertyBuffer, DWORD propertyBufferSize,
                                       DWORD *requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

// Device files and I/O control (kernel32).
HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode, void *securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void *inBuffer, DWORD inBufferSize, void *outBuffer,
                     DWORD outBufferSize, DWORD *bytesReturned, void *overlapped);
BOOL CloseHandle(HANDLE object);

// Version, timing, memory and process (kernel32, user32).
BOOL GetVersionExA(OSVERSIONINFOEXA *versionInformation);
int GetSystemMetrics(int index);
void Sleep(DWORD milliseconds);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL memory);
[[noreturn]] void ExitProcess(UINT exitCode);

// Standard output of the process (the C runtime's stdout on Windows).
void WriteStandardOutput(const char *text, SIZE_T length);
void FlushStandardOutput();

} // namespace host
