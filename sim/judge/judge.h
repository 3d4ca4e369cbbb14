// judge.h - holding a run of the tool to a scenario's expectations.
//
// A run is judged by what any host shows of it: the trace it wrote, how it
// ended (ExitProcess and its code, or the entry routine returning), and the
// registry changes it made. Runs on the simulated host and runs observed
// under Wine (observation.h) are summarised by the same routine.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/scenario.h"
#include "kit/core/run_account.h"
#include "machine/machine.h"
#include "machine/registry.h"

namespace sim {

constexpr int kToolAttempts = kit::kProgramAttempts; // the tool gives up after these
constexpr std::uint64_t kAttemptMs = 200;            // attempt n runs at 200 n ms

struct RunSummary {
    std::string trace; // standard output, every byte that arrived
    ProcessOutcome outcome;
    RunEnd end = RunEnd::Returned;
    int attempts = 0;
    std::vector<RegistryChange> changes;
    // Seen on the simulated host only.
    std::uint64_t virtualMs = 0;
    std::vector<std::string> leftOpen; // keys, handles, device sets, heap blocks still open
};

// The one account of a run's end and attempts: the attempts are those the
// run's account (kit::ReadRunAccount) reads in what the tool wrote
// (`written`: on the simulated host every byte it wrote, whether it arrived
// or was lost; seen from outside, the trace); a run that stored
// "EDCCAEnable" is Written, else one that did not exit Returned, else
// Exhausted after 40 attempts and Declined before.
RunSummary SummarizeRun(std::string trace, const std::string &written, const ProcessOutcome &outcome,
                        std::vector<RegistryChange> changes);
// A run on the simulated host: the same, with what the call log shows the
// tool wrote, the changes since `before`, the virtual time and what the
// process left open.
RunSummary SummarizeRun(const Machine &machine, const Registry &before, const ProcessOutcome &outcome);

// The trace cut before each attempt's first line (kit::FindAttemptStart);
// *head gets what came before.
std::vector<std::string> SplitAttempts(const std::string &trace, std::string *head);

// The first line (each with its "\n") in which two attempts differ: its
// number from 1, and each side's text of it (none where that side has no
// such line). Line 0 when the attempts are equal.
struct LineDifference {
    size_t line = 0;
    std::optional<std::string> recorded;
    std::optional<std::string> replayed;
};
LineDifference FindFirstDifference(const std::string &recorded, const std::string &replayed);

// The part of a run an expectation concerns, and its name in the judge's
// output ("stdout", "end", "attempts", "exitCode", "registry", "requests").
enum class RunPart { Stdout, End, Attempts, ExitCode, Registry, Requests };
const char *RunPartName(RunPart part);

// One expectation a run missed: the part of the run it concerns and a
// readable account of it.
struct Mismatch {
    RunPart part;
    std::string text;
};

// Compares a run with the expectations: one mismatch per expectation missed,
// none when everything expected was met.
std::vector<Mismatch> CheckExpectations(const Expectation &expect, const RunSummary &summary);

// Readable text of a registry change: "value set HKLM\...\0007 "EDCCAEnable" REG_SZ "1\x00" (2 bytes)".
std::string DescribeChange(const RegistryChange &change);
// Takes changes and what goes before each. Returns each described after
// `before`, or " none" for no change.
std::string ListChanges(const std::vector<RegistryChange> &changes, const char *before);

} // namespace sim
