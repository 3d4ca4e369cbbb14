// observation.h - a run of the tool seen from outside, held to a scenario's
// expectations by the same judge as a run on the simulated host.
//
// tests/wine runs a scenario under Wine and writes what it saw as JSON:
//   {"stdout": text (CR LF read as LF), "exitCode": n,
//    "registryBefore": [.reg export paths], "registryAfter": [...],
//    "lateAttempts": {"<attempt>": n, ...},
//    "driverRequests": [{"device", "code", "oid", "inSize", "outSize",
//                        "prefilled": [words]}, ...]}
// lateAttempts comes from the test driver's log: a timed change meant to be
// in place at attempt a (counted from 0) took effect n attempts late, because
// a busy scheduler ran the driver late. The judge then expects each of those
// attempts to repeat the attempt before it, as the program saw the same
// machine again; everything else is judged as for a simulated run. The
// driver requests, in the order made, must be those of the same scenario run
// on the simulated host (with a late attempt's requests repeated likewise):
// the device, control code, identifier, buffer sizes and the first three
// words the program put in the output buffer.

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "judge/judge.h"
#include "machine/machine.h"

namespace sim {

// Judges an observation (JSON text) against the expectations of a scenario
// and the requests its run on the simulated host made (simulatedRequests).
// Returns false with *error set when the observation cannot be read;
// otherwise fills *mismatches (empty: every expectation met) and, when
// given, *attempts: the observed trace cut into its attempts (SplitAttempts).
bool JudgeObservation(const Expectation &expect, const std::vector<DriverRequest> &simulatedRequests,
                      std::string_view observationText, std::vector<Mismatch> *mismatches, std::string *error,
                      std::vector<std::string> *attempts = nullptr);

} // namespace sim
