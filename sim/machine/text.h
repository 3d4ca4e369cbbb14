// text.h - readable text of Windows values, shared by the seam's call log,
// the scenario reader, the judge and edcca-sim's report.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "machine/host_extra.h"

namespace sim {

// Readable name of a Windows error code ("ERROR_FILE_NOT_FOUND"), or its number.
std::string ErrorName(host::LONG error);
// "0x0000001C"-style hexadecimal text.
std::string Hex(std::uint32_t value, int digits = 8);
// Text quoted and escaped for the call log; "NULL" for a null pointer.
std::string Quote(const char *text);
std::string QuoteBytes(const void *data, size_t length);
std::string GuidText(const host::GUID &guid);                // "{4D36E972-E325-11CE-BFC1-08002BE10318}"
bool ParseGuidText(std::string_view text, host::GUID *guid); // braces required, either case

bool IsStringType(host::DWORD type);    // REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ
std::string TypeText(host::DWORD type); // "REG_SZ", or "type 11"

} // namespace sim
