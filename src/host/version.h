// version.h - the running Windows reduced to one integer version code.
//
// Codes: 0 (major version below 4 or no version information), 1-5 (4.x),
// 11-29 (5.x), 31-54 (6.x and later). Callers compare the code with 11 (the
// registry layout of the network adapters) and 31 (the driver query
// identifiers). The code is built afresh at every call; nothing is cached.

#pragma once

#include <cstdint>

// Result of GetOSVersionCode for a major version below 4; also returned by
// GetAvailableAdapters when the network class cannot be looked up.
constexpr std::int32_t ZOWL_ERROR_UNKNOWN = -99;

// Takes nothing. Returns true when the machine-wide PROCESSOR_ARCHITECTURE
// in the registry is exactly "AMD64"; false otherwise and on every failure
// (each failure writes its trace text, without a line feed).
bool IsX64Platform();

// Takes the caller's code, which it always writes (0 first). Returns 1 when
// the code holds a classified version, or ZOWL_ERROR_UNKNOWN with the code 0
// when the major version is below 4 (or GetVersionExA filled nothing).
std::int32_t GetOSVersionCode(std::int32_t *code);
