// observation.cpp - holding a run seen from outside to a scenario's
// expectations.

#include "observation.h"

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "host_extra.h"

namespace sim {

namespace {

using json = nlohmann::json;

constexpr std::string_view kAttemptStart = "--> DetectAdapter()\n";
constexpr int kAttempts = 40;

// The trace cut before each attempt's first line.
std::vector<std::string> SplitAttempts(const std::string &trace, std::string *head) {
    std::vector<std::string> attempts;
    size_t at = trace.find(kAttemptStart);
    *head = trace.substr(0, at);
    while (at != std::string::npos) {
        size_t const next = trace.find(kAttemptStart, at + kAttemptStart.size());
        attempts.push_back(trace.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return attempts;
}

// The expectation of a run whose timed changes came late: each late attempt
// repeats the one before it; the run still ends at 40 attempts.
Expectation Delayed(Expectation expect, const std::map<int, int> &late) {
    int added = 0;
    for (const auto &entry : late)
        added += entry.second;
    if (expect.attempts)
        *expect.attempts = std::min(kAttempts, *expect.attempts + added);
    if (expect.standardOutput) {
        std::string head;
        std::vector<std::string> attempts = SplitAttempts(*expect.standardOutput, &head);
        for (auto it = late.rbegin(); it != late.rend(); ++it) {
            auto const attempt = static_cast<size_t>(it->first);
            if (attempt > 0 && attempt <= attempts.size())
                attempts.insert(attempts.begin() + static_cast<std::ptrdiff_t>(attempt),
                                static_cast<size_t>(it->second), attempts[attempt - 1]);
        }
        attempts.resize(std::min(attempts.size(), static_cast<size_t>(kAttempts)));
        *expect.standardOutput = head;
        for (const std::string &attempt : attempts)
            *expect.standardOutput += attempt;
    }
    return expect;
}

// A run's summary from its trace and registry changes, as SummarizeRun
// derives it from the simulated host's call log.
RunSummary Summarize(const Expectation &seen) {
    RunSummary summary;
    summary.outcome.exited = true;
    summary.outcome.exitCode = seen.exitCode.value_or(0);
    summary.changes = seen.registryChanges.value_or(std::vector<RegistryChange>{});
    std::string head;
    summary.attempts = static_cast<int>(SplitAttempts(seen.standardOutput.value_or(""), &head).size());
    bool written = false;
    for (const RegistryChange &change : summary.changes)
        written = written ||
                  (change.kind == RegistryChange::Kind::ValueSet && EqualsIgnoreCase(change.valueName, "EDCCAEnable"));
    summary.end = written ? RunEnd::Written : summary.attempts >= kAttempts ? RunEnd::Exhausted : RunEnd::Declined;
    return summary;
}

} // namespace

bool JudgeObservation(const Expectation &expect, std::string_view observationText, std::vector<std::string> *mismatches,
                      std::string *error) {
    json observation = json::parse(observationText, nullptr, false);
    if (!observation.is_object()) {
        *error = "observation: not a JSON object";
        return false;
    }
    std::map<int, int> late;
    if (observation.contains("lateAttempts")) {
        for (const auto &entry : observation["lateAttempts"].items())
            late[std::stoi(entry.key())] = entry.value().get<int>();
        observation.erase("lateAttempts");
    }
    // The rest reads as a scenario's expect block reads.
    Scenario seen;
    json const wrapped = {{"expect", observation}};
    if (!LoadScenarioText(wrapped.dump(), "observation", nullptr, &seen, error))
        return false;
    Machine machine;
    machine.standardOutput = seen.expect.standardOutput.value_or("");
    *mismatches = CheckExpectations(Delayed(expect, late), Summarize(seen.expect), machine);
    return true;
}

} // namespace sim
