// The example scenarios in examples/, the scenarios of tests/scenarios that
// the Wine runner also runs, and the scenarios docs/scenario-format.md shows: each runs the tool on its simulated
// machine and must produce exactly what its "expect" block says (trace bytes,
// end, attempts, registry changes), leaving nothing open. Also the edcca-sim
// program's own exit codes and output on good and faulty scenario files, and
// what the Wine runner reads from it (--machine-json, --reg-json, --judge).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "judge/observation.h"
#include "formats/machine_json.h"
#include "formats/reg_file.h"
#include "formats/scenario.h"
#include "runner/run_tool.h"
#include "support/tool_machine.h"

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
    std::vector<std::string> files = support::ListScenarioFiles();
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
        EXPECT_TRUE(sim::LoadScenarioText(blocks.at(std::stoul(file.substr(file.find(':') + 1))), file,
                                          sim::FilesIn((SourceDir() / "examples").string()), &scenario, &error))
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
    // Standard output is flushed whole once, then the process exits.
    EXPECT_EQ(machine.flushes, std::vector<size_t>(2, machine.standardOutput.size()));
    ASSERT_GE(machine.calls.size(), 2U);
    EXPECT_EQ(machine.calls[machine.calls.size() - 2].operation, sim::Operation::FlushStandardOutput);
    EXPECT_EQ(machine.calls.back().operation, sim::Operation::ExitProcess);
    // A 200 ms pause after each attempt but one that wrote or declined.
    size_t const pauses = static_cast<size_t>(summary.attempts) - (summary.end == sim::RunEnd::Exhausted ? 0 : 1);
    EXPECT_EQ(machine.CountCalls(sim::Operation::Sleep), pauses);
    EXPECT_EQ(outcome.endedAtMs, sim::kAttemptMs * pauses);
    for (const sim::Fault &fault : scenario.faults) { // each fault made its call fail
        EXPECT_GT(support::CountFailedCalls(machine, fault), 0U) << sim::OperationName(fault.operation);
    }
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

// Takes nothing; returns a folder of this test process's own (CTest runs
// the tests of this file side by side).
fs::path ScratchDir() {
    fs::path dir = fs::path(testing::TempDir()) / ("edcca-sim-" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir;
}

// Takes a name as edcca-sim's registry JSON gives it (one character per
// byte); returns its bytes.
std::string BytesOf(const std::string &utf8) {
    std::string text;
    for (size_t i = 0; i < utf8.size(); ++i) {
        auto const c = static_cast<unsigned char>(utf8[i]);
        text += static_cast<char>(c < 0x80 ? c : (c & 0x03) << 6 | (utf8[++i] & 0x3F));
    }
    return text;
}

// Takes a registry and a file name; writes the registry to that file of the
// scratch folder as a regedit export, every value as hex(type):. Returns its path.
std::string ExportRegistry(const sim::Registry &registry, const std::string &name) {
    std::ostringstream text("REGEDIT4\n", std::ios::ate);
    for (const nlohmann::json &key : nlohmann::json::parse(sim::RegistryJson(registry))) {
        text << "\n[HKEY_LOCAL_MACHINE\\" << BytesOf(key["key"]) << "]\n";
        for (const nlohmann::json &value : key["values"]) {
            std::string data = value["data"], valueName = BytesOf(value["name"]);
            std::replace(data.begin(), data.end(), ' ', ',');
            text << (valueName.empty() ? "@" : '"' + valueName + '"') << "=hex(" << std::hex
                 << value["type"].get<unsigned>() << "):" << data << "\n";
        }
    }
    std::ofstream(ScratchDir() / name, std::ios::binary) << text.str();
    return (ScratchDir() / name).string();
}

// Requests in an observation's form.
nlohmann::json AsObserved(const std::vector<sim::DriverRequest> &requests) {
    nlohmann::json list = nlohmann::json::array();
    for (const sim::DriverRequest &r : requests) {
        list.push_back({{"device", r.deviceName},
                        {"code", r.ioControlCode},
                        {"oid", r.oid},
                        {"inSize", r.inSize},
                        {"outSize", r.outSize},
                        {"prefilled", r.prefilled}});
    }
    return list;
}

// An observation of a scenario's run with the given trace, late by `late`:
// the registry exported before and after its run here (withChanges false:
// after as before), with the driver requests given (none: not observed).
std::vector<sim::Mismatch> JudgeAgainst(const char *file, const std::string &stdoutText, const nlohmann::json &late,
                                        bool withChanges = true, const nlohmann::json &requests = nullptr) {
    sim::Machine machine;
    sim::BuildMachine(LoadExample(file), machine);
    sim::Registry const before = machine.registry.Clone();
    sim::RunTool(machine);
    nlohmann::json observation = {{"stdout", stdoutText}, {"exitCode", 0}, {"lateAttempts", late}};
    observation["registryBefore"] = {ExportRegistry(before, "before.reg")};
    observation["registryAfter"] = {ExportRegistry(withChanges ? machine.registry : before, "after.reg")};
    std::vector<sim::DriverRequest> simulated;
    if (!requests.is_null()) {
        observation["driverRequests"] = requests;
        simulated = machine.requests;
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
    sim::Machine machine;
    sim::BuildMachine(LoadExample(file), machine);
    sim::RunTool(machine);
    nlohmann::json const own = AsObserved(machine.requests);
    ASSERT_EQ(own.size(), 8U);
    nlohmann::json shortened = own, refilled = own, late = own;
    shortened.erase(shortened.size() - 1);
    refilled[0]["prefilled"][0] = 4;
    late.insert(late.begin() + 6, own.begin() + 4, own.begin() + 6); // attempt 2 once more
    auto const requestMismatches = [&](const nlohmann::json &requests, const nlohmann::json &lateAttempts) {
        std::vector<sim::Mismatch> const all = JudgeAgainst(file, "", lateAttempts, true, requests);
        return std::count_if(all.begin(), all.end(),
                             [](const sim::Mismatch &m) { return m.part == sim::RunPart::Requests; });
    };
    EXPECT_EQ(requestMismatches(own, nlohmann::json::object()), 0);
    EXPECT_EQ(requestMismatches(shortened, nlohmann::json::object()), 1);
    EXPECT_EQ(requestMismatches(refilled, nlohmann::json::object()), 1);
    EXPECT_EQ(requestMismatches(late, {{"3", 1}}), 0);
    EXPECT_EQ(requestMismatches(own, {{"3", 1}}), 1);
}

// An observation is read as the runner writes it, the changes between its
// exports found in every form and held to a scenario's (hex, dword,
// deletions, keys added), and one the judge cannot read is refused, never
// half-read: late attempts within a run's 40, requests of the form the runner
// writes, no changes told instead of exported.
TEST(Judge, ReadsAnObservationOrRefusesIt) {
    std::string const request = R"({"device": "d", "code": 1, "oid": 1, "inSize": 4, "outSize": 4, "prefilled": )";
    std::string const exports = (ScratchDir() / "k").string();
    std::ofstream(exports + "0.reg")
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=\"x\"\n\"W\"=\"x\"\n[HKEY_LOCAL_MACHINE\\K\\L]\n";
    std::ofstream(exports + "1.reg")
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=hex:31,0a,ff\n\"X\"=dword:01020304\n[HKEY_LOCAL_MACHINE\\M]\n";
    struct Row {
        std::string observation;
        bool read;
        std::string changes = "[]"; // the scenario's expect.registryChanges it is held to
    } const rows[] = {
        {.observation = R"({"lateAttempts": {"39": 40}})", .read = true},
        {.observation = R"({"lateAttempts": []})", .read = false},
        {.observation = R"({"lateAttempts": {"x": 1}})", .read = false},
        {.observation = R"({"lateAttempts": {"40": 1}})", .read = false},
        {.observation = R"({"lateAttempts": {"3": 41}})", .read = false},
        {.observation = R"({"lateAttempts": {"3": -1}})", .read = false},
        {.observation = R"({"driverRequests": {}})", .read = false},
        {.observation = R"({"registryBefore": ["/nonexistent/before.reg"], "registryAfter": []})", .read = false},
        {.observation = R"({"driverRequests": [)" + request + "[4294967295]}]}", .read = true},
        {.observation = R"({"driverRequests": [)" + request + "[4294967296]}]}", .read = false},
        {.observation = R"({"driverRequests": [)" + request + R"(["x"]}]})", .read = false},
        {.observation =
             R"({"registryBefore": [")" + exports + R"(0.reg"], "registryAfter": [")" + exports + R"(1.reg"]})",
         .read = true,
         .changes = R"([{"key": "K", "value": "V", "type": 3, "hex": "31 0a ff"},
                        {"change": "valueDeleted", "key": "K", "value": "W"},
                        {"key": "K", "value": "X", "dword": "0x01020304"},
                        {"change": "keyDeleted", "key": "K\\L"}, {"change": "keyAdded", "key": "M"}])"},
        {.observation = "{}", .read = false, .changes = R"([{"key": "K", "value": "V", "hex": "31 0"}])"},
        {.observation = R"({"registryChanges": []})", .read = false},
    };
    for (const Row &row : rows) {
        sim::Scenario scenario;
        std::vector<sim::Mismatch> mismatches;
        std::string error;
        bool const read = sim::LoadScenarioText(R"({"expect": {"registryChanges": )" + row.changes + "}}", "x.json",
                                                nullptr, &scenario, &error) &&
                          sim::JudgeObservation(scenario.expect, {}, row.observation, &mismatches, &error);
        EXPECT_EQ(read, row.read) << row.observation << " " << error;
        for (const sim::Mismatch &mismatch : mismatches) {
            EXPECT_NE(mismatch.part, sim::RunPart::Registry) << mismatch.text;
        }
    }
}

// --- the edcca-sim program -------------------------------------------------

struct ProgramRun {
    int exitCode = -1;
    std::string standardOutput;
    std::string standardError;
};

// Runs the edcca-sim the build made beside this test on its arguments, as
// they are (no shell between), its output and errors into files.
ProgramRun RunSimProgram(const std::vector<std::string> &arguments) {
    std::string const out = (ScratchDir() / "edcca-sim.out").string();
    std::string const err = (ScratchDir() / "edcca-sim.err").string();
    std::vector<std::string> words = {EDCCA_SIM_PROGRAM};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    argv.reserve(words.size() + 1);
    for (std::string &word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    int status = 0;
    bool const ran =
        posix_spawn(&child, argv[0], &files, nullptr, argv.data(), environ) == 0 && waitpid(child, &status, 0) == child;
    posix_spawn_file_actions_destroy(&files);
    return {ran && WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFileBytes(out), ReadFileBytes(err)};
}

// edcca-sim streams exactly the tool's trace and exits 0 when the
// expectations are met, 1 when not (the tool's own code is always 0), and 2,
// running nothing, on a scenario it cannot load.
TEST(SimProgram, StreamsTheTraceAndExitsByTheExpectations) {
    fs::path const dir = ScratchDir();
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
        ProgramRun const run = RunSimProgram({row.scenario.string()});
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.standardOutput, row.traceOf ? LoadExample(row.traceOf).expect.standardOutput.value_or("?") : "");
        for (const std::string &part : row.report) {
            EXPECT_NE(run.standardError.find(part), std::string::npos) << part << " in " << run.standardError;
        }
    }
}

// --- what the Wine runner reads: --machine-json, --reg-json and --judge -----

// Takes edcca-sim's registry JSON; returns that registry (names one
// character per byte, data as hexadecimal bytes).
sim::Registry RegistryFromJson(const nlohmann::json &keys) {
    sim::Registry registry;
    for (const nlohmann::json &key : keys) {
        registry.CreateKey(BytesOf(key["key"]));
        for (const nlohmann::json &value : key["values"]) {
            std::vector<std::uint8_t> data;
            std::istringstream hex(value["data"].get<std::string>());
            for (unsigned byte = 0; hex >> std::hex >> byte;) {
                data.push_back(static_cast<std::uint8_t>(byte));
            }
            registry.SetValue(BytesOf(key["key"]), BytesOf(value["name"]), value["type"], data);
        }
    }
    return registry;
}

// Takes a timeline as the machine JSON lists it ([[from, until or null]]).
std::vector<sim::Interval> TimelineFromJson(const nlohmann::json &spans) {
    std::vector<sim::Interval> timeline = {sim::Interval{0, 0}}; // never, but for its spans
    for (const nlohmann::json &span : spans) {
        timeline.push_back({span[0], span[1].is_null() ? sim::kForever : span[1].get<std::uint64_t>()});
    }
    return timeline;
}

// Takes edcca-sim's machine JSON; sets the machine up from it alone, as the
// Wine runner sets up a prefix.
void BuildFromJson(const nlohmann::json &json, sim::Machine &machine) {
    const nlohmann::json &v = json["version"];
    machine.version = {
        v["major"],    v["minor"],           v["build"],      v["platformId"],       v["productType"],
        v["serverR2"], v["getVersionFails"], v["csdVersion"], v["servicePackMajor"], v["servicePackMinor"],
        v["suiteMask"]};
    machine.registry = RegistryFromJson(json["registry"]);
    for (const nlohmann::json &device : json["devices"]) {
        machine.presence[device["instance"]] = TimelineFromJson(device["present"]);
    }
    for (const nlohmann::json &listed : json["drivers"]) {
        sim::Driver &driver = machine.drivers.emplace_back();
        driver.deviceName = listed["device"];
        driver.loaded = TimelineFromJson(listed["loaded"]);
        for (const auto &[oid, answers] : listed["answers"].items()) {
            for (const nlohmann::json &a : answers) {
                sim::QueryAnswer &answer = driver.answers[std::stoul(oid, nullptr, 16)].emplace_back();
                answer = {a["at"],
                          a["kind"] == "word"     ? sim::QueryAnswer::Kind::Word
                          : a["kind"] == "eeprom" ? sim::QueryAnswer::Kind::Eeprom
                                                  : sim::QueryAnswer::Kind::Fail,
                          a["word"],
                          a["eeprom"].get<std::map<std::uint32_t, std::uint8_t>>(),
                          a["error"],
                          {}};
                if (a.contains("answerBytes")) {
                    answer.answerBytes = a["answerBytes"];
                }
            }
        }
    }
}

// Every scenario the Wine runner runs, as it runs them: the machine from
// --machine-json alone, a run on it, and the judge's verdict on what was
// observed (--judge): output, exit code, the registry exported before and
// after, driver requests. The machine of tests/wine/mismatch.json fails its
// expectations, in the parts the Wine runner checks it for.
TEST(WineRunnersReading, ScenarioThroughMachineJsonAndJudgeToAVerdict) {
    std::vector<std::string> files = {"tests/wine/mismatch.json"};
    for (const std::string &file : ListExampleFiles()) {
        if (file.rfind(kFormatDoc, 0) != 0) {
            files.push_back(file);
        }
    }
    for (const std::string &file : files) {
        SCOPED_TRACE(file);
        std::string const scenario = (SourceDir() / file).string();
        ProgramRun const described = RunSimProgram({"--machine-json", scenario});
        ASSERT_EQ(described.exitCode, 0) << described.standardError;
        nlohmann::json const machineJson = nlohmann::json::parse(described.standardOutput);
        if (!machineJson["faults"].empty()) {
            continue; // as under Wine, where faults cannot be shown
        }
        sim::Machine machine;
        BuildFromJson(machineJson, machine);
        sim::Registry const before = machine.registry.Clone();
        sim::ProcessOutcome const outcome = sim::RunTool(machine);
        nlohmann::json observation = {{"stdout", machine.standardOutput}, {"exitCode", outcome.exitCode}};
        observation["registryBefore"] = {ExportRegistry(before, "before.reg")};
        observation["registryAfter"] = {ExportRegistry(machine.registry, "after.reg")};
        observation["driverRequests"] = AsObserved(machine.requests);
        std::ofstream(ScratchDir() / "observation.json") << observation;
        ProgramRun const judged = RunSimProgram({"--judge", (ScratchDir() / "observation.json").string(), scenario});
        nlohmann::json const verdict = nlohmann::json::parse(judged.standardOutput);
        std::set<std::string> parts;
        for (const nlohmann::json &mismatch : verdict["mismatches"]) {
            parts.insert(mismatch["part"]);
        }
        bool const met = file != "tests/wine/mismatch.json";
        EXPECT_EQ(verdict["met"], met) << verdict.dump(1);
        EXPECT_EQ(judged.exitCode, met ? 0 : 1);
        EXPECT_EQ(parts, (met ? std::set<std::string>{} : std::set<std::string>{"stdout", "end", "registry"}));
    }
}

// Every .reg file of the examples and the reader's tests, read back from
// --reg-json, is the registry the file imports.
TEST(WineRunnersReading, RegFileThroughRegJsonToTheSameRegistry) {
    for (const char *folder : {"examples", "tests/data/reg"}) {
        for (const fs::directory_entry &entry : fs::directory_iterator(SourceDir() / folder)) {
            if (entry.path().extension() != ".reg") {
                continue;
            }
            SCOPED_TRACE(entry.path().string());
            sim::Registry imported;
            sim::RegImportError error;
            ASSERT_TRUE(sim::ImportRegBytes(imported, ReadFileBytes(entry.path()), entry.path().string(), &error));
            ProgramRun const run = RunSimProgram({"--reg-json", entry.path().string()});
            ASSERT_EQ(run.exitCode, 0) << run.standardError;
            sim::Registry const read = RegistryFromJson(nlohmann::json::parse(run.standardOutput));
            EXPECT_TRUE(sim::DiffRegistries(imported, read).empty());
            EXPECT_FALSE(imported.Root()->Subkeys().empty());
        }
    }
}

} // namespace
