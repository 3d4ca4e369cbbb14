// edcca-sim - runs the unchanged tool on a simulated Windows machine; kUsage
// gives its modes, its output and its exit codes.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "replay/replay.h"
#include "formats/machine_json.h"
#include "formats/reg_file.h"
#include "formats/scenario.h"
#include "judge/observation.h"
#include "machine/text.h"
#include "runner/run_tool.h"

namespace {

constexpr int kNotMetExit = 1;
constexpr int kUsageExit = 2;

const char kUsage[] = "usage: edcca-sim [--report FILE] [--real-time] [SCENARIO.json]\n"
                      "       edcca-sim --judge OBSERVATION.json SCENARIO.json\n"
                      "       edcca-sim --machine-json SCENARIO.json\n"
                      "       edcca-sim --reg-json FILE.reg\n"
                      "       edcca-sim --replay FOLDER [--report FILE] [--write-scenario FILE] [--trace]\n"
                      "\n"
                      "Runs EdccaProvision's logic on a simulated Windows machine described by\n"
                      "SCENARIO.json (see docs/scenario-format.md); without one, on the embedded\n"
                      "default machine (a 64-bit Windows 10 workstation with the adapter plugged in).\n"
                      "\n"
                      "  --report FILE   write the account of the run to FILE instead of standard error\n"
                      "  --real-time     pause for real when the tool sleeps (virtual time otherwise)\n"
                      "  --judge FILE    hold a run observed elsewhere (tests/wine) to the scenario's\n"
                      "                  expectations and to the driver requests of its run here; the\n"
                      "                  verdict goes to standard output as JSON: {\"met\", \"mismatches\",\n"
                      "                  \"attempts\": the observed trace cut into its attempts}\n"
                      "  --machine-json  write the scenario's machine, as read, to standard output as\n"
                      "                  JSON (registry after import, devices, drivers); nothing runs\n"
                      "  --reg-json FILE write the keys a .reg file gives, read as regedit reads\n"
                      "                  it, to standard output as JSON; nothing runs\n"
                      "  --replay FOLDER run the tool on the machine a collection folder describes\n"
                      "                  (trace.txt, facts.txt, *.reg), with the drivers' answers taken\n"
                      "                  from its trace, and tell whether the recorded run comes again\n"
                      "                  (its attempts, its end and its last attempt's lines); the\n"
                      "                  report begins \"verdict: ...\" and \"cause: ...\"\n"
                      "  --write-scenario FILE  with --replay: also write the replayed scenario to FILE\n"
                      "                  (it runs as it is: edcca-sim FILE)\n"
                      "  --trace         with --replay: the report also holds the replayed trace and\n"
                      "                  the account of the machine and the run\n"
                      "  --help          show this text\n"
                      "\n"
                      "Standard output carries exactly the tool's trace. Exit code: 0 when the\n"
                      "scenario's expectations are met or it has none, 1 when they are not met,\n"
                      "2 when the scenario or the command line is at fault. With --replay: 0 when\n"
                      "the recorded run comes again, 1 when not (the collection being complete and\n"
                      "well formed), 2 when the collection cannot be replayed or the command line\n"
                      "is at fault.\n";

// What one command line asks edcca-sim to do: a run of a scenario, or one of
// the other modes, each named by its option.
enum class Mode { Run, MachineJson, RegJson, Judge, Replay };

struct Options {
    Mode mode = Mode::Run;
    std::string modeOption;   // the option that chose the mode ("--judge"), empty for a run
    std::string modePath;     // what that option names: the observation, .reg file or collection folder
    std::string scenarioPath; // empty: the embedded default
    std::string reportPath;   // empty: standard error
    std::string writePath;    // where the replayed scenario is written
    bool realTime = false;
    bool trace = false; // --trace: the replay's report holds the trace and the run's account
    bool help = false;
};

// Takes parsed options. Returns false with *error when they ask for what
// their mode cannot honour, rather than ignore a part of the command line.
bool CheckCombination(const Options &options, std::string *error) {
    bool const takesScenario = options.mode != Mode::RegJson && options.mode != Mode::Replay;
    bool const runs = options.mode == Mode::Run || options.mode == Mode::Replay;
    const char *unused = !takesScenario && !options.scenarioPath.empty() ? "a scenario"
                         : !runs && !options.reportPath.empty()          ? "--report"
                         : options.mode != Mode::Run && options.realTime ? "--real-time"
                                                                         : nullptr;
    if (unused != nullptr) {
        *error = options.modeOption + " does not take " + unused;
        return false;
    }
    const char *replayOnly = !options.writePath.empty() ? "--write-scenario" : options.trace ? "--trace" : nullptr;
    if (options.mode != Mode::Replay && replayOnly != nullptr) {
        *error = replayOnly + std::string(" needs --replay");
        return false;
    }
    return true;
}

// Parses the command line; false with *error set on a bad option.
bool ParseOptions(int argc, char **argv, Options *options, std::string *error) {
    static const std::pair<const char *, Mode> kModes[] = {{"--machine-json", Mode::MachineJson},
                                                           {"--judge", Mode::Judge},
                                                           {"--reg-json", Mode::RegJson},
                                                           {"--replay", Mode::Replay}};
    for (int i = 1; i < argc; ++i) {
        std::string const argument = argv[i];
        auto const mode = std::find_if(std::begin(kModes), std::end(kModes),
                                       [&argument](const auto &entry) { return argument == entry.first; });
        bool const named = (mode != std::end(kModes) && mode->second != Mode::MachineJson) ||
                           argument == "--write-scenario" || argument == "--report";
        if (named && i + 1 >= argc) {
            *error = argument + " needs a " + (argument == "--replay" ? "folder" : "file") + " name";
            return false;
        }
        std::string const name = named ? argv[++i] : "";
        if (mode != std::end(kModes) && !options->modeOption.empty() && options->modeOption != argument) {
            *error = argument + " cannot be combined with " + options->modeOption;
            return false;
        }
        if (argument == "--help" || argument == "-h") {
            options->help = true;
        } else if (argument == "--real-time") {
            options->realTime = true;
        } else if (argument == "--trace") {
            options->trace = true;
        } else if (mode != std::end(kModes)) {
            options->mode = mode->second;
            options->modeOption = argument;
            options->modePath = name;
        } else if (named) {
            (argument == "--report" ? options->reportPath : options->writePath) = name;
        } else if (!argument.empty() && argument[0] == '-') {
            *error = "unknown option " + argument;
            return false;
        } else if (!options->scenarioPath.empty()) {
            *error = "more than one scenario given";
            return false;
        } else {
            options->scenarioPath = argument;
        }
    }
    return CheckCombination(*options, error);
}

std::string VersionText(const sim::VersionInfo &version) {
    if (version.getVersionFails) {
        return "GetVersionExA fails";
    }
    return std::to_string(version.major) + "." + std::to_string(version.minor) + " build " +
           std::to_string(version.build) + ", platform " + std::to_string(version.platformId) + ", product type " +
           std::to_string(version.productType) + (version.serverR2 != 0 ? ", Server R2" : "");
}

std::string TimelineText(const std::vector<sim::Interval> &timeline) {
    if (timeline.empty()) {
        return "always";
    }
    std::string text;
    for (const sim::Interval &span : timeline) {
        if (span.untilMs == span.fromMs) {
            text += text.empty() ? "never" : "";
            continue;
        }
        text += (text.empty() ? "" : ", ") + std::string("from ") + std::to_string(span.fromMs) + " ms" +
                (span.untilMs == sim::kForever ? "" : " until " + std::to_string(span.untilMs) + " ms");
    }
    return text;
}

// The machine as the run starts: version, architecture, devices, drivers, faults.
void DescribeMachine(const sim::Scenario &scenario, const sim::Machine &machine, std::ostream &out) {
    out << "scenario: " << scenario.file << "\n";
    if (!scenario.description.empty()) {
        out << "  " << scenario.description << "\n";
    }
    for (const std::string &warning : scenario.warnings) {
        out << "warning: " << scenario.file << ": " << warning << "\n";
    }
    out << "version: " << VersionText(machine.version) << "\n";
    const sim::RegistryValue *architecture = machine.registry.FindValue(
        "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "PROCESSOR_ARCHITECTURE");
    out << "architecture: "
        << (architecture == nullptr ? "(no PROCESSOR_ARCHITECTURE value)" : sim::TextOf(architecture)) << "\n";
    out << "devices:\n";
    for (const sim::DeviceInstance &instance : sim::DeviceInstances(machine.registry)) {
        const sim::RegistryValue *friendly = instance.key->FindValue("FriendlyName");
        const sim::RegistryValue *name = friendly != nullptr ? friendly : instance.key->FindValue("DeviceDesc");
        out << "  " << instance.path << " — " << (name == nullptr ? "?" : sim::TextOf(name))
            << " (present: " << TimelineText(sim::PresenceOf(machine.presence, instance.path)) << ")\n";
    }
    out << "drivers:\n";
    for (const sim::Driver &driver : machine.drivers) {
        out << "  \\\\.\\" << driver.deviceName << " (loaded: " << TimelineText(driver.loaded) << "), answers";
        for (const auto &entry : driver.answers) {
            out << " " << sim::Hex(entry.first);
        }
        out << "\n";
    }
    for (const sim::Fault &fault : machine.faults) {
        out << "fault: " << sim::OperationName(fault.operation)
            << (fault.subject.empty() ? "" : " on \"" + fault.subject + "\"")
            << (fault.callNumber == 0 ? ", every call" : ", call " + std::to_string(fault.callNumber)) << " -> "
            << sim::ErrorName(fault.error) << "\n";
    }
}

void DescribeRun(const sim::RunSummary &summary, const sim::Machine &machine, std::ostream &out) {
    out << "end: " << sim::RunEndName(summary.end);
    if (summary.outcome.exited) {
        out << " (ExitProcess(" << summary.outcome.exitCode << ") at " << summary.outcome.endedAtMs << " ms)";
    }
    out << "\nattempts: " << summary.attempts << "\nvirtual time: " << summary.virtualMs << " ms\n";
    out << "host calls: " << machine.calls.size() << ", driver requests: " << machine.requests.size() << "\n";
    out << "registry changes:" << sim::ListChanges(summary.changes, "\n  ") << "\n";
    out << "left open:" << (summary.leftOpen.empty() ? " nothing" : "") << "\n";
    for (const std::string &object : summary.leftOpen) {
        out << "  " << object << "\n";
    }
}

// Takes the --report path (empty: standard error) and a file stream. Returns
// the stream the report goes to; a file that cannot be opened is a failed stream.
std::ostream &OpenReport(const std::string &path, std::ofstream *file) {
    if (path.empty()) {
        return std::cerr;
    }
    file->open(path);
    return *file;
}

// Holds an observation file to the scenario's expectations and to the
// driver requests the scenario's run on the simulated host makes.
int Judge(const sim::Scenario &scenario, const std::string &path) {
    std::string text;
    bool const read = sim::ReadWholeFile(path, &text);
    sim::Machine machine; // the requests of the same scenario run here
    sim::BuildMachine(scenario, machine);
    sim::RunTool(machine);
    std::vector<sim::Mismatch> mismatches;
    std::vector<std::string> attempts;
    std::string error;
    if (!read || !sim::JudgeObservation(scenario.expect, machine.requests, text, &mismatches, &error, &attempts)) {
        std::fprintf(stderr, "edcca-sim: %s: %s\n", path.c_str(), read ? error.c_str() : "cannot read");
        return kUsageExit;
    }
    nlohmann::json verdict = {
        {"met", mismatches.empty()}, {"mismatches", nlohmann::json::array()}, {"attempts", attempts}};
    for (const sim::Mismatch &mismatch : mismatches) {
        verdict["mismatches"].push_back({{"part", sim::RunPartName(mismatch.part)}, {"text", mismatch.text}});
    }
    std::printf("%s\n", verdict.dump(1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return mismatches.empty() ? 0 : kNotMetExit;
}

// Writes the keys of a .reg file as JSON.
int WriteRegJson(const std::string &path) {
    std::string bytes;
    sim::Registry registry;
    sim::RegImportError importError;
    std::vector<sim::RegImportError> warnings;
    bool const read = sim::ReadWholeFile(path, &bytes);
    if (!read || !sim::ImportRegBytes(registry, bytes, path, &importError, 1252, &warnings)) {
        std::fprintf(stderr, "edcca-sim: %s\n", (read ? importError.ToString() : path + ": cannot read").c_str());
        return kUsageExit;
    }
    for (const sim::RegImportError &warning : warnings) {
        std::fprintf(stderr, "edcca-sim: warning: %s\n", warning.ToString().c_str());
    }
    std::fputs(sim::RegistryJson(registry).c_str(), stdout);
    return 0;
}

int Run(int argc, char **argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "edcca-sim: %s\n%s", error.c_str(), kUsage);
        return kUsageExit;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.mode == Mode::RegJson) {
        return WriteRegJson(options.modePath);
    }
    sim::Replay replay; // its scenario is the one run, in every mode
    const sim::Scenario &scenario = replay.scenario;
    bool const loaded =
        options.mode == Mode::Replay   ? sim::PrepareReplay(options.modePath, options.writePath, &replay, &error)
        : options.scenarioPath.empty() ? sim::LoadDefaultScenario(&replay.scenario, &error)
                                       : sim::LoadScenarioFile(options.scenarioPath, &replay.scenario, &error);
    if (!loaded) {
        std::fprintf(stderr, "edcca-sim: %s\n", error.c_str());
        if (options.mode == Mode::Replay) {
            std::ofstream reportFile;
            return static_cast<int>(sim::ReportReplay(replay, "", OpenReport(options.reportPath, &reportFile)));
        }
        return kUsageExit;
    }
    // A run's report on standard error carries the warnings itself.
    bool const reportHasWarnings =
        (options.mode == Mode::Run || options.mode == Mode::Replay) && options.reportPath.empty();
    for (const std::string &warning : reportHasWarnings ? std::vector<std::string>() : scenario.warnings) {
        std::fprintf(stderr, "edcca-sim: warning: %s: %s\n", scenario.file.c_str(), warning.c_str());
    }
    if (!options.writePath.empty()) {
        std::ofstream written(options.writePath, std::ios::binary);
        if (!(written << replay.scenarioText << std::flush)) {
            std::fprintf(stderr, "edcca-sim: %s: cannot write the scenario\n", options.writePath.c_str());
            return kUsageExit;
        }
    }
    if (options.mode == Mode::MachineJson) {
        std::fputs(sim::MachineJson(scenario).c_str(), stdout);
        return 0;
    }
    if (options.mode == Mode::Judge) {
        return Judge(scenario, options.modePath);
    }
    std::ofstream reportFile;
    std::ostream &report = OpenReport(options.reportPath, &reportFile);
    if (!report) {
        std::fprintf(stderr, "edcca-sim: %s: cannot write the report\n", options.reportPath.c_str());
        return kUsageExit;
    }

    sim::Machine machine;
    sim::BuildMachine(scenario, machine);
    machine.realTime = options.realTime;
    machine.echoOutput = [](const char *text, size_t length) {
        std::fwrite(text, 1, length, stdout);
        std::fflush(stdout);
    };
    std::ostringstream account; // the machine and the run
    DescribeMachine(scenario, machine, account);
    sim::Registry const before = machine.registry.Clone();
    sim::ProcessOutcome const outcome = sim::RunTool(machine);
    std::fflush(stdout);

    sim::RunSummary const summary = sim::SummarizeRun(machine, before, outcome);
    account << "--\n";
    DescribeRun(summary, machine, account);
    if (options.mode == Mode::Replay) {
        sim::ReplayVerdict const verdict = sim::ReportReplay(replay, summary.trace, report);
        if (options.trace) {
            report << "-- the replayed trace\n" << summary.trace << "-- the machine and the run\n" << account.str();
        }
        report.flush();
        return static_cast<int>(verdict);
    }
    report << account.str();
    std::vector<sim::Mismatch> const mismatches = sim::CheckExpectations(scenario.expect, summary);
    if (scenario.expect.Given()) {
        report << "expectations: " << (mismatches.empty() ? "met" : "NOT met") << "\n";
        for (const sim::Mismatch &mismatch : mismatches) {
            report << "  " << mismatch.text << "\n";
        }
    }
    report.flush();
    return mismatches.empty() ? 0 : kNotMetExit;
}

} // namespace

// A fault of edcca-sim itself (memory, a stream) ends it as its own error.
int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "edcca-sim: %s\n", failure.what());
    } catch (...) {
        std::fprintf(stderr, "edcca-sim: unexpected failure\n");
    }
    return kUsageExit;
}
