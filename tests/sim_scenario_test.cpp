// Scenario files: what the loader accepts and how it names what it refuses,
// and how the judge words the expectations a run misses. Scenario files with
// their .reg files, and runs of the tool on them, are the examples'
// (examples_test.cpp).

#include <gtest/gtest.h>

#include <string>

#include "formats/scenario.h"
#include "judge/judge.h"
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
        std::string json;
        std::string message;
        bool parserSays = false; // the JSON parser's words follow the message
    } const cases[] = {
        {.json = R"({"drivers": [{"device": "{G}", "loaded": [[0, 10], [20]]}]})",
         .message = "x.json: drivers[0].loaded[1]: expected [from, until]"},
        {.json = R"({"drivers": [{"device": "{G}", "loaded": [[30, 10]]}]})",
         .message = "x.json: drivers[0].loaded[0]: until comes before from"},
        {.json = R"({"drivers": [{"loaded": "always"}]})",
         .message = "x.json: drivers[0].device: missing (the name behind \\\\.\\, e.g. \"{GUID}\")"},
        {.json = R"({"drivers": [{"device": "{G}", "regionWord": "0x1G"}]})",
         .message = "x.json: drivers[0].regionWord: expected a number (decimal, or hexadecimal text such as \"0x38\")"},
        {.json = R"({"drivers": [{"device": "{G}", "regionWord": 1, "answers": {"0xFF0C0003": [{"word": 2}]}}]})",
         .message = "x.json: drivers[0].answers.0xFF0C0003: identifier 0xFF0C0003 is given answers twice"},
        {.json = R"({"drivers": [{"device": "{G}", "answers": {"0xFF0C0003": [{"word": 2, "fail": 31}]}}]})",
         .message =
             "x.json: drivers[0].answers.0xFF0C0003[0]: expected exactly one of \"word\", \"eeprom\" or \"fail\""},
        {.json = R"({"drivers": [{"device": "{G}", "eeprom": {"0x38": 256}}]})",
         .message = "x.json: drivers[0].eeprom.0x38: number out of range (at most 255)"},
        {.json = R"({"version": {"major": 6, "minr": 1}})", .message = "x.json: version.minr: unknown field"},
        {.json = R"({"faults": [{"operation": "Sleep", "error": 5}]})",
         .message = "x.json: faults[0].operation: \"Sleep\" is not an operation that can fail"},
        {.json = R"({"faults": [{"operation": "CreateFileA", "error": "ERROR_NOPE"}]})",
         .message = "x.json: faults[0].error: unknown error name \"ERROR_NOPE\" (give its number instead)"},
        {.json = R"({"faults": [{"operation": "CreateFileA", "error": 0}]})",
         .message = "x.json: faults[0].error: an error must not be 0 (ERROR_SUCCESS)"},
        {.json = R"({"presence": {"USB\\V\\1": "sometimes"}})",
         .message = "x.json: presence.USB\\V\\1: expected \"always\", \"never\" or a list of [from, until] pairs"},
        {.json = R"({"presence": {"USB\\V\\1": "never"}})",
         .message = "x.json: presence.USB\\V\\1: no device instance of the machine (a key "
                    "SYSTEM\\CurrentControlSet\\Enum\\<enumerator>\\<device>\\<instance> of the registry)"},
        {.json = R"({"drivers": [{"device": "{G}"}, {"device": "{G}", "loaded": "never", "device": "{H}"}]})",
         .message = "x.json: drivers[1].device: given twice"},
        {.json = R"({"presence": {"USB\\V\\1": "never", "usb\\v\\1": "always"}})",
         .message = "x.json: presence.usb\\v\\1: given twice"},
        {.json = R"({"drivers": [{"device": "{G}"}, {"device": "{g}"}]})",
         .message = "x.json: drivers[1].device: the device of drivers[0] again (device names are matched without "
                    "regard to case)"},
        {.json = R"({"registry": ["missing.reg"]})",
         .message = "x.json: registry[0]: cannot read registry file \"missing.reg\""},
        {.json = R"({"expect": {"end": "Finished"}})",
         .message = "x.json: expect.end: expected \"Written\", \"Declined\", \"Exhausted\" or \"Returned\""},
        {.json = R"({"description": "two\nlines"})", .message = "x.json: description: expected one line"},
        {.json = R"([1, 2])", .message = "x.json: expected an object"},
        {.json = R"({"registry": [{"text": "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n"}]})",
         .message = "x.json: registry[0]: registry[0].text:3: only HKEY_LOCAL_MACHINE exists on this machine, not "
                    "HKEY_CURRENT_USER"},
        {.json = "{\"version\": ", .message = "x.json: not valid JSON: ", .parserSays = true},
        {.json = "{\"version\": {\"minor\": 9E999}}", .message = "x.json: not valid JSON: ", .parserSays = true},
    };
    for (const Case &c : cases) {
        sim::Scenario scenario;
        std::string error;
        EXPECT_FALSE(Load(c.json, &scenario, &error)) << c.json;
        EXPECT_EQ(c.parserSays ? error.substr(0, c.message.size()) : error, c.message) << c.json;
    }
}

// The parts no example's run would show misread: a warning, fields the tool
// does not read (CSD text, a short answer, an identifier it never asks for),
// version defaults and the letter case of a presence path.
TEST(ScenarioLoader, ReadsWhatNoRunShows) {
    std::string const json = R"({
      "version": {"major": 5, "minor": 2, "build": 3790, "productType": 3, "serverR2": 1, "csdVersion": "Service Pack 2"},
      "registry": ["base.reg"],
      "presence": {"usb\\vid_13b1&pid_003b\\1": [[0, 400], [1000, null]], "PCI\\X\\1": "never"},
      "drivers": [{
        "device": "{G}",
        "loaded": [[200, null]],
        "regionWord": [{"at": 0, "word": 0}, {"at": 600, "word": "0x0100", "answerBytes": 2}],
        "eeprom": {"0x38": "0x1C"},
        "answers": {"0x12345678": [{"at": 5, "fail": "ERROR_GEN_FAILURE"}]}
      }]
    })";
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(Load(json, &scenario, &error,
                     {{"base.reg", "REGEDIT4\n\n"
                                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\1]\n"
                                   "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\PCI\\X\\1]\n"}}))
        << error;
    EXPECT_EQ(scenario.warnings, (std::vector<std::string>{"drivers[0].device: no NetCfgInstanceId or DeviceVxDs value "
                                                           "of the machine names \"{G}\", so the tool never opens "
                                                           "this driver's file"}));
    EXPECT_EQ(scenario.version.major, 5U);
    EXPECT_EQ(scenario.version.minor, 2U);
    EXPECT_EQ(scenario.version.platformId, 2U); // defaults stay
    EXPECT_EQ(scenario.version.productType, 3);
    EXPECT_EQ(scenario.version.serverR2, 1);
    EXPECT_EQ(scenario.version.csdVersion, "Service Pack 2");
    ASSERT_EQ(scenario.presence.count("USB\\VID_13B1&PID_003B\\1"), 1U);
    const auto &timeline = scenario.presence["USB\\VID_13B1&PID_003B\\1"];
    ASSERT_EQ(timeline.size(), 2U);
    EXPECT_EQ(timeline[1].fromMs, 1000U);
    EXPECT_EQ(timeline[1].untilMs, sim::kForever);
    EXPECT_FALSE(sim::SpanAt(scenario.presence["PCI\\X\\1"], 0));
    ASSERT_EQ(scenario.drivers.size(), 1U);
    const sim::Driver &driver = scenario.drivers[0];
    EXPECT_EQ(driver.answers.size(), 5U); // two region, two EEPROM identifiers and the explicit one
    for (std::uint32_t oid : {sim::kOidRegionOlder, sim::kOidRegionNewer}) {
        ASSERT_EQ(driver.answers.at(oid).size(), 2U);
        EXPECT_EQ(driver.answers.at(oid)[1].atMs, 600U);
        EXPECT_EQ(driver.answers.at(oid)[1].word, 0x0100U);
        EXPECT_EQ(driver.answers.at(oid)[1].answerBytes, 2U);
    }
    EXPECT_EQ(driver.answers.at(0x12345678)[0].error, host::ERROR_GEN_FAILURE);
}

// The default machine (edcca-sim without a scenario) meets its own
// expectations; a run that misses each expectation gets one line per miss.
TEST(ScenarioRuns, MissedExpectationsAreNamedOneLineEach) {
    sim::Scenario scenario;
    std::string error;
    // The embedded default is examples/written-region-1.json, whose run the examples table holds.
    ASSERT_TRUE(sim::LoadDefaultScenario(&scenario, &error)) << error;
    sim::Machine machine;
    sim::BuildMachine(scenario, machine);
    sim::Registry const before = machine.registry.Clone();
    sim::RunSummary const summary = sim::SummarizeRun(machine, before, sim::RunTool(machine));
    EXPECT_TRUE(sim::CheckExpectations(scenario.expect, summary).empty());

    sim::Expectation missed;
    missed.end = sim::RunEnd::Declined;
    missed.attempts = 2;
    missed.standardOutput = "nothing";
    // The run's own change with other data: the lists differ only in content.
    ASSERT_EQ(summary.changes.size(), 1U);
    missed.registryChanges = summary.changes;
    (*missed.registryChanges)[0].data = {'0', 0};
    std::vector<sim::Mismatch> const mismatches = sim::CheckExpectations(missed, summary);
    ASSERT_EQ(mismatches.size(), 4U);
    EXPECT_EQ(mismatches[0].part, sim::RunPart::Stdout);
    EXPECT_EQ(mismatches[1].text, "end: expected Declined, got Written");
    EXPECT_EQ(mismatches[2].text, "attempts: expected 2, got 1");
    std::string const change = "value set HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                               "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007 \"EDCCAEnable\" REG_SZ ";
    EXPECT_EQ(mismatches[3].text, "registry changes differ: expected\n    " + change +
                                      "\"0\\x00\" (2 bytes)\n  got\n    " + change + "\"1\\x00\" (2 bytes)");
}

} // namespace
