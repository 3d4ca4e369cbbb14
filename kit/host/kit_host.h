// kit_host.h - the kit's seam: the registry, device and system calls of the
// kit's routines that run on both hosts (the adapters, rollback, marker,
// status and the collector). The tool's seam (host/host.h) declares the
// calls the program makes; this adds the kit's, with the same Win32 names,
// argument order and meanings. Two hosts implement it:
//   kit/host/win32/  forwards each call to the real Windows API, no logic;
//   sim/seam/        the simulated Windows machine.
// Processes, the lock, files and the clock are the shell's (kit/win32/).

#pragma once

#include "host/host.h"

namespace host {

using SECURITY_INFORMATION = DWORD;
using PSECURITY_DESCRIPTOR = void *;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_WRITE = 0x20006;
constexpr DWORD READ_CONTROL = 0x00020000;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;

constexpr SECURITY_INFORMATION OWNER_SECURITY_INFORMATION = 0x00000001;
constexpr SECURITY_INFORMATION GROUP_SECURITY_INFORMATION = 0x00000002;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x00000004;
constexpr DWORD SDDL_REVISION_1 = 1;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

// Registry (advapi32).
LSTATUS RegCreateKeyExA(HKEY key, const char *subKey, DWORD reserved, char *className, DWORD options, DWORD samDesired,
                        void *securityAttributes, HKEY *result, DWORD *disposition);
LSTATUS RegDeleteValueA(HKEY key, const char *valueName);
LSTATUS RegDeleteKeyA(HKEY key, const char *subKey);
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *nameSize, DWORD *reserved, char *className,
                      DWORD *classNameSize, FILETIME *lastWriteTime);
LSTATUS RegEnumValueA(HKEY key, DWORD index, char *valueName, DWORD *valueNameSize, DWORD *reserved, DWORD *type,
                      BYTE *data, DWORD *dataSize);
LSTATUS RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                          DWORD *descriptorSize);
BOOL ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION information, char **text,
                                                          DWORD *textLength);

// Device-information sets (setupapi).
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, char *instanceId,
                                 DWORD instanceIdSize, DWORD *requiredSize);

// The ANSI code page, in which every A call above speaks (kernel32).
UINT GetACP();

} // namespace host
