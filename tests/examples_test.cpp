// The example scenarios in examples/, the scenarios of tests/scenarios that
// the Wine runner also runs, and the scenarios docs/scenario-format.md shows: each runs the tool on its simulated
// machine and must produce exactly what its "expect" block says (trace bytes,
// end, attempts, registry changes), leaving nothing open. Also the edcca-sim
// program's own exit codes and output on good and faulty scenario files.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "judge/observation.h"
#include "formats/scenario.h"
#include "runner/run_tool.h"

namespace {

namespace fs = std::filesystem;

// Takes nothing; returns the source tree's root.
fs::path SourceDir() { return fs::path(EDCCA_SOURCE_DIR); }

// Takes a file path; returns its bytes.
std::string ReadFileBytes(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

constexpr char kFormatDoc[] = "docs/scenario-format.md";

// Takes the text of the format's documentation; returns its ```json blocks.
std::vector<std::string> DocumentedScenarios(const std::string &doc) {
    std::vector<std::string> blocks;
    for (size_t at = doc.find("```json\n"); at != std::string::npos; at = doc.find("```json\n", at)) {
        at += 8;
        size_t const end = doc.find("```", at);
        blocks.push_back(doc.substr(at, end - at));
    }
    return blocks;
}

// Takes nothing; returns every examples/*.json and tests/scenarios/*.json
// (relative to the source tree), sorted, then each scenario of the format's
// documentation as "docs/scenario-format.md:<n>".
std::vector<std::string> ListExampleFiles() {
    std::vector<std::string> files;
    for (const char *folder : {"examples", "tests/scenarios"}) {
        std::error_code error;
        for (const fs::directory_entry &entry : fs::directory_iterator(SourceDir() / folder, error)) {
            if (entry.is_regular_file() && entry.path().extension() == ".json") {
                files.push_back((fs::path(folder) / entry.path().filename()).string());
            }
        }
    }
    std::sort(files.begin(), files.end());
    size_t const documented = DocumentedScenarios(ReadFileBytes(SourceDir() / kFormatDoc)).size();
    for (size_t n = 0; n < documented; ++n) {
        files.push_back(std::string(kFormatDoc) + ":" + std::to_string(n));
    }
    return files;
}

// Takes an example's file name; returns a test name GoogleTest accepts.
std::string NameTestAfterFile(const testing::TestParamInfo<std::string> &info) {
    std::string name = fs::path(info.param).stem().string() + fs::path(info.param).extension().string();
    for (char &c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return name;
}

// Takes an example's file name; returns its loaded scenario (test fails when
// it does not load). A documented scenario reads as a file of examples/ would.
sim::Scenario LoadExample(const std::string &file) {
    sim::Scenario scenario;
    std::string error;
    if (file.rfind(kFormatDoc, 0) == 0) {
        std::vector<std::string> const blocks = DocumentedScenarios(ReadFileBytes(SourceDir() / kFormatDoc));
        fs::path const examples = SourceDir() / "examples";
        sim::FileReader const reader = [&examples](const std::string &name, std::string *bytes) {
            *bytes = ReadFileBytes(examples / name);
            return fs::exists(examples / name);
        };
        EXPECT_TRUE(sim::LoadScenarioText(blocks.at(std::stoul(file.substr(file.find(':') + 1))), file, reader,
                                          &scenario, &error))
            << error;
        return scenario;
    }
    EXPECT_TRUE(sim::LoadScenarioFile((SourceDir() / file).string(), &scenario, &error)) << error;
    return scenario;
}

class ExampleScenario : public testing::TestWithParam<std::string> {};

TEST_P(ExampleScenario, RunMeetsEveryExpectationAndLeavesNothingOpen) {
    sim::Scenario const scenario = LoadExample(GetParam());
    if (HasFailure()) {
        return;
    }
    EXPECT_FALSE(scenario.description.empty()) << "an example says in one line what it shows";
    EXPECT_EQ(scenario.description.find('\n'), std::string::npos);
    // An example pins the whole observable effect, not a part of it; the
    // documentation's, kept short, at least how the run ends.
    if (GetParam().rfind(kFormatDoc, 0) != 0) {
        ASSERT_TRUE(scenario.expect.standardOutput.has_value()) << "expect.stdout missing";
        ASSERT_TRUE(scenario.expect.registryChanges.has_value()) << "expect.registryChanges missing";
    }
    ASSERT_TRUE(scenario.expect.end.has_value()) << "expect.end missing";
    ASSERT_TRUE(scenario.expect.attempts.has_value()) << "expect.attempts missing";

    sim::Machine machine;
    sim::BuildMachine(scenario, machine);
    sim::Registry const before = machine.registry.Clone();
    sim::ProcessOutcome const outcome = sim::RunTool(machine);
    sim::RunSummary const summary = sim::SummarizeRun(machine, before, outcome);

    for (const sim::Mismatch &mismatch : sim::CheckExpectations(scenario.expect, summary)) {
        ADD_FAILURE() << mismatch.text;
    }
    EXPECT_TRUE(outcome.exited) << "the tool ends through ExitProcess on every path";
    EXPECT_EQ(outcome.exitCode, 0U);
    for (const std::string &object : summary.leftOpen) {
        ADD_FAILURE() << "left open: " << object;
    }
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleScenario, testing::ValuesIn(ListExampleFiles()), NameTestAfterFile);

TEST(ExampleSet, ShowsEveryEndOfTheTool) {
    std::set<sim::RunEnd> ends;
    for (const std::string &file : ListExampleFiles()) {
        sim::Scenario const scenario = LoadExample(file);
        if (scenario.expect.end) {
            ends.insert(*scenario.expect.end);
        }
    }
    EXPECT_EQ(ends, (std::set<sim::RunEnd>{sim::RunEnd::Written, sim::RunEnd::Declined, sim::RunEnd::Exhausted}));
}

// --- the judge of runs observed elsewhere (under Wine) ----------------------

// The driver requests of a scenario's run on the simulated host.
std::vector<sim::DriverRequest> SimulatedRequests(const char *file) {
    sim::Machine machine;
    sim::BuildMachine(LoadExample(file), machine);
    sim::RunTool(machine);
    return machine.requests;
}

// Requests in an observation's form.
nlohmann::json AsObserved(const std::vector<sim::DriverRequest> &requests) {
    nlohmann::json list = nlohmann::json::array();
    for (const sim::DriverRequest &r : requests)
        list.push_back({{"device", r.deviceName},
                        {"code", r.ioControlCode},
                        {"oid", r.oid},
                        {"inSize", r.inSize},
                        {"outSize", r.outSize},
                        {"prefilled", r.prefilled}});
    return list;
}

// An observation made of a scenario's own expectations, late by `late`, with
// the driver requests given (none: not observed).
std::vector<sim::Mismatch> JudgeAgainst(const char *file, const std::string &stdoutText, const nlohmann::json &late,
                                      bool withChanges = true, const nlohmann::json &requests = nullptr) {
    std::ifstream in(SourceDir() / file);
    nlohmann::json const raw = nlohmann::json::parse(in);
    nlohmann::json observation = {{"stdout", stdoutText}, {"exitCode", 0}, {"lateAttempts", late}};
    observation["registryChanges"] = withChanges ? raw["expect"]["registryChanges"] : nlohmann::json::array();
    std::vector<sim::DriverRequest> simulated;
    if (!requests.is_null()) {
        observation["driverRequests"] = requests;
        simulated = SimulatedRequests(file);
    }
    std::vector<sim::Mismatch> mismatches;
    std::string error;
    EXPECT_TRUE(sim::JudgeObservation(LoadExample(file).expect, simulated, observation.dump(), &mismatches, &error))
        << error;
    return mismatches;
}

TEST(Judge, HoldsARunSeenElsewhereToTheScenarioWithItsLateChanges) {
    const char *file = "examples/plugged-in-late.json";
    std::string const onTime = *LoadExample(file).expect.standardOutput;
    // The adapter, due at the 5th attempt (index 4), appeared one attempt
    // late: one more attempt finds no adapter, as the first four did.
    std::string const noAdapter = onTime.substr(0, onTime.find("--> DetectAdapter()", 1));
    std::string const late = noAdapter + onTime;
    EXPECT_TRUE(JudgeAgainst(file, onTime, nlohmann::json::object()).empty());
    EXPECT_TRUE(JudgeAgainst(file, late, {{"4", 1}}).empty());
    EXPECT_EQ(JudgeAgainst(file, late, nlohmann::json::object()).size(), 2U);          // output and attempts
    EXPECT_EQ(JudgeAgainst(file, onTime, {{"4", 1}}).size(), 2U);                      // found before the adapter came
    EXPECT_EQ(JudgeAgainst(file, onTime, nlohmann::json::object(), false).size(), 2U); // nothing written
}

// The requests must be those of the simulated run, in order, with a late
// attempt's requests repeated as its trace is.
TEST(Judge, HoldsTheDriverRequestsToTheSimulatedRun) {
    const char *file = "examples/region-query-fails-then-answers.json"; // EEPROM and region at each of 4 attempts
    nlohmann::json const own = AsObserved(SimulatedRequests(file));
    ASSERT_EQ(own.size(), 8U);
    nlohmann::json shortened = own, refilled = own, late = own;
    shortened.erase(shortened.size() - 1);
    refilled[0]["prefilled"][0] = 4;
    late.insert(late.begin() + 6, own.begin() + 4, own.begin() + 6); // attempt 2 once more
    auto const requestMismatches = [&](const nlohmann::json &requests, const nlohmann::json &lateAttempts) {
        std::vector<sim::Mismatch> const all = JudgeAgainst(file, "", lateAttempts, true, requests);
        return std::count_if(all.begin(), all.end(), [](const sim::Mismatch &m) { return m.part == "requests"; });
    };
    EXPECT_EQ(requestMismatches(own, nlohmann::json::object()), 0);
    EXPECT_EQ(requestMismatches(shortened, nlohmann::json::object()), 1);
    EXPECT_EQ(requestMismatches(refilled, nlohmann::json::object()), 1);
    EXPECT_EQ(requestMismatches(late, {{"3", 1}}), 0);
    EXPECT_EQ(requestMismatches(own, {{"3", 1}}), 1);
}

// An observation the judge cannot read is refused, never half-read: late
// attempts within a run's 40, requests of the form the runner writes.
TEST(Judge, RefusesAFaultyObservation) {
    std::string const request = R"({"device": "d", "code": 1, "oid": 1, "inSize": 4, "outSize": 4, "prefilled": )";
    struct Row {
        std::string observation;
        bool read;
    } const rows[] = {
        {.observation = R"({"lateAttempts": {"39": 40}})", .read = true},
        {.observation = R"({"lateAttempts": []})", .read = false},
        {.observation = R"({"lateAttempts": {"x": 1}})", .read = false},
        {.observation = R"({"lateAttempts": {"40": 1}})", .read = false},
        {.observation = R"({"lateAttempts": {"3": 41}})", .read = false},
        {.observation = R"({"lateAttempts": {"3": -1}})", .read = false},
        {.observation = R"({"driverRequests": {}})", .read = false},
        {.observation = R"({"driverRequests": [)" + request + "[4294967295]}]}", .read = true},
        {.observation = R"({"driverRequests": [)" + request + "[4294967296]}]}", .read = false},
        {.observation = R"({"driverRequests": [)" + request + R"(["x"]}]})", .read = false},
    };
    for (const Row &row : rows) {
        std::vector<sim::Mismatch> mismatches;
        std::string error;
        EXPECT_EQ(sim::JudgeObservation(sim::Expectation{}, {}, row.observation, &mismatches, &error), row.read)
            << row.observation << " " << error;
    }
}

// --- the edcca-sim program -------------------------------------------------

struct ProgramRun {
    int exitCode = -1;
    std::string standardOutput;
    std::string standardError;
};

// Runs the edcca-sim the build made beside this test on one argument.
ProgramRun RunSimProgram(const fs::path &argument, const fs::path &dir) {
    std::string const out = (dir / "edcca-sim.out").string();
    std::string const err = (dir / "edcca-sim.err").string();
    std::string const command =
        std::string("'") + EDCCA_SIM_PROGRAM + "' '" + argument.string() + "' >'" + out + "' 2>'" + err + "'";
    int const status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileBytes(out), ReadFileBytes(err)};
}

// edcca-sim streams exactly the tool's trace and exits 0 when the
// expectations are met, 1 when not (the tool's own code is always 0), and 2,
// running nothing, on a scenario it cannot load.
TEST(SimProgram, StreamsTheTraceAndExitsByTheExpectations) {
    // One folder per test process: CTest runs the tests of this file side by side.
    fs::path const dir = fs::path(testing::TempDir()) / ("edcca-sim-" + std::to_string(getpid()));
    fs::create_directories(dir / "folder.json");
    std::ofstream(dir / "no-reg.json") << R"({"registry": ["nowhere.reg"]})";
    std::ofstream(dir / "lost-output.json")
        << R"({"faults": [{"operation": "WriteStandardOutput", "error": "ERROR_INVALID_HANDLE"}],
               "expect": {"stdout": "", "end": "Exhausted", "attempts": 40}})";
    struct Row {
        fs::path scenario;
        int exitCode;
        const char *traceOf = nullptr; // the example whose expected trace the run writes; none: nothing arrives
        std::vector<std::string> report;
    } const rows[] = {
        {.scenario = SourceDir() / "examples/exhausted-no-adapter.json",
         .exitCode = 0,
         .traceOf = "examples/exhausted-no-adapter.json",
         .report = {"attempts: 40\nvirtual time: 8000 ms\n", "expectations: met"}},
        {.scenario = SourceDir() / "tests/wine/mismatch.json",
         .exitCode = 1,
         .traceOf = "examples/written-region-1.json",
         .report = {"expectations: NOT met"}},
        // Its trace lost, as when standard output is closed or full: the
        // attempts and the end are those the tool made.
        {.scenario = dir / "lost-output.json", .exitCode = 0, .report = {"attempts: 40\n", "expectations: met"}},
        {.scenario = dir / "absent.json", .exitCode = 2, .report = {"absent.json: cannot read the scenario file"}},
        {.scenario = dir / "folder.json", .exitCode = 2, .report = {"folder.json: a directory, not a scenario file"}},
        {.scenario = dir / "no-reg.json",
         .exitCode = 2,
         .report = {"no-reg.json: registry[0]: cannot read registry file \"nowhere.reg\""}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.scenario.string());
        ProgramRun const run = RunSimProgram(row.scenario, dir);
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.standardOutput, row.traceOf ? LoadExample(row.traceOf).expect.standardOutput.value_or("?") : "");
        for (const std::string &part : row.report)
            EXPECT_NE(run.standardError.find(part), std::string::npos) << part << " in " << run.standardError;
    }
}

} // namespace
