// host_extra.h - Windows names the simulated host and the tests speak beyond
// the seam.
//
// src/host/host.h declares only what the tool uses. The simulated host also
// answers with the other results Windows gives (error codes, GetLastError),
// and the tests name them; they are declared here, in the seam's namespace
// and with the SDK's values, so that a test reads as it would on Windows.

#pragma once

#include "host/host.h"

namespace host {

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_INSUFFICIENT_BUFFER = 122;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_MORE_DATA = 234;
constexpr LONG ERROR_NO_MORE_ITEMS = 259;
constexpr LONG ERROR_NOACCESS = 998;
constexpr LONG ERROR_INVALID_FLAGS = 1004;
constexpr LONG ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr LONG ERROR_INVALID_USER_BUFFER = 1784;
constexpr LONG ERROR_INVALID_CLASS = static_cast<LONG>(0xE0000206U); // SetupAPI: no such class
constexpr LONG ERROR_INVALID_REG_PROPERTY = static_cast<LONG>(0xE0000209U);
constexpr LONG ERROR_NO_SUCH_DEVINST = static_cast<LONG>(0xE000020BU);

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_SET_VALUE = 0x0002;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr BYTE VER_NT_DOMAIN_CONTROLLER = 2;

// The error of the calling thread's last failed operation (kernel32).
DWORD GetLastError();

} // namespace host
