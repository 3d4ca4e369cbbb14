// host_extra.h - Windows names the simulated host and the tests speak beyond
// the seam.
//
// src/host/host.h declares only what the tool uses. The simulated host also
// answers with the other results Windows gives (error codes, GetLastError),
// and the tests name them; they are declared here, in the seam's namespace
// and with the SDK's values, so that a test reads as it would on Windows.

#pragma once

#include "kit/host/kit_host.h"

namespace host {

constexpr LONG ERROR_INVALID_FUNCTION = 1;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_NOT_SUPPORTED = 50;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_BAD_PATHNAME = 161;
constexpr LONG ERROR_NOACCESS = 998;
constexpr LONG ERROR_INVALID_FLAGS = 1004;
constexpr LONG ERROR_KEY_DELETED = 1018;
constexpr LONG ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr LONG ERROR_UNKNOWN_REVISION = 1305;
constexpr LONG ERROR_INVALID_USER_BUFFER = 1784;
constexpr LONG ERROR_INVALID_CLASS = static_cast<LONG>(0xE0000206U); // SetupAPI: no such class
constexpr LONG ERROR_INVALID_REG_PROPERTY = static_cast<LONG>(0xE0000209U);
constexpr LONG ERROR_NO_SUCH_DEVINST = static_cast<LONG>(0xE000020BU);

constexpr DWORD REG_QWORD = 11;

constexpr DWORD KEY_CREATE_SUB_KEY = 0x0004;
constexpr DWORD REG_CREATED_NEW_KEY = 1; // RegCreateKeyExA's dispositions
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

constexpr BYTE VER_NT_DOMAIN_CONTROLLER = 2;

// The error of the calling thread's last failed operation (kernel32).
DWORD GetLastError();

} // namespace host
