// machine_json.h - a scenario's machine as edcca-sim resolved it, as JSON,
// for the runner that sets up the same machine under Wine (tests/wine), so
// that scenarios and .reg files are read in one place only.
//
//   {"file", "description", "warnings": [text],
//    "version": {"major", "minor", "build", "platformId", "productType", "serverR2",
//                "getVersionFails", "csdVersion", "servicePackMajor", "servicePackMinor", "suiteMask"},
//    "registry": [{"key": path under HKLM, "values": [{"name", "type": n, "data": "31 00"}]}],
//    "devices": [{"instance": path below Enum, "present": [[from, until or null]]}],
//    "drivers": [{"device", "loaded": [[from, until or null]],
//                 "answers": {"0xFF0C0003": [{"at", "kind": "word"|"eeprom"|"fail", "word", "error",
//                                             "eeprom": [[offset, byte]], "answerBytes" (when short)}]}}],
//    "faults": [operation]}
//
// Every key of the registry is listed, parents first, in enumeration order.
// Key and value names are the registry's 8-bit text, one character per byte
// (U+0000 to U+00FF). A timeline lists the spans of presence: [[0, null]] is
// always, [] never.

#pragma once

#include <string>

#include "formats/scenario.h"

namespace sim {

std::string MachineJson(const Scenario &scenario);

// A registry alone, as the "registry" list above: for the runner to read
// what regedit exports from Wine without a .reg reader of its own.
std::string RegistryJson(const Registry &registry);

} // namespace sim
