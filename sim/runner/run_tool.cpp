// run_tool.cpp - starting the tool as a fresh simulated process.

#include "runner/run_tool.h"

#include <cstring>

#include "adapter/adapter_detection.h"
#include "control/main_cycle.h"

namespace sim {

void ResetToolState() {
    std::memset(MacFileName, 0, sizeof MacFileName);
    std::memset(DriverKeyPath, 0, sizeof DriverKeyPath);
}

ProcessOutcome RunTool(Machine &machine) {
    ResetToolState();
    return RunProcess(machine, [] {
        char commandLine[] = "";
        WinMain(nullptr, nullptr, commandLine, 0);
    });
}

ProcessOutcome RunToolAttempt(Machine &machine) {
    ResetToolState();
    return RunProcess(machine, [] { RunAttempt(); });
}

} // namespace sim
