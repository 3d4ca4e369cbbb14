// kit_outcome.h - what a run of the kit came to, and the exit code each
// outcome gives the deployment engines.

#pragma once

#include "kit/core/run_account.h"

namespace kit {

enum class Outcome {
    Written,         // 0: the program wrote "1" into the one adapter's driver key
    Declined,        // 0: region 2 or 9
    NotApplicable,   // 0: no network device of the adapter's ID was ever installed; nothing ran
    SeveralAdapters, // 2: written, but the last attempt counted more than one adapter
    NoAdapter,       // 1618: no attempt found the adapter
    NoDecision,      // 1618: found, but no region 1, 2 or 9 by the 40th attempt
    Busy,            // 1618: another run held the lock for the whole wait
    WriteFailed,     // 1603: the program could not open or set the driver key's value
    ProgramMissing,  // 1603: the program is missing or did not start
    ProgramTimedOut, // 1603: the program did not end within its time and was ended
    MarkerFailed,    // 1603: the marker, or a rollback record before the run, could not be written
    UnsafeFolder,    // 1603: the log folder or a file on its way is a link, or has other links
    Uninstalled,     // 0: /uninstall put every record back and removed the marker
    UninstallFailed, // 1603: a record or the marker could not be handled; kept
};

// Takes an outcome. Returns its name as the log, the marker and the texts spell it.
const char *OutcomeName(Outcome outcome);
// Takes an outcome. Returns the exit code the kit ends with.
int OutcomeExitCode(Outcome outcome);

// Takes the account of a program run that started and ended by itself.
// Returns the outcome of a provisioning run: Written or SeveralAdapters,
// Declined, WriteFailed, NoAdapter, NoDecision; ProgramMissing where the trace
// shows no attempt.
Outcome ClassifyRun(const RunAccount &account);

// Takes the account of a run and whether the program was ended for its time.
// Returns what the kit reports: ProgramTimedOut when it was ended, else
// ClassifyRun's outcome.
Outcome ClassifyProgramRun(const RunAccount &account, bool endedForTime);

// Whether a provisioning run with this outcome leaves a collection even
// without /collect (a run whose program ran and did not provision).
bool OutcomeCollects(Outcome outcome);
// Whether this outcome writes the detection marker.
bool OutcomeMarks(Outcome outcome);

} // namespace kit
