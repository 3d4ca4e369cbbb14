// run_account.h - what a run of EdccaProvision.exe did, read from its trace.
//
// The one reading of the program's trace outside the program: the kit takes
// its outcome from it, the judge its attempts, the replay the shape of a
// recorded run. Its table of texts (run_account.cpp) is the only place beside
// the program that knows them. Lines may end in LF or in CR LF (msvcrt's text
// mode); a line may hold several trace texts, since some end in no line feed.

#pragma once

#include <cstddef>

namespace kit {

constexpr int kProgramAttempts = 40; // the program gives up after these

// How the last attempt ended: its last line that tells.
enum class AttemptEnd {
    None,               // no attempt, or it ended in none of the lines below
    RegionLine,         // " GetSupportCountryRegion Offset 0x38 = 0x%x , ..." (anywhere in its line)
    NoAdapterCard,      // "Cannot find any adapter card !"
    DriverKeyNotOpened, // "RegOpenKeyEx '...' failed"
    ValueNotSet,        // "RegSetValueEx REGSTR_RADIO '...' failed"
};

// How the run ended, as the trace alone shows it.
enum class TraceEnd {
    NoRun,     // no attempt began: the program did not run, or wrote nothing
    Written,   // the last attempt's region line says 1 and nothing failed after it
    Declined,  // region 2 or 9
    Exhausted, // 40 attempts, the last undecided
    CutShort,  // fewer than 40 attempts, the last undecided: the run was ended from outside
};

struct RunAccount {
    int attempts = 0;              // attempts begun ("--> DetectAdapter()" lines)
    int adaptersCounted = 0;       // the last attempt's last "Available adapter number = N"; 0 without one
    bool adapterEverFound = false; // some attempt counted an adapter
    AttemptEnd lastAttemptEnd = AttemptEnd::None;
    long region = -1; // the last attempt's region code, as its region line prints it; -1 without one
    TraceEnd end = TraceEnd::NoRun;
    std::size_t lastAttemptAt = 0; // offset of the last attempt's first line in the trace
};

// Takes a trace and its length (it may hold NULs; nothing past length is
// read). Fills *account. Never fails: a trace that says nothing is NoRun.
void ReadRunAccount(const char *trace, std::size_t length, RunAccount *account);

// What one attempt shows of the adapters and the drivers' answers. A query
// that failed still prints its line (with 0): its value counts as unanswered.
struct AttemptRecord {
    bool detected = false;         // its "<-- DetectAdapter()" line stands
    int adaptersCounted = 0;       // its last "Available adapter number = N"; 0 without one or with N < 0
    bool noAdapter = false;        // "No Available Adapter"
    bool deviceFileFailed = false; // a query found no device file, or could not open it
    bool eepromLine = false;       // " Offset 0x38 = 0x.." stands
    bool eepromQueryFailed = false;
    int eepromByte = -1;     // the byte it shows when answered; -1 without it
    bool regionLine = false; // " GetSupportCountryRegion ..." stands
    bool regionQueryFailed = false;
    int regionByte = -1;    // its high byte (the region) when answered; -1 without it
    int companionByte = -1; // its low byte when answered; -1 without it
};

// Takes one attempt's text (from its first line on, as FindAttemptStart
// cuts a trace) and its length. Fills *record. Never fails.
void ReadAttempt(const char *attempt, std::size_t length, AttemptRecord *record);

// Why a trace is none a single run of the program writes whole.
enum class TraceFault {
    None,
    Foreign,         // its first line is no attempt's first line: another program's output, or nothing
    Unprintable,     // a byte the program never prints (it prints ASCII text and LF, and any byte but NUL
                     // and '\\' in the four of a driver key's instance name in its RegOpenKeyEx line)
    CutMidLine,      // its last line has no line feed
    TooManyAttempts, // more than kProgramAttempts
    CutShort,        // fewer, without a line that ends the run
};

// Takes a trace with LF line ends and its length. Returns its fault, with
// *at the offset of the byte at fault (length for the attempts' faults).
TraceFault CheckWholeTrace(const char *trace, std::size_t length, std::size_t *at);

// Takes a trace, its length and an offset. Returns the offset of the first
// attempt's first line that begins at or after `from`, or `length` when none
// does: where the trace is cut into attempts.
std::size_t FindAttemptStart(const char *trace, std::size_t length, std::size_t from);

} // namespace kit
