// replay.h - a collection replayed: the collected machine as a scenario, the
// drivers' answers taken from the recorded trace, and whether a run of the
// tool on it writes the recorded last attempt again.

#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "replay/collection.h"
#include "formats/scenario.h"

namespace sim {

// The verdict of a replay; its value is edcca-sim's exit code.
enum class ReplayVerdict { Reproduced = 0, NotReproduced = 1, CannotReplay = 2 };

struct Replay {
    Collection collection;
    std::string scenarioText;       // the scenario as --write-scenario writes it
    Scenario scenario;              // loaded from scenarioText
    std::vector<std::string> notes; // report lines: version, adapters, drivers' answers, the machine before the write
    std::string adapter;            // the queried adapter's driver key ("{4d36e972-...}\0007"); "" without one
    std::string refusal;            // why it cannot be replayed: "file: field: what" within the folder; "" when it can
};

// Takes a collection folder and the file the scenario is to be written to
// (empty: none; its .reg paths are then relative to the collection folder).
// Returns true with *replay made; false with *error naming the folder, file
// and field, and replay->refusal the same within the folder.
bool PrepareReplay(const std::string &folder, const std::string &scenarioPath, Replay *replay, std::string *error);

// Takes the replay and the trace of the run on its scenario (any, when the
// replay was refused). Writes the report: "verdict: ..." and "cause: ..."
// first, then the notes. Returns the verdict: reproduced when the whole
// trace's shape (attempts and end) and the last attempt's lines come again.
ReplayVerdict ReportReplay(const Replay &replay, const std::string &replayedTrace, std::ostream &report);

} // namespace sim
