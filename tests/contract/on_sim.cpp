// on_sim.cpp - the host-contract suite on the simulated host: the machine of
// machine.json, the suite run as a simulated process, and its end checked as
// the runner checks it under Wine.

#include <cstdio>
#include <cstdint>
#include <string>

#include "formats/scenario.h"
#include "harness.h"
#include "machine/machine.h"

namespace {

sim::Machine *active = nullptr;

} // namespace

namespace contract {

bool WindowsBehaviourChecked(const char *difference, const char *evidence) {
    NoteDifference(difference, evidence, true);
    return true;
}

void SetDevicePresent(const char *instance, bool present) {
    // An empty timeline means "always"; absence is a span that never begins.
    if (present) {
        active->presence.erase(instance);
    } else {
        active->presence[instance] = {sim::Interval{sim::kForever - 1, sim::kForever}};
    }
}

void SetWindowsVersion(host::DWORD major, host::DWORD minor, host::DWORD build, host::BYTE productType, int serverR2) {
    active->version.major = major;
    active->version.minor = minor;
    active->version.build = build;
    active->version.productType = productType;
    active->version.serverR2 = serverR2;
}

std::uint64_t ElapsedMs() { return active->nowMs; }

} // namespace contract

int main() {
    sim::Scenario scenario;
    std::string error;
    if (!sim::LoadScenarioFile(EDCCA_CONTRACT_MACHINE, &scenario, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    sim::Machine machine;
    sim::BuildMachine(scenario, machine);
    active = &machine;
    bool ranAfterExit = false;
    sim::ProcessOutcome const outcome = sim::RunProcess(machine, [&] {
        contract::RunAllAndExit("the simulated host");
        ranAfterExit = true;
    });
    std::fwrite(machine.standardOutput.data(), 1, machine.standardOutput.size(), stdout);
    // What the runner checks of the Windows build: the end through
    // ExitProcess with code 0, and the report flushed whole before it.
    bool const flushed = !machine.flushes.empty() && machine.flushes.back() == machine.standardOutput.size();
    if (!outcome.exited || ranAfterExit || !flushed) {
        std::printf("FAIL the process did not end through ExitProcess after flushing its report\n");
        return 1;
    }
    return static_cast<int>(outcome.exitCode);
}
