// scenario.h - a simulated machine described in one JSON file.
//
// A scenario gives the machine's version information, its registry as .reg
// text (files next to the scenario, or inline), device presence over virtual
// time, the drivers with their device files and answers, injected faults, and
// what a run of the tool on it is expected to produce. docs/scenario-format.md
// describes the format. A scenario loads completely or not at all: any fault
// is reported as "file: field: what was expected".

#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"
#include "machine/registry.h"

namespace sim {

// How a run of the tool ended.
enum class RunEnd {
    Written,   // "EDCCAEnable" was stored
    Declined,  // ended before its 40th attempt without writing
    Exhausted, // ended after 40 attempts without writing
    Returned,  // the entry routine returned instead of calling ExitProcess
};
const char *RunEndName(RunEnd end);

// What a run must produce: a scenario's "expect"; what is not given is not held.
struct Expectation {
    std::optional<std::string> standardOutput; // exact bytes
    std::optional<RunEnd> end;
    std::optional<int> attempts;
    std::optional<host::UINT> exitCode;
    std::optional<std::vector<RegistryChange>> registryChanges; // exact list, in DiffRegistries order
    bool Given() const { return standardOutput || end || attempts || exitCode || registryChanges; }
};

struct Scenario {
    std::string file;        // as loaded, for messages
    std::string description; // one line
    VersionInfo version;
    Registry registry;
    Presence presence;
    std::vector<Driver> drivers;
    std::vector<Fault> faults;
    Expectation expect;
    std::vector<std::string> warnings; // "field: what may be unintended", for the report
};

// Reads a file named in a scenario (a .reg file): true and the bytes, or false.
using FileReader = std::function<bool(const std::string &path, std::string *bytes)>;

// Takes a path. Returns true with the file's bytes, false when it cannot be read.
bool ReadWholeFile(const std::string &path, std::string *bytes);
// Takes a folder ("" for the current one). Returns a reader of the files it
// holds; a name that is a whole path is read as it is.
FileReader FilesIn(const std::string &folder);
// Parses scenario JSON text. fileName names it in messages; readFile resolves
// the .reg files it names. Returns false with *error set on any fault.
bool LoadScenarioText(std::string_view text, const std::string &fileName, const FileReader &readFile,
                      Scenario *scenario, std::string *error);
// Loads a scenario file; .reg files are found relative to its directory.
bool LoadScenarioFile(const std::string &path, Scenario *scenario, std::string *error);
// The embedded default machine: a 64-bit Windows 10 workstation with the
// adapter plugged in and its driver answering region code 1.
bool LoadDefaultScenario(Scenario *scenario, std::string *error);
// The embedded default scenario's files, built in from examples/:
// written-region-1.json as "default.json", and the .reg files it names.
const std::map<std::string, std::string> &DefaultScenarioFiles();

// Sets a machine up as the scenario describes, from scratch: registry copied,
// clock at 0, no calls, requests, output or open objects.
void BuildMachine(const Scenario &scenario, Machine &machine);

} // namespace sim
