// observation.cpp - holding a run seen from outside to a scenario's
// expectations.

#include "judge/observation.h"

#include <algorithm>
#include <map>
#include <numeric>

#include <nlohmann/json.hpp>

#include "formats/reg_file.h"
#include "formats/scenario.h"
#include "judge/judge.h"
#include "machine/text.h"

namespace sim {

namespace {

using json = nlohmann::json;

// Takes what each attempt did, from the first (text, or a list of
// requests), and the late attempts. Returns it all joined, each late attempt
// repeating the one before it; a run still ends at 40 attempts.
template <typename Attempt> Attempt JoinLateAttempts(std::vector<Attempt> attempts, const std::map<int, int> &late) {
    for (auto it = late.rbegin(); it != late.rend(); ++it) {
        auto const attempt = static_cast<size_t>(it->first);
        if (attempt > 0 && attempt <= attempts.size()) {
            attempts.insert(attempts.begin() + static_cast<std::ptrdiff_t>(attempt), static_cast<size_t>(it->second),
                            attempts[attempt - 1]);
        }
    }
    attempts.resize(std::min(attempts.size(), static_cast<size_t>(kToolAttempts)));
    Attempt joined;
    for (const Attempt &attempt : attempts) {
        joined.insert(joined.end(), attempt.begin(), attempt.end());
    }
    return joined;
}

// The expectation of a run whose timed changes came late.
Expectation Delayed(Expectation expect, const std::map<int, int> &late) {
    if (expect.attempts) {
        *expect.attempts =
            std::min(kToolAttempts, std::accumulate(late.begin(), late.end(), *expect.attempts,
                                                    [](int sum, const auto &entry) { return sum + entry.second; }));
    }
    if (expect.standardOutput) {
        std::string head;
        std::string const body = JoinLateAttempts(SplitAttempts(*expect.standardOutput, &head), late);
        *expect.standardOutput = head + body;
    }
    return expect;
}

// The requests a run made, as an observation lists them: the words the
// caller put in the output buffer are compared up to the third, as far as
// the test driver under Wine records them.
constexpr size_t kComparedWords = 3;

std::string DescribeRequest(const DriverRequest &request) {
    std::string described = request.deviceName + " " + Hex(request.ioControlCode) + " " + Hex(request.oid) + " in " +
                            std::to_string(request.inSize) + " out " + std::to_string(request.outSize);
    for (size_t i = 0; i < request.prefilled.size() && i < kComparedWords; ++i) {
        described += (i == 0 ? " [" : " ") + Hex(request.prefilled[i]);
    }
    return described + (request.prefilled.empty() ? "" : "]");
}

// The simulated run's requests as a run whose changes came late makes them.
std::vector<std::string> DelayedRequests(const std::vector<DriverRequest> &requests, const std::map<int, int> &late) {
    std::vector<std::vector<std::string>> attempts;
    for (const DriverRequest &request : requests) {
        auto const attempt = static_cast<size_t>(request.atMs / kAttemptMs);
        if (attempt >= attempts.size()) {
            attempts.resize(attempt + 1);
        }
        attempts[attempt].push_back(DescribeRequest(request));
    }
    return JoinLateAttempts(std::move(attempts), late);
}

// Takes a JSON value. Returns whether it is an unsigned 32-bit number, then
// stored in *word.
bool ReadWord(const json &value, std::uint32_t *word) {
    if (!value.is_number_unsigned() || value.get<std::uint64_t>() > UINT32_MAX) {
        return false;
    }
    *word = static_cast<std::uint32_t>(value.get<std::uint64_t>());
    return true;
}

// Reads the observation's "lateAttempts": {"<attempt>": attempts late}, both
// within a run's 40 attempts. False with *error otherwise.
bool ReadLateAttempts(const json &object, std::map<int, int> *late, std::string *error) {
    bool good = object.is_object();
    for (auto it = object.begin(); good && it != object.end(); ++it) {
        const std::string &key = it.key();
        std::uint32_t attempts = 0;
        good = !key.empty() && key.size() <= 2 && key.find_first_not_of("0123456789") == std::string::npos &&
               std::stoi(key) < kToolAttempts && ReadWord(it.value(), &attempts) &&
               attempts <= static_cast<std::uint32_t>(kToolAttempts);
        if (good) {
            (*late)[std::stoi(key)] = static_cast<int>(attempts);
        }
    }
    if (!good) {
        *error = "observation: lateAttempts: expected {\"<attempt below 40>\": attempts late (at most 40)}";
    }
    return good;
}

// Reads the observation's "driverRequests": false with *error on a faulty entry.
bool ReadRequests(const json &list, std::vector<std::string> *requests, std::string *error) {
    if (!list.is_array()) {
        *error = "observation: driverRequests: expected a list";
        return false;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        const json &entry = list[i];
        DriverRequest request;
        bool good = entry.is_object() && entry.size() == 6 && entry.contains("device") && entry["device"].is_string() &&
                    entry.contains("prefilled") && entry["prefilled"].is_array();
        host::DWORD *fields[] = {&request.ioControlCode, &request.oid, &request.inSize, &request.outSize};
        const char *names[] = {"code", "oid", "inSize", "outSize"};
        for (size_t f = 0; good && f < 4; ++f) {
            good = entry.contains(names[f]) && ReadWord(entry[names[f]], fields[f]);
        }
        for (size_t w = 0; good && w < entry["prefilled"].size(); ++w) {
            good = ReadWord(entry["prefilled"][w], &request.prefilled.emplace_back());
        }
        if (!good) {
            *error = "observation: driverRequests[" + std::to_string(i) +
                     "]: expected {device, code, oid, inSize, outSize, prefilled: [words]}";
            return false;
        }
        request.deviceName = entry["device"].get<std::string>();
        requests->push_back(DescribeRequest(request));
    }
    return true;
}

// Reads a list of regedit exports (file paths, as "registryBefore" and
// "registryAfter" give them) into one registry: false with *error when the
// list, a file or its text is faulty.
bool ImportExports(const json &list, const char *field, Registry *registry, std::string *error) {
    bool good = list.is_array();
    for (size_t i = 0; good && i < list.size(); ++i) {
        std::string bytes;
        RegImportError importError;
        good = list[i].is_string() && ReadWholeFile(list[i].get<std::string>(), &bytes) &&
               ImportRegBytes(*registry, bytes, list[i].get<std::string>(), &importError);
        if (!good) {
            *error =
                std::string("observation: ") + field + "[" + std::to_string(i) + "]: " +
                (importError.message.empty() ? "expected the path of a readable .reg export" : importError.ToString());
        }
    }
    if (!list.is_array()) {
        *error = std::string("observation: ") + field + ": expected a list of .reg exports";
    }
    return good;
}

// The mismatch when the requests differ: both counts and the first request
// where they part.
Mismatch RequestMismatch(const std::vector<std::string> &wanted, const std::vector<std::string> &seen) {
    auto const at = static_cast<size_t>(std::mismatch(wanted.begin(), wanted.end(), seen.begin(), seen.end()).first -
                                        wanted.begin());
    return {RunPart::Requests, "driver requests differ: expected " + std::to_string(wanted.size()) + ", got " +
                                   std::to_string(seen.size()) + "; request " + std::to_string(at + 1) + " expected " +
                                   (at < wanted.size() ? wanted[at] : "none") + ", got " +
                                   (at < seen.size() ? seen[at] : "none")};
}

} // namespace

bool JudgeObservation(const Expectation &expect, const std::vector<DriverRequest> &simulatedRequests,
                      std::string_view observationText, std::vector<Mismatch> *mismatches, std::string *error,
                      std::vector<std::string> *attempts) {
    json observation = json::parse(observationText, nullptr, false);
    if (!observation.is_object()) {
        *error = "observation: not a JSON object";
        return false;
    }
    std::map<int, int> late;
    if (observation.contains("lateAttempts") && !ReadLateAttempts(observation["lateAttempts"], &late, error)) {
        return false;
    }
    std::vector<std::string> requests;
    bool const hasRequests = observation.contains("driverRequests");
    if (hasRequests && !ReadRequests(observation["driverRequests"], &requests, error)) {
        return false;
    }
    // The registry as exported before and after the run: its changes are
    // found as on the simulated host. Without exports nothing changed.
    Registry before;
    Registry after;
    if ((observation.contains("registryBefore") || observation.contains("registryAfter")) &&
        (!ImportExports(observation["registryBefore"], "registryBefore", &before, error) ||
         !ImportExports(observation["registryAfter"], "registryAfter", &after, error))) {
        return false;
    }
    for (const char *read : {"lateAttempts", "driverRequests", "registryBefore", "registryAfter"}) {
        observation.erase(read);
    }
    // The rest is the output and exit code, read as a scenario's expect block
    // reads them; the run's end, attempts and changes are found, not told.
    for (const auto &field : observation.items()) {
        if (field.key() != "stdout" && field.key() != "exitCode") {
            *error = "observation: " + field.key() + ": not a field of an observation";
            return false;
        }
    }
    Scenario seen;
    json const wrapped = {{"expect", observation}};
    if (!LoadScenarioText(wrapped.dump(), "observation", nullptr, &seen, error)) {
        return false;
    }
    ProcessOutcome outcome;
    outcome.exited = true;
    outcome.exitCode = seen.expect.exitCode.value_or(0);
    std::string const trace = seen.expect.standardOutput.value_or("");
    if (attempts != nullptr) {
        std::string head;
        *attempts = SplitAttempts(trace, &head);
    }
    *mismatches =
        CheckExpectations(Delayed(expect, late), SummarizeRun(trace, trace, outcome, DiffRegistries(before, after)));
    if (hasRequests) {
        std::vector<std::string> const wanted = DelayedRequests(simulatedRequests, late);
        if (requests != wanted) {
            mismatches->push_back(RequestMismatch(wanted, requests));
        }
    }
    return true;
}

} // namespace sim
