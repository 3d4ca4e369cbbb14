// fuzz_machine.h - a simulated machine built from the fuzzer's bytes.
//
// The machine's devices carry hardware IDs of any shape, properties of 0 to
// 300 bytes with and without NULs (or none), instance-key values of any type
// and length, drivers that answer anything, fail or answer short, version
// fields of any value, and at most one injected fault.

#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <string>

#include "machine/machine.h"

namespace fuzz {

constexpr char kNetClassGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
constexpr char kOlderNetRoot[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\";

// Takes a device's index. Returns its Enum key.
std::string DeviceKey(std::size_t index);

// Takes an instance part ("0007"). Returns the newer layout's instance key of the network class.
std::string NetInstanceKey(const std::string &instance);

// Takes the fuzzer's bytes and a fresh machine. Builds the machine from them.
// Returns the number of devices made (DeviceKey(0) on).
int ConsumeMachine(FuzzedDataProvider &in, sim::Machine &machine);

} // namespace fuzz
