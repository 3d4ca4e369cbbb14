// Scenario files: what the loader accepts and how it names what it refuses,
// machines built from scenarios, and whole runs of the tool checked against
// their expectations.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "formats/scenario.h"
#include "runner/run_tool.h"

namespace {

// Loads scenario text whose .reg files come from a fixed map.
bool Load(const std::string &json, sim::Scenario *scenario, std::string *error,
          const std::map<std::string, std::string> &files = {}) {
    sim::FileReader const reader = [&files](const std::string &name, std::string *bytes) {
        auto found = files.find(name);
        if (found == files.end()) {
            return false;
        }
        *bytes = found->second;
        return true;
    };
    return sim::LoadScenarioText(json, "x.json", reader, scenario, error);
}

TEST(ScenarioLoader, RefusesBadScenariosNamingFileAndField) {
    struct Case {
        const char *json;
        const char *message;
    } const cases[] = {
        {R"({"drivers": [{"device": "{G}", "loaded": [[0, 10], [20]]}]})",
         "x.json: drivers[0].loaded[1]: expected [from, until]"},
        {R"({"drivers": [{"device": "{G}", "loaded": [[30, 10]]}]})",
         "x.json: drivers[0].loaded[0]: until comes before from"},
        {R"({"drivers": [{"loaded": "always"}]})",
         "x.json: drivers[0].device: missing (the name behind \\\\.\\, e.g. \"{GUID}\")"},
        {R"({"drivers": [{"device": "{G}", "regionWord": "0x1G"}]})",
         "x.json: drivers[0].regionWord: expected a number (decimal, or hexadecimal text such as \"0x38\")"},
        {R"({"drivers": [{"device": "{G}", "regionWord": 1, "answers": {"0xFF0C0003": [{"word": 2}]}}]})",
         "x.json: drivers[0].answers.0xFF0C0003: identifier 0xFF0C0003 is given answers twice"},
        {R"({"drivers": [{"device": "{G}", "answers": {"0xFF0C0003": [{"word": 2, "fail": 31}]}}]})",
         "x.json: drivers[0].answers.0xFF0C0003[0]: expected exactly one of \"word\", \"eeprom\" or \"fail\""},
        {R"({"drivers": [{"device": "{G}", "eeprom": {"0x38": 256}}]})",
         "x.json: drivers[0].eeprom.0x38: number out of range (at most 255)"},
        {R"({"version": {"major": 6, "minr": 1}})", "x.json: version.minr: unknown field"},
        {R"({"faults": [{"operation": "Sleep", "error": 5}]})",
         "x.json: faults[0].operation: \"Sleep\" is not an operation that can fail"},
        {R"({"faults": [{"operation": "CreateFileA", "error": "ERROR_NOPE"}]})",
         "x.json: faults[0].error: unknown error name \"ERROR_NOPE\" (give its number instead)"},
        {R"({"faults": [{"operation": "CreateFileA", "error": 0}]})",
         "x.json: faults[0].error: an error must not be 0 (ERROR_SUCCESS)"},
        {R"({"presence": {"USB\\V\\1": "sometimes"}})",
         "x.json: presence.USB\\V\\1: expected \"always\", \"never\" or a list of [from, until] pairs"},
        {R"({"presence": {"USB\\V\\1": "never"}})",
         "x.json: presence.USB\\V\\1: no device instance of the machine (a key "
         "SYSTEM\\CurrentControlSet\\Enum\\<enumerator>\\<device>\\<instance> of the registry)"},
        {R"({"drivers": [{"device": "{G}"}, {"device": "{G}", "loaded": "never", "device": "{H}"}]})",
         "x.json: drivers[1].device: given twice"},
        {R"({"registry": ["missing.reg"]})", "x.json: registry[0]: cannot read registry file \"missing.reg\""},
        {R"({"expect": {"end": "Finished"}})",
         "x.json: expect.end: expected \"Written\", \"Declined\", \"Exhausted\" or \"Returned\""},
        {R"({"description": "two\nlines"})", "x.json: description: expected one line"},
        {R"([1, 2])", "x.json: expected an object"},
    };
    for (const auto &c : cases) {
        sim::Scenario scenario;
        std::string error;
        EXPECT_FALSE(Load(c.json, &scenario, &error)) << c.json;
        EXPECT_EQ(error, c.message) << c.json;
    }
    sim::Scenario scenario;
    std::string error;
    for (const char *text : {"{\"version\": ", "{\"version\": {\"minor\": 9E999}}"}) {
        EXPECT_FALSE(Load(text, &scenario, &error));
        EXPECT_EQ(error.rfind("x.json: not valid JSON: ", 0), 0U) << error;
    }
    EXPECT_FALSE(Load(R"({"registry": [{"text": "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n"}]})", &scenario, &error));
    EXPECT_EQ(error.rfind("x.json: registry[0]: ", 0), 0U) << error;
}

TEST(ScenarioLoader, ReadsEveryPart) {
    std::string const json = R"({
      "description": "all parts",
      "version": {"major": 5, "minor": 2, "build": 3790, "productType": 3, "serverR2": 1, "csdVersion": "Service Pack 2"},
      "registry": ["base.reg", {"text": ["REGEDIT4\n", "\n", "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Two]\n", "\"V\"=dword:00000002\n"]}],
      "presence": {"usb\\vid_13b1&pid_003b\\1": [[0, 400], [1000, null]], "PCI\\X\\1": "never"},
      "drivers": [{
        "device": "{G}",
        "loaded": [[200, null]],
        "regionWord": [{"at": 0, "word": 0}, {"at": 600, "word": "0x0100", "answerBytes": 2}],
        "eeprom": {"0x38": "0x1C"},
        "answers": {"0x12345678": [{"at": 5, "fail": "ERROR_GEN_FAILURE"}]}
      }],
      "faults": [{"operation": "RegOpenKeyExA", "subject": "SOFTWARE\\Two", "call": 2, "error": "ERROR_ACCESS_DENIED"}],
      "expect": {"stdout": ["a\n", "b"], "end": "Exhausted", "attempts": 40, "exitCode": 0,
                 "registryChanges": [{"key": "K", "value": "EDCCAEnable", "text": "1"}]}
    })";
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(
        Load(json, &scenario, &error, {{"base.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\One]\n\"S\"=\"x\"\n"
                                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\1]\n"
                                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\X\\1]\n"}}))
        << error;
    EXPECT_EQ(scenario.description, "all parts");
    EXPECT_EQ(scenario.warnings, (std::vector<std::string>{"drivers[0].device: no NetCfgInstanceId or DeviceVxDs value "
                                                           "of the machine names \"{G}\", so the tool never opens "
                                                           "this driver's file"}));
    EXPECT_EQ(scenario.version.major, 5U);
    EXPECT_EQ(scenario.version.minor, 2U);
    EXPECT_EQ(scenario.version.platformId, 2U); // defaults stay
    EXPECT_EQ(scenario.version.productType, 3);
    EXPECT_EQ(scenario.version.serverR2, 1);
    EXPECT_EQ(scenario.version.csdVersion, "Service Pack 2");
    ASSERT_NE(scenario.registry.FindValue("SOFTWARE\\One", "S"), nullptr);
    ASSERT_NE(scenario.registry.FindValue("SOFTWARE\\Two", "V"), nullptr);
    EXPECT_EQ(scenario.registry.FindValue("SOFTWARE\\Two", "V")->data, (std::vector<std::uint8_t>{2, 0, 0, 0}));
    ASSERT_EQ(scenario.presence.count("USB\\VID_13B1&PID_003B\\1"), 1U);
    const auto &timeline = scenario.presence["USB\\VID_13B1&PID_003B\\1"];
    ASSERT_EQ(timeline.size(), 2U);
    EXPECT_EQ(timeline[1].fromMs, 1000U);
    EXPECT_EQ(timeline[1].untilMs, sim::kForever);
    EXPECT_FALSE(sim::InTimeline(scenario.presence["PCI\\X\\1"], 0));
    ASSERT_EQ(scenario.drivers.size(), 1U);
    const sim::Driver &driver = scenario.drivers[0];
    EXPECT_EQ(driver.answers.size(), 5U); // two region, two EEPROM identifiers and the explicit one
    for (std::uint32_t oid : {sim::kOidRegionOlder, sim::kOidRegionNewer}) {
        ASSERT_EQ(driver.answers.at(oid).size(), 2U);
        EXPECT_EQ(driver.answers.at(oid)[1].atMs, 600U);
        EXPECT_EQ(driver.answers.at(oid)[1].word, 0x0100U);
        EXPECT_EQ(driver.answers.at(oid)[1].answerBytes, 2U);
    }
    EXPECT_EQ(driver.answers.at(sim::kOidEepromNewer)[0].kind, sim::QueryAnswer::Kind::Eeprom);
    EXPECT_EQ(driver.answers.at(sim::kOidEepromOlder)[0].eeprom.at(0x38), 0x1C);
    EXPECT_EQ(driver.answers.at(0x12345678)[0].error, host::ERROR_GEN_FAILURE);
    ASSERT_EQ(scenario.faults.size(), 1U);
    EXPECT_EQ(scenario.faults[0].callNumber, 2);
    EXPECT_EQ(scenario.faults[0].error, host::ERROR_ACCESS_DENIED);
    EXPECT_EQ(*scenario.expect.standardOutput, "a\nb");
    EXPECT_EQ(*scenario.expect.end, sim::RunEnd::Exhausted);
    ASSERT_EQ(scenario.expect.registryChanges->size(), 1U);
    EXPECT_EQ((*scenario.expect.registryChanges)[0].data, (std::vector<std::uint8_t>{'1', 0}));
}

TEST(ScenarioLoader, FindsRegFilesNextToTheScenarioFile) {
    std::string const dir = ::testing::TempDir();
    {
        std::ofstream(dir + "sim_scenario_machine.reg")
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\FromFile]\n\"A\"=\"b\"\n";
        std::ofstream(dir + "sim_scenario_ok.json") << R"({"registry": ["sim_scenario_machine.reg"]})";
        std::ofstream(dir + "sim_scenario_bad.json") << R"({"registry": ["sim_scenario_nothere.reg"]})";
    }
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::LoadScenarioFile(dir + "sim_scenario_ok.json", &scenario, &error)) << error;
    EXPECT_NE(scenario.registry.FindValue("SOFTWARE\\FromFile", "A"), nullptr);
    EXPECT_FALSE(sim::LoadScenarioFile(dir + "sim_scenario_bad.json", &scenario, &error));
    EXPECT_EQ(error,
              dir + "sim_scenario_bad.json: registry[0]: cannot read registry file \"sim_scenario_nothere.reg\"");
    EXPECT_FALSE(sim::LoadScenarioFile(dir + "sim_scenario_absent.json", &scenario, &error));
    EXPECT_EQ(error, dir + "sim_scenario_absent.json: cannot read the scenario file");
}

// Runs the tool on a scenario built from the default machine with changes.
struct ToolRun {
    sim::Machine machine;
    sim::RunSummary summary;
    std::vector<std::string> mismatches;
};

void RunScenario(const sim::Scenario &scenario, ToolRun *run) {
    sim::BuildMachine(scenario, run->machine);
    sim::Registry const before = run->machine.registry.Clone();
    sim::ProcessOutcome const outcome = sim::RunTool(run->machine);
    run->summary = sim::SummarizeRun(run->machine, before, outcome);
    run->mismatches = sim::CheckExpectations(scenario.expect, run->summary);
}

TEST(ScenarioRuns, DefaultMachineMeetsItsExpectations) {
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&scenario, &error)) << error;
    EXPECT_TRUE(scenario.warnings.empty()) << ::testing::PrintToString(scenario.warnings);
    EXPECT_EQ(scenario.version.build, 9200U);
    const sim::RegistryValue *architecture = scenario.registry.FindValue(
        "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "PROCESSOR_ARCHITECTURE");
    ASSERT_NE(architecture, nullptr);
    EXPECT_EQ(architecture->data, (std::vector<std::uint8_t>{'A', 'M', 'D', '6', '4', 0}));
    ToolRun run;
    RunScenario(scenario, &run);
    EXPECT_TRUE(run.mismatches.empty()) << ::testing::PrintToString(run.mismatches);
    EXPECT_EQ(run.summary.end, sim::RunEnd::Written);
    EXPECT_EQ(run.summary.attempts, 1);
    EXPECT_TRUE(run.summary.leftOpen.empty()) << ::testing::PrintToString(run.summary.leftOpen);
    ASSERT_EQ(run.machine.requests.size(), 2U);
    EXPECT_EQ(run.machine.requests[0].oid, sim::kOidEepromNewer);
    EXPECT_EQ(run.machine.requests[0].prefilled[0], 3U);
    EXPECT_EQ(run.machine.requests[0].prefilled[1], 0x38U);
    EXPECT_EQ(run.machine.requests[1].oid, sim::kOidRegionNewer);
}

TEST(ScenarioRuns, EndsAttemptsAndMismatchesAreDerivedFromTheRun) {
    sim::Scenario base;
    std::string error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&base, &error)) << error;
    base.expect = sim::Expectation{};
    struct Case {
        const char *name;
        std::uint32_t regionFrom0;
        std::optional<std::uint32_t> regionFrom1000;
        bool adapterPresent;
        sim::RunEnd end;
        int attempts;
        std::uint64_t virtualMs;
    } const cases[] = {
        {"region 2", 0x0200, std::nullopt, true, sim::RunEnd::Declined, 1, 0},
        {"region 9", 0x0900, std::nullopt, true, sim::RunEnd::Declined, 1, 0},
        {"region 3 throughout", 0x0300, std::nullopt, true, sim::RunEnd::Exhausted, 40, 8000},
        {"no adapter", 0x0100, std::nullopt, false, sim::RunEnd::Exhausted, 40, 8000},
        {"region 1 from 1000 ms", 0x0000, 0x0100, true, sim::RunEnd::Written, 6, 1000},
    };
    for (const Case &c : cases) {
        sim::Scenario scenario = base;
        auto &answers = scenario.drivers[0].answers;
        for (std::uint32_t oid : {sim::kOidRegionOlder, sim::kOidRegionNewer}) {
            answers[oid].clear();
            sim::QueryAnswer first;
            first.word = c.regionFrom0;
            answers[oid].push_back(first);
            if (c.regionFrom1000) {
                sim::QueryAnswer later;
                later.atMs = 1000;
                later.word = *c.regionFrom1000;
                answers[oid].push_back(later);
            }
        }
        if (!c.adapterPresent) {
            scenario.presence["USB\\VID_13B1&PID_003B\\00E04C3B0001"] = {sim::Interval{0, 0}};
        }
        ToolRun run;
        RunScenario(scenario, &run);
        EXPECT_EQ(run.summary.end, c.end) << c.name;
        EXPECT_EQ(run.summary.attempts, c.attempts) << c.name;
        EXPECT_EQ(run.summary.virtualMs, c.virtualMs) << c.name;
        EXPECT_TRUE(run.summary.leftOpen.empty()) << c.name;
        EXPECT_EQ(run.summary.changes.size(), c.end == sim::RunEnd::Written ? 1U : 0U) << c.name;
    }

    // A run that misses every expectation gets one line per miss.
    sim::Scenario scenario = base;
    scenario.expect.end = sim::RunEnd::Declined;
    scenario.expect.attempts = 2;
    scenario.expect.standardOutput = "nothing";
    scenario.expect.registryChanges = std::vector<sim::RegistryChange>{};
    ToolRun run;
    RunScenario(scenario, &run);
    ASSERT_EQ(run.mismatches.size(), 4U) << ::testing::PrintToString(run.mismatches);
    EXPECT_EQ(run.mismatches[1], "end: expected Declined, got Written");
    EXPECT_EQ(run.mismatches[2], "attempts: expected 2, got 1");
    EXPECT_EQ(run.mismatches[3],
              "registry changes differ: expected none\n  got\n    value set "
              "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007 "
              "\"EDCCAEnable\" REG_SZ \"1\\x00\" (2 bytes)");
}

TEST(ScenarioRuns, BuildMachineStartsFromScratch) {
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::LoadDefaultScenario(&scenario, &error)) << error;
    sim::Machine machine;
    sim::BuildMachine(scenario, machine);
    sim::RunTool(machine);
    ASSERT_FALSE(machine.calls.empty());
    sim::BuildMachine(scenario, machine);
    EXPECT_TRUE(machine.calls.empty());
    EXPECT_TRUE(machine.standardOutput.empty());
    EXPECT_EQ(machine.nowMs, 0U);
    // The scenario's registry was copied, not shared: the run's write is gone.
    EXPECT_EQ(
        machine.registry.FindValue(
            "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007", "EDCCAEnable"),
        nullptr);
}

} // namespace
