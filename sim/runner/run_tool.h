// run_tool.h - starting the tool as a fresh simulated process.

#pragma once

#include "machine/machine.h"

namespace sim {

// Takes nothing. Zeroes the tool's module-level state, as the loader zeroes
// static storage at a process start.
void ResetToolState();

// Takes a machine. Zeroes the tool's module-level state (ResetToolState) and
// runs the tool's entry routine on it. Returns how the process ended.
ProcessOutcome RunTool(Machine &machine);

// Takes a machine. Runs one attempt of the tool (RunAttempt) on it as a fresh
// process, without the waits and retries of the whole program. Returns how
// the process ended.
ProcessOutcome RunToolAttempt(Machine &machine);

} // namespace sim
