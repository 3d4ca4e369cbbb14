// judge.cpp - summarising a run and holding it to expectations.

#include "judge/judge.h"

#include <algorithm>
#include <iterator>

#include "kit/core/run_account.h"
#include "machine/text.h"

namespace sim {

const char *RunPartName(RunPart part) {
    static const char *const kNames[] = {"stdout", "end", "attempts", "exitCode", "registry", "requests"};
    static_assert(std::size(kNames) == static_cast<size_t>(RunPart::Requests) + 1);
    return kNames[static_cast<size_t>(part)];
}

std::vector<std::string> SplitAttempts(const std::string &trace, std::string *head) {
    std::vector<std::string> attempts;
    size_t at = kit::FindAttemptStart(trace.data(), trace.size(), 0);
    *head = trace.substr(0, at);
    while (at < trace.size()) {
        size_t const next = kit::FindAttemptStart(trace.data(), trace.size(), at + 1);
        attempts.push_back(trace.substr(at, next - at));
        at = next;
    }
    return attempts;
}

LineDifference FindFirstDifference(const std::string &recorded, const std::string &replayed) {
    // Takes a text and where its line starts. Returns the line with its "\n", or none past the end.
    auto lineAt = [](const std::string &text, size_t at) -> std::optional<std::string> {
        if (at >= text.size()) {
            return std::nullopt;
        }
        size_t const end = text.find('\n', at);
        return text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    };
    size_t at = 0;
    for (size_t line = 1; at < recorded.size() || at < replayed.size(); ++line) {
        std::optional<std::string> a = lineAt(recorded, at);
        std::optional<std::string> b = lineAt(replayed, at);
        if (a != b) {
            return {line, std::move(a), std::move(b)};
        }
        at += a->size();
    }
    return {};
}

RunSummary SummarizeRun(std::string trace, const std::string &written, const ProcessOutcome &outcome,
                        std::vector<RegistryChange> changes) {
    RunSummary summary;
    summary.trace = std::move(trace);
    summary.outcome = outcome;
    summary.changes = std::move(changes);
    kit::RunAccount account;
    kit::ReadRunAccount(written.data(), written.size(), &account);
    summary.attempts = account.attempts;
    bool const stored = std::any_of(summary.changes.begin(), summary.changes.end(), [](const RegistryChange &change) {
        return change.kind == RegistryChange::Kind::ValueSet && EqualsIgnoreCase(change.valueName, "EDCCAEnable");
    });
    summary.end = stored                              ? RunEnd::Written
                  : !outcome.exited                   ? RunEnd::Returned
                  : summary.attempts >= kToolAttempts ? RunEnd::Exhausted
                                                      : RunEnd::Declined;
    return summary;
}

RunSummary SummarizeRun(const Machine &machine, const Registry &before, const ProcessOutcome &outcome) {
    std::string written; // what the tool wrote, whether it arrived or was lost
    for (const CallRecord &call : machine.calls) {
        written += call.operation == Operation::WriteStandardOutput ? call.data : "";
    }
    RunSummary summary =
        SummarizeRun(machine.standardOutput, written, outcome, DiffRegistries(before, machine.registry));
    summary.virtualMs = machine.nowMs;
    summary.leftOpen = machine.OpenObjects();
    return summary;
}

std::string DescribeChange(const RegistryChange &change) {
    std::string const key = "HKLM\\" + change.keyPath;
    switch (change.kind) {
    case RegistryChange::Kind::KeyAdded:
        return "key added " + key;
    case RegistryChange::Kind::KeyDeleted:
        return "key deleted " + key;
    case RegistryChange::Kind::ValueDeleted:
        return "value deleted " + key + " \"" + change.valueName + "\"";
    case RegistryChange::Kind::ValueSet:
        break;
    }
    return "value set " + key + " \"" + change.valueName + "\" " + TypeName(change.type) + " " +
           QuoteBytes(change.data.data(), change.data.size()) + " (" + std::to_string(change.data.size()) + " bytes)";
}

std::string ListChanges(const std::vector<RegistryChange> &changes, const char *before) {
    std::string text = changes.empty() ? " none" : "";
    for (const RegistryChange &change : changes) {
        text += before + DescribeChange(change);
    }
    return text;
}

std::vector<Mismatch> CheckExpectations(const Expectation &expect, const RunSummary &summary) {
    std::vector<Mismatch> mismatches;
    if (expect.standardOutput && *expect.standardOutput != summary.trace) {
        mismatches.push_back(
            {RunPart::Stdout, "standard output differs: expected " +
                                  QuoteBytes(expect.standardOutput->data(), expect.standardOutput->size()) + ", got " +
                                  QuoteBytes(summary.trace.data(), summary.trace.size())});
    }
    if (expect.end && *expect.end != summary.end) {
        mismatches.push_back({RunPart::End, std::string("end: expected ") + RunEndName(*expect.end) + ", got " +
                                                RunEndName(summary.end)});
    }
    if (expect.attempts && *expect.attempts != summary.attempts) {
        mismatches.push_back({RunPart::Attempts, "attempts: expected " + std::to_string(*expect.attempts) + ", got " +
                                                     std::to_string(summary.attempts)});
    }
    if (expect.exitCode && (!summary.outcome.exited || *expect.exitCode != summary.outcome.exitCode)) {
        mismatches.push_back({RunPart::ExitCode, "exit code: expected " + std::to_string(*expect.exitCode) + ", got " +
                                                     (summary.outcome.exited ? std::to_string(summary.outcome.exitCode)
                                                                             : "none (the entry routine returned)")});
    }
    auto same = [](const RegistryChange &a, const RegistryChange &b) {
        return a.kind == b.kind && EqualsIgnoreCase(a.keyPath, b.keyPath) &&
               EqualsIgnoreCase(a.valueName, b.valueName) &&
               (a.kind != RegistryChange::Kind::ValueSet || (a.type == b.type && a.data == b.data));
    };
    const std::vector<RegistryChange> &wanted = expect.registryChanges ? *expect.registryChanges : summary.changes;
    if (!std::equal(wanted.begin(), wanted.end(), summary.changes.begin(), summary.changes.end(), same)) {
        mismatches.push_back({RunPart::Registry, "registry changes differ: expected" + ListChanges(wanted, "\n    ") +
                                                     "\n  got" + ListChanges(summary.changes, "\n    ")});
    }
    return mismatches;
}

} // namespace sim
