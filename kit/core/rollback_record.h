// rollback_record.h - the records under HKLM\SYSTEM\EdccaProvision\Rollback:
// one REG_SZ value a driver key, named by its record name ("0007"), holding
// EDCCAEnable as it was before the kit's first run that could change it.
//
// The text of a record, written and read by kits 1.1 to 2.0:
//   "absent"                  no value
//   "REG_SZ <text>"           a string ending in its only NUL, without control
//                             characters (also "REG_EXPAND_SZ <text>")
//   "REG_DWORD 0x<hex>"       a 4-byte DWORD
//   "REG_BINARY <HEX>"        bytes as two upper-case hex digits each (read only; 1.x)
//   "hex(<type>):<hh>,<hh>"   any other type or data, byte for byte (type and
//                             bytes in hex, written in lower case)
// The data is copied, never interpreted: "%", quotes, "&" and "!" are text.

#pragma once

#include <cstddef>

#include "kit/core/kit_adapters.h"

namespace kit {

constexpr std::size_t kMostRecordBytes = 4 * kMostValueBytes; // hex(...) of the largest value, with NUL

// Takes a value and a buffer of kMostRecordBytes. Writes its record text.
// Returns 1, or 0 when the value is too large to be recorded.
int EncodeRecord(const RegistryValue &value, char *record);

// Takes a record text. Fills *value with the value it restores. Returns 1,
// or 0 (with *value absent) when the text is no record this kit can restore.
int DecodeRecord(const char *record, RegistryValue *value);

// Whether two values are the same type and bytes (or both absent).
bool SameValue(const RegistryValue &a, const RegistryValue &b);

// What the kit does with one adapter before the program runs.
enum class AheadAction {
    None,   // already recorded, holds the setting, or its driver key is missing
    Record, // write its record now: the run could change it
};
// Takes an adapter and whether a record exists for it. Returns the action.
AheadAction PlanAhead(const Adapter &adapter, bool recorded);

// What the kit does with a record it wrote ahead, once the program has run.
enum class AfterAction {
    Keep,   // the value changed: the record is what /uninstall puts back
    Remove, // the value is what it recorded: the run changed nothing there
};
// Takes the recorded value and the value now. Returns the action.
AfterAction PlanAfter(const RegistryValue &recorded, const RegistryValue &now);

// What /uninstall does with one record.
enum class RestoreAction {
    KeyGone,      // the driver key is gone: nothing to restore, the record goes
    RemoveValue,  // "absent": delete EDCCAEnable (nothing to do when it is absent already)
    SetValue,     // write the recorded value back
    Unrestorable, // the text is no record: kept, and the run fails
};
// Takes a record text and whether its driver key exists. Returns the action,
// with *value the value to set for SetValue.
RestoreAction PlanRestore(const char *record, bool driverKeyExists, RegistryValue *value);

constexpr std::size_t kMostKeyPathBytes = 2 * kMostNameBytes;

// Takes a record name and a buffer of kMostKeyPathBytes. Writes the driver
// key's path under HKLM: a name without a backslash ("0007", as kits 1.x
// wrote them) is an instance of the network class; "Class\<driver key name>"
// is that key below Control. Returns 1, or 0 for an empty or other name.
int MakeDriverKeyPath(const char *recordName, char *path);

} // namespace kit
