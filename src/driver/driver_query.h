// driver_query.h - NDIS query requests to the adapter's driver through the
// device file named by MacFileName.

#pragma once

#include <cstdint>

#include "host/host.h"

// Query identifiers: the older pair below version code 31, the newer from 31.
constexpr host::DWORD kOidEepromOlder = 0x0D710105;
constexpr host::DWORD kOidEepromNewer = 0xFF0C0008;
constexpr host::DWORD kOidCountryRegionOlder = 0x0D710107;
constexpr host::DWORD kOidCountryRegionNewer = 0xFF0C0003;
constexpr std::int32_t kNewerOidCode = 31;

// EEPROM request: request word 3 and the offset of the byte the tool reads.
constexpr host::DWORD kEepromReadRequest = 3;
constexpr host::DWORD kEepromOffset = 0x38;

// Takes a query identifier, the caller's output buffer (which carries input
// to the driver too) with its size, and a word for the count of bytes
// returned (set to 0 first). Opens MacFileName, sends the request and closes
// the file. Returns 1 when the driver answered, 0 otherwise.
int QueryOID(host::DWORD oid, void *outBuffer, host::DWORD outSize, host::DWORD *bytesReturned);

// Takes nothing. Asks for the EEPROM byte at offset 0x38, traces it and
// returns it (0 when the request failed).
std::uint8_t QueryEepromByte();

// Takes nothing. Asks for the country-region word, traces the region code
// (bits 8-14) and the companion code (bits 0-6), and returns the region code,
// 0 to 127 (0 when the request failed).
std::int32_t GetSupportCountryRegion();
