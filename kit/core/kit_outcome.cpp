// kit_outcome.cpp - the outcomes' names and exit codes, and the outcome a
// program run comes to.

#include "kit/core/kit_outcome.h"

namespace kit {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitSeveralAdapters = 2;
constexpr int kExitRetryLater = 1618;     // ERROR_INSTALL_ALREADY_RUNNING: the engines retry
constexpr int kExitInstallFailure = 1603; // ERROR_INSTALL_FAILURE

} // namespace

const char *OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Outcome::Written:
        return "Written";
    case Outcome::Declined:
        return "Declined";
    case Outcome::NotApplicable:
        return "NotApplicable";
    case Outcome::SeveralAdapters:
        return "SeveralAdapters";
    case Outcome::NoAdapter:
        return "NoAdapter";
    case Outcome::NoDecision:
        return "NoDecision";
    case Outcome::Busy:
        return "Busy";
    case Outcome::WriteFailed:
        return "WriteFailed";
    case Outcome::ProgramMissing:
        return "ProgramMissing";
    case Outcome::ProgramTimedOut:
        return "ProgramTimedOut";
    case Outcome::MarkerFailed:
        return "MarkerFailed";
    case Outcome::UnsafeFolder:
        return "UnsafeFolder";
    case Outcome::Uninstalled:
        return "Uninstalled";
    case Outcome::UninstallFailed:
        return "UninstallFailed";
    }
    return "Unknown";
}

int OutcomeExitCode(Outcome outcome) {
    switch (outcome) {
    case Outcome::Written:
    case Outcome::Declined:
    case Outcome::NotApplicable:
    case Outcome::Uninstalled:
        return kExitSuccess;
    case Outcome::SeveralAdapters:
        return kExitSeveralAdapters;
    case Outcome::NoAdapter:
    case Outcome::NoDecision:
    case Outcome::Busy:
        return kExitRetryLater;
    case Outcome::WriteFailed:
    case Outcome::ProgramMissing:
    case Outcome::ProgramTimedOut:
    case Outcome::MarkerFailed:
    case Outcome::UnsafeFolder:
    case Outcome::UninstallFailed:
        return kExitInstallFailure;
    }
    return kExitInstallFailure;
}

Outcome ClassifyRun(const RunAccount &account) {
    // Without an attempt the program never got to its work: it did not start,
    // or what started was not the program.
    if (account.attempts == 0) {
        return Outcome::ProgramMissing;
    }
    switch (account.end) {
    case TraceEnd::Written:
        // The program writes the last adapter it finds only.
        return account.adaptersCounted > 1 ? Outcome::SeveralAdapters : Outcome::Written;
    case TraceEnd::Declined:
        return Outcome::Declined;
    case TraceEnd::NoRun:
    case TraceEnd::Exhausted:
    case TraceEnd::CutShort:
        break;
    }
    if (account.lastAttemptEnd == AttemptEnd::DriverKeyNotOpened || account.lastAttemptEnd == AttemptEnd::ValueNotSet) {
        return Outcome::WriteFailed;
    }
    return account.adapterEverFound ? Outcome::NoDecision : Outcome::NoAdapter;
}

Outcome ClassifyProgramRun(const RunAccount &account, bool endedForTime) {
    return endedForTime ? Outcome::ProgramTimedOut : ClassifyRun(account);
}

bool OutcomeCollects(Outcome outcome) {
    switch (outcome) {
    case Outcome::NoAdapter:
    case Outcome::NoDecision:
    case Outcome::WriteFailed:
    case Outcome::SeveralAdapters:
    case Outcome::MarkerFailed:
    case Outcome::ProgramTimedOut:
        return true;
    default:
        return false;
    }
}

bool OutcomeMarks(Outcome outcome) {
    return outcome == Outcome::Written || outcome == Outcome::Declined || outcome == Outcome::SeveralAdapters;
}

} // namespace kit
