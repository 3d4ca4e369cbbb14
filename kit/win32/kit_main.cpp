// kit_main.cpp - EdccaKit.exe: what a run does for its command. Provisioning
// runs EdccaProvision.exe under the lock, with rollback records written
// ahead and settled after, the marker, a collection where the run did not
// provision (or was asked to) and one log record; /uninstall puts the
// records back; /status and /? only print.

#include "kit/win32/kit_shell.h"

#include <cstring>

#include "common/format.h"
#include "kit/collector.h"
#include "kit/core/kit_arguments.h"
#include "kit/core/kit_status.h"
#include "kit/core/rollback_record.h"
#include "kit/core/run_account.h"
#include "kit/kit_registry.h"

namespace {

constexpr DWORD kLockWaitMs = 60000;
constexpr int kStatusFailedExitCode = 1603; // /status could not list the devices
constexpr DWORD kProgramLimitMs = 30000;
constexpr std::size_t kMostTraceBytes = 256 * 1024;
constexpr std::size_t kMostNotesBytes = 64 * 1024;
constexpr std::size_t kMostLogRecordBytes = kMostTraceBytes + kMostNotesBytes + 1024;
constexpr std::size_t kMostDriverKeysBytes = sizeof(kit::MarkerValue::data);
constexpr std::size_t kTimeBytes = 32;

constexpr char kUsage[] = "  edcca.cmd             provision: switch on EDCCAEnable where the adapter\r\n"
                          "                        reports region 1 (README.txt lists the outcomes)\r\n"
                          "  edcca.cmd /collect    provision, and collect what the program saw for\r\n"
                          "                        edcca-sim --replay (README.txt), whatever the outcome\r\n"
                          "  edcca.cmd /uninstall  put back the values the kit's runs changed\r\n"
                          "  edcca.cmd /status     tell, changing nothing, whether every present\r\n"
                          "                        adapter's driver key holds EDCCAEnable = 1\r\n"
                          "  edcca.cmd /?          this text\r\n";

// What one run knows for its record: kept out of the stack, the adapter
// lists and the trace being large.
struct Run {
    shell::LogFolder folder;
    char time[kTimeBytes];
    char computer[MAX_COMPUTERNAME_LENGTH + 1];
    char waitNote[64];
    kit::Outcome outcome;
    char notesData[kMostNotesBytes];
    kit::TextBuffer notes;
    bool programRan;
    shell::ProgramRun program;
    char trace[kMostTraceBytes];
    kit::AdapterList before;
    kit::AdapterList after;
    bool written[kit::kMostAdapters];
    kit::RunAccount account;
    char driverKeys[kMostDriverKeysBytes];
    char record[kMostLogRecordBytes];
};
Run run;

// Takes text. Writes it to standard output.
void Print(const char *text) { shell::WriteOutput(text, std::strlen(text)); }

// Takes the exit code. Prints the usage and returns the code.
int PrintUsage(int code) {
    char line[shell::kMostPathBytes + 64];
    FormatText(line, sizeof line, "edcca.cmd %s - EdccaProvision.exe for deployment, run as SYSTEM\r\n",
               shell::kKitVersion);
    Print(line);
    Print(kUsage);
    if (shell::MakeLogFolderPaths(&run.folder) == 1) {
        FormatText(line, sizeof line, "Log: %s\r\n", run.folder.log);
        Print(line);
    }
    return code;
}

// Takes nothing. Fills the run's time and computer name.
void ReadClockAndName() {
    kit::TextBuffer time = kit::MakeTextBuffer(run.time, sizeof run.time);
    shell::AppendNow(&time);
    shell::ReadComputerName(run.computer);
}

// Takes an outcome that refuses the run (Busy, UnsafeFolder) and its note.
// Prints the record's header and the note, writing nothing. Returns the exit code.
int PrintRefusal(kit::Outcome outcome, const char *note) {
    ReadClockAndName();
    kit::TextBuffer out = kit::MakeTextBuffer(run.record, sizeof run.record);
    kit::AppendRecordHeader(&out, run.time, run.computer, shell::kKitVersion, outcome, "");
    kit::AppendNote(&out, note);
    shell::WriteOutput(out.data, out.length);
    return kit::OutcomeExitCode(outcome);
}

// Takes a note's parts. Appends "---- <a><b><c>".
void Note(const char *a, const char *b = "", const char *c = "") {
    kit::AppendText(&run.notes, "---- ");
    kit::AppendText(&run.notes, a);
    kit::AppendText(&run.notes, b);
    kit::AppendText(&run.notes, c);
    kit::AppendText(&run.notes, "\r\n");
}

// Takes nothing. Checks the log folder and takes the lock. Returns 1, or 0
// with the refusal printed and *code its exit code.
int BeginRun(int *code) {
    char unsafe[shell::kMostPathBytes];
    if (shell::MakeLogFolderPaths(&run.folder) == 0) {
        *code = PrintRefusal(kit::Outcome::UnsafeFolder,
                             "%SystemRoot%\\Logs\\EdccaProvision cannot be named: nothing was done");
        return 0;
    }
    if (shell::PrepareLogFolder(run.folder, unsafe) == 0) {
        char note[shell::kMostPathBytes + 64];
        FormatText(note, sizeof note, "%s is a link or has other links: nothing was done", unsafe);
        *code = PrintRefusal(kit::Outcome::UnsafeFolder, note);
        return 0;
    }
    DWORD waitedMs = 0;
    if (shell::TakeLock(kLockWaitMs, &waitedMs) == 0) {
        char note[128];
        FormatText(note, sizeof note, "another run held the lock for %u s: nothing was done; try again later",
                   static_cast<unsigned>(waitedMs / 1000));
        *code = PrintRefusal(kit::Outcome::Busy, note);
        return 0;
    }
    ReadClockAndName();
    run.waitNote[0] = '\0';
    if (waitedMs >= 1000) {
        FormatText(run.waitNote, sizeof run.waitNote, ", waited %u s for another run",
                   static_cast<unsigned>(waitedMs / 1000));
    }
    run.notes = kit::MakeTextBuffer(run.notesData, sizeof run.notesData);
    run.programRan = false;
    return 1;
}

// Takes the log path that could not be written, or "". Writes the marker
// for the run's outcome. Returns 1, or 0 when it was not written whole.
int MarkRun(const char *logFailed) {
    kit::MarkerValue values[kit::kMarkerValues];
    std::size_t const count = kit::MakeMarkerValues(run.outcome, run.time, run.account.adaptersCounted, run.driverKeys,
                                                    shell::kKitVersion, logFailed, values);
    return kit::WriteMarker(values, count);
}

// Takes nothing. Appends the run's record to the log and releases the lock.
// Returns the run's exit code.
int EndRun() {
    kit::TextBuffer out = kit::MakeTextBuffer(run.record, sizeof run.record);
    kit::AppendRecordHeader(&out, run.time, run.computer, shell::kKitVersion, run.outcome, run.waitNote);
    kit::AppendBytes(&out, run.notes.data, run.notes.length);
    if (run.programRan) {
        kit::AppendBytes(&out, run.trace, run.program.length);
    }
    if (shell::AppendLogRecord(run.folder, out.data, out.length) == 0 && kit::OutcomeMarks(run.outcome)) {
        // The marker tells where the record should have been.
        MarkRun(run.folder.log);
    }
    shell::ReleaseLock();
    return kit::OutcomeExitCode(run.outcome);
}

// Takes nothing. Collects what the program saw into a new collection
// folder, noting where.
void CollectRun() {
    if (shell::MakeCollectionFolder(run.folder) == 0) {
        Note(run.folder.collection, " could not be made: nothing collected");
        return;
    }
    char summary[256];
    FormatText(summary, sizeof summary, "EdccaKit %s, %s, %s: %s, exit code %d", shell::kKitVersion, run.time,
               run.computer, kit::OutcomeName(run.outcome), kit::OutcomeExitCode(run.outcome));
    shell::CollectionFiles files = {&run.folder, INVALID_HANDLE_VALUE, {}, false};
    kit::CollectionSink const sink = {&files, shell::BeginCollectionFile, shell::AppendCollectionFile,
                                      shell::EndCollectionFile};
    kit::CollectMachine(sink, summary, run.trace, run.program.length);
    Note("what the program saw is collected in ", run.folder.collection);
}

// Takes nothing. After the program's run: the driver keys of present
// adapters holding the setting, and the notes the outcome asks for.
void DescribeAdapters() {
    kit::ListAdapters(&run.after);
    kit::TextBuffer keys = kit::MakeTextBuffer(run.driverKeys, sizeof run.driverKeys);
    kit::TextBuffer values = kit::MakeTextBuffer(run.record, sizeof run.record);
    char record[kit::kMostRecordBytes];
    int present = 0;
    for (std::size_t i = 0; i < run.after.count; ++i) {
        const kit::Adapter &adapter = run.after.adapters[i];
        if (!adapter.present) {
            continue;
        }
        ++present;
        if (kit::HoldsSetting(adapter.value)) {
            kit::AppendText(&keys, keys.length > 0 ? " " : "");
            kit::AppendText(&keys, adapter.recordName);
        }
        kit::AppendText(&values, " \"");
        kit::AppendText(&values, adapter.recordName);
        kit::AppendText(&values, ": EDCCAEnable ");
        kit::AppendText(&values, kit::EncodeRecord(adapter.value, record) == 1 ? record : "larger than 1024 bytes");
        kit::AppendText(&values, "\"");
    }
    if (run.outcome == kit::Outcome::SeveralAdapters) {
        char note[kMostDriverKeysBytes + 160];
        FormatText(note, sizeof note,
                   "the last attempt counted %d adapters; the program provisioned the last one it found only. "
                   "Driver keys holding EDCCAEnable = 1: %s",
                   run.account.adaptersCounted, run.driverKeys);
        Note(note);
    }
    if (run.outcome == kit::Outcome::NoDecision && present > 1) {
        char count[16];
        FormatText(count, sizeof count, "%d", present);
        Note(count, " adapters are present; the program queries the last one it finds only:", values.data);
    }
}

// Takes whether /collect asked for a collection. Provisions. Returns the exit code.
int Provision(bool collect) {
    int code = 0;
    if (BeginRun(&code) == 0) {
        return code;
    }
    run.driverKeys[0] = '\0';
    run.account = kit::RunAccount();
    if (kit::ListAdapters(&run.before) == 0) {
        // Nothing could be recorded ahead: the program does not run.
        run.outcome = kit::Outcome::MarkerFailed;
        Note("the network devices could not be listed: nothing was recorded, and the program did not run");
        return EndRun();
    }
    if (run.before.count == 0) {
        run.outcome = kit::Outcome::NotApplicable;
        Note("no network device USB\\VID_13B1&PID_003B was ever installed: nothing to do");
        return EndRun();
    }
    if (kit::WriteRecordsAhead(run.before, run.written, &run.notes) == 0) {
        run.outcome = kit::Outcome::MarkerFailed;
        return EndRun();
    }
    run.programRan = shell::RunProgram(&run.program, run.trace, sizeof run.trace, kProgramLimitMs) == 1;
    kit::ReadRunAccount(run.trace, run.programRan ? run.program.length : 0, &run.account);
    kit::SettleRecordsAfter(run.before, run.written, &run.notes);
    if (!run.programRan) {
        run.outcome = kit::Outcome::ProgramMissing;
        char note[shell::kMostPathBytes + 64];
        FormatText(note, sizeof note, "EdccaProvision.exe did not run (error %u); looked for: \"%s\"",
                   static_cast<unsigned>(run.program.error), run.program.path);
        Note(note);
        return EndRun();
    }
    run.outcome = kit::ClassifyProgramRun(run.account, run.program.endedForTime);
    if (run.outcome == kit::Outcome::ProgramMissing) {
        // It started but wrote no attempt: its exit code is what tells.
        char note[shell::kMostPathBytes + 64];
        FormatText(note, sizeof note, "EdccaProvision.exe did not run (error %u); looked for: \"%s\"",
                   static_cast<unsigned>(run.program.exitCode), run.program.path);
        Note(note);
    } else if (run.outcome == kit::Outcome::ProgramTimedOut) {
        Note("EdccaProvision.exe did not end within 30 s and was ended");
    }
    DescribeAdapters();
    bool const saysWritten = run.outcome == kit::Outcome::Written || run.outcome == kit::Outcome::SeveralAdapters;
    if (saysWritten && (run.program.exitCode != 0 || run.driverKeys[0] == '\0')) {
        // The trace's region line came before the write: a program ended
        // between the two, or a write that did not hold, is no success.
        char note[kMostDriverKeysBytes + 128];
        FormatText(note, sizeof note,
                   "the trace says region 1, but the program ended with exit code %u, and the driver keys of adapters "
                   "plugged in that hold EDCCAEnable = 1 are: %s",
                   static_cast<unsigned>(run.program.exitCode), run.driverKeys[0] != '\0' ? run.driverKeys : "none");
        Note(note);
        run.outcome = kit::Outcome::WriteFailed;
    }
    if (kit::OutcomeMarks(run.outcome) && MarkRun("") == 0) {
        Note("the marker HKLM\\SYSTEM\\EdccaProvision could not be written whole (", kit::OutcomeName(run.outcome),
             ")");
        run.outcome = kit::Outcome::MarkerFailed;
    }
    if ((collect || kit::OutcomeCollects(run.outcome)) && run.outcome != kit::Outcome::ProgramMissing) {
        CollectRun();
    }
    return EndRun();
}

// Takes nothing. Puts back the rollback records and removes the marker.
// Returns the exit code.
int Uninstall() {
    int code = 0;
    if (BeginRun(&code) == 0) {
        return code;
    }
    run.outcome = kit::RestoreRecordsAndRemoveMarker(&run.notes);
    return EndRun();
}

// Takes nothing. Prints what the machine holds. Returns /status's exit code.
int ReportStatus() {
    if (kit::ListAdapters(&run.before) == 0) {
        Print("The network devices could not be listed.\r\n");
        return kStatusFailedExitCode;
    }
    kit::TextBuffer out = kit::MakeTextBuffer(run.record, sizeof run.record);
    kit::StatusVerdict const verdict = kit::WriteStatusReport(run.before, &out);
    shell::WriteOutput(out.data, out.length);
    return kit::StatusExitCode(verdict);
}

} // namespace

// Takes the command line as GetCommandLineA gives it. Returns the exit code.
extern "C" int KitMain(const char *commandLine) {
    switch (kit::ParseCommandLine(kit::SkipProgramName(commandLine))) {
    case kit::Command::Provision:
        return Provision(false);
    case kit::Command::Collect:
        return Provision(true);
    case kit::Command::Uninstall:
        return Uninstall();
    case kit::Command::Status:
        return ReportStatus();
    case kit::Command::Help:
        return PrintUsage(0);
    case kit::Command::Wrong:
        break;
    }
    return PrintUsage(kit::kWrongArgumentsExitCode);
}
