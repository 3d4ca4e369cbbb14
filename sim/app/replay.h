// replay.h - a collection replayed: the collected machine as a scenario, the
// drivers' answers taken from the recorded trace, and whether a run of the
// tool on it writes the recorded last attempt again.

#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "formats/collection.h"
#include "formats/scenario.h"

namespace sim {

struct Replay {
    Collection collection;
    std::string scenarioText;       // the scenario as --write-scenario writes it
    Scenario scenario;              // loaded from scenarioText
    std::vector<std::string> notes; // report lines: how version, presence and drivers were made
};

// Takes a collection folder and the file the scenario is to be written to
// (empty: none; its .reg paths are then relative to the collection folder).
// Returns true with *replay made; false with *error naming the file and field.
bool PrepareReplay(const std::string &folder, const std::string &scenarioPath, Replay *replay, std::string *error);

// Takes the replay and the trace of the run on its scenario. Writes the
// verdict to the report; returns true when the run wrote the recorded last
// attempt again.
bool ReportReplay(const Replay &replay, const std::string &replayedTrace, std::ostream &report);

} // namespace sim
