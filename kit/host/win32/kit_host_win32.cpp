// kit_host_win32.cpp - kit_host.h on real Windows.
//
// Each call is forwarded unchanged to the Win32 function of the same name;
// only the seam's types are converted to the SDK's, which describe the same
// 32-bit values (the assertions below hold the two sets of headers to it).
// host.h's own calls are forwarded by src/host/win32/host_win32.cpp.

#include <windows.h>
#include <setupapi.h>
#include <sddl.h>

#include <cstddef>

namespace sdk {

// The SDK defines these names as macros, which would rewrite the seam's own
// declarations of them; keep their values here and drop the macros before
// the seam's headers are read.

constexpr ::BOOL kTrue = TRUE;
constexpr ::BOOL kFalse = FALSE;
constexpr ::LONG kErrorFileNotFound = ERROR_FILE_NOT_FOUND;
constexpr ::LONG kErrorAccessDenied = ERROR_ACCESS_DENIED;
constexpr ::LONG kErrorInsufficientBuffer = ERROR_INSUFFICIENT_BUFFER;
constexpr ::LONG kErrorMoreData = ERROR_MORE_DATA;
constexpr ::LONG kErrorNoMoreItems = ERROR_NO_MORE_ITEMS;

constexpr ::DWORD kKeyQueryValue = KEY_QUERY_VALUE;
constexpr ::DWORD kKeySetValue = KEY_SET_VALUE;
constexpr ::DWORD kKeyEnumerateSubKeys = KEY_ENUMERATE_SUB_KEYS;
constexpr ::DWORD kKeyWrite = KEY_WRITE;
constexpr ::DWORD kReadControl = READ_CONTROL;
constexpr ::DWORD kRegOptionNonVolatile = REG_OPTION_NON_VOLATILE;

constexpr ::DWORD kOwnerSecurityInformation = OWNER_SECURITY_INFORMATION;
constexpr ::DWORD kGroupSecurityInformation = GROUP_SECURITY_INFORMATION;
constexpr ::DWORD kDaclSecurityInformation = DACL_SECURITY_INFORMATION;
constexpr ::DWORD kSddlRevision1 = SDDL_REVISION_1;

constexpr ::DWORD kRegNone = REG_NONE;
constexpr ::DWORD kRegExpandSz = REG_EXPAND_SZ;
constexpr ::DWORD kRegBinary = REG_BINARY;
constexpr ::DWORD kRegDword = REG_DWORD;
constexpr ::DWORD kRegMultiSz = REG_MULTI_SZ;

} // namespace sdk

#undef TRUE
#undef FALSE
#undef ERROR_SUCCESS
#undef ERROR_FILE_NOT_FOUND
#undef ERROR_ACCESS_DENIED
#undef ERROR_INSUFFICIENT_BUFFER
#undef ERROR_MORE_DATA
#undef ERROR_NO_MORE_ITEMS
#undef KEY_QUERY_VALUE
#undef KEY_SET_VALUE
#undef KEY_ENUMERATE_SUB_KEYS
#undef KEY_WRITE
#undef KEY_READ
#undef KEY_ALL_ACCESS
#undef READ_CONTROL
#undef REG_OPTION_NON_VOLATILE
#undef OWNER_SECURITY_INFORMATION
#undef GROUP_SECURITY_INFORMATION
#undef DACL_SECURITY_INFORMATION
#undef SDDL_REVISION_1
#undef REG_NONE
#undef REG_SZ
#undef REG_EXPAND_SZ
#undef REG_BINARY
#undef REG_DWORD
#undef REG_MULTI_SZ
#undef DIGCF_PRESENT
#undef SPDRP_DEVICEDESC
#undef SPDRP_HARDWAREID
#undef SPDRP_DRIVER
#undef SPDRP_MFG
#undef SPDRP_FRIENDLYNAME
#undef SPDRP_LOCATION_INFORMATION
#undef FILE_SHARE_READ
#undef OPEN_EXISTING
#undef SM_SERVERR2
#undef VER_NT_WORKSTATION
#undef VER_NT_SERVER
#undef LMEM_FIXED
#undef LMEM_ZEROINIT
#undef HKEY_LOCAL_MACHINE
#undef INVALID_HANDLE_VALUE

#include "kit/host/kit_host.h"

// Records passed by address: same size and field offsets.
static_assert(sizeof(::FILETIME) == sizeof(host::FILETIME) &&
                  offsetof(::FILETIME, dwHighDateTime) == offsetof(host::FILETIME, dwHighDateTime),
              "FILETIME layout");

// Every constant the kit's seam adds carries the SDK's value (host_win32.cpp
// holds host.h's own).
static_assert(host::TRUE == sdk::kTrue && host::FALSE == sdk::kFalse, "BOOL values");
static_assert(host::ERROR_FILE_NOT_FOUND == sdk::kErrorFileNotFound &&
                  host::ERROR_ACCESS_DENIED == sdk::kErrorAccessDenied &&
                  host::ERROR_INSUFFICIENT_BUFFER == sdk::kErrorInsufficientBuffer &&
                  host::ERROR_MORE_DATA == sdk::kErrorMoreData && host::ERROR_NO_MORE_ITEMS == sdk::kErrorNoMoreItems,
              "error codes");
static_assert(host::KEY_QUERY_VALUE == sdk::kKeyQueryValue && host::KEY_SET_VALUE == sdk::kKeySetValue &&
                  host::KEY_ENUMERATE_SUB_KEYS == sdk::kKeyEnumerateSubKeys && host::KEY_WRITE == sdk::kKeyWrite &&
                  host::READ_CONTROL == sdk::kReadControl &&
                  host::REG_OPTION_NON_VOLATILE == sdk::kRegOptionNonVolatile,
              "registry access rights and options");
static_assert(host::OWNER_SECURITY_INFORMATION == sdk::kOwnerSecurityInformation &&
                  host::GROUP_SECURITY_INFORMATION == sdk::kGroupSecurityInformation &&
                  host::DACL_SECURITY_INFORMATION == sdk::kDaclSecurityInformation &&
                  host::SDDL_REVISION_1 == sdk::kSddlRevision1,
              "security information");
static_assert(host::REG_NONE == sdk::kRegNone && host::REG_EXPAND_SZ == sdk::kRegExpandSz &&
                  host::REG_BINARY == sdk::kRegBinary && host::REG_DWORD == sdk::kRegDword &&
                  host::REG_MULTI_SZ == sdk::kRegMultiSz,
              "registry value types");

namespace {

// Converts a seam key handle to the SDK's.
::HKEY ToSdk(host::HKEY key) { return reinterpret_cast<::HKEY>(key); }

// Converts a seam 32-bit word pointer to the SDK's DWORD pointer (unsigned int
// and unsigned long: same width, distinct C++ types).
::DWORD *ToSdk(host::DWORD *word) { return reinterpret_cast<::DWORD *>(word); }

} // namespace

namespace host {

LSTATUS RegCreateKeyExA(HKEY key, const char *subKey, DWORD reserved, char *className, DWORD options, DWORD samDesired,
                        void *securityAttributes, HKEY *result, DWORD *disposition) {
    return ::RegCreateKeyExA(ToSdk(key), subKey, reserved, className, options, samDesired,
                             static_cast<::SECURITY_ATTRIBUTES *>(securityAttributes),
                             reinterpret_cast<::HKEY *>(result), ToSdk(disposition));
}

LSTATUS RegDeleteValueA(HKEY key, const char *valueName) { return ::RegDeleteValueA(ToSdk(key), valueName); }

LSTATUS RegDeleteKeyA(HKEY key, const char *subKey) { return ::RegDeleteKeyA(ToSdk(key), subKey); }

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char *name, DWORD *nameSize, DWORD *reserved, char *className,
                      DWORD *classNameSize, FILETIME *lastWriteTime) {
    return ::RegEnumKeyExA(ToSdk(key), index, name, ToSdk(nameSize), ToSdk(reserved), className, ToSdk(classNameSize),
                           reinterpret_cast<::FILETIME *>(lastWriteTime));
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, char *valueName, DWORD *valueNameSize, DWORD *reserved, DWORD *type,
                      BYTE *data, DWORD *dataSize) {
    return ::RegEnumValueA(ToSdk(key), index, valueName, ToSdk(valueNameSize), ToSdk(reserved), ToSdk(type), data,
                           ToSdk(dataSize));
}

LSTATUS RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                          DWORD *descriptorSize) {
    return ::RegGetKeySecurity(ToSdk(key), information, descriptor, ToSdk(descriptorSize));
}

BOOL ConvertSecurityDescriptorToStringSecurityDescriptorA(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION information, char **text,
                                                          DWORD *textLength) {
    return ::ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, revision, information, text,
                                                                  reinterpret_cast<::ULONG *>(textLength));
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, char *instanceId,
                                 DWORD instanceIdSize, DWORD *requiredSize) {
    return ::SetupDiGetDeviceInstanceIdA(deviceInfoSet, reinterpret_cast<::SP_DEVINFO_DATA *>(deviceInfoData),
                                         instanceId, instanceIdSize, ToSdk(requiredSize));
}

UINT GetACP() { return ::GetACP(); }

} // namespace host
