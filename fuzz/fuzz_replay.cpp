// fuzz_replay.cpp - the round trip on a machine built from the fuzzer's bytes
// (fuzz_machine.h): the tool run on it, the kit's collector run on it through
// the seam, the collection written to a folder and replayed as edcca-sim
// --replay replays one.
//
// Nothing may crash. The replay must write the run's last attempt again,
// unless it refuses the collection, naming a file of the folder, or the
// machine carries an injected fault: a fault of the host is no part of what a
// collection holds, and it strikes the collector's calls too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fuzz_machine.h"
#include "kit/collector.h"
#include "replay/replay.h"
#include "kit/core/run_account.h"
#include "machine/machine.h"
#include "runner/run_tool.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSummary[] = "EdccaKit 2.0.0, 2026-12-08T20:30:36Z, PC-1: NoDecision, exit code 1618";

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// The collection folder, made once per process and removed at its end.
struct Folder {
    fs::path path;
    Folder() {
        std::string name = (fs::temp_directory_path() / "fuzz-replay-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) {
            Fail("cannot make the collection folder", name);
        }
        path = name;
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
};

// The collector's sink: each file written into the folder as it comes.
struct FolderSink {
    fs::path folder;
    std::ofstream file;
    fs::path current;
};

kit::CollectionSink MakeSink(FolderSink *sink) {
    return kit::CollectionSink{sink,
                               [](void *context, const char *fileName) {
                                   auto *s = static_cast<FolderSink *>(context);
                                   s->current = s->folder / fileName;
                                   s->file.open(s->current, std::ios::binary | std::ios::trunc);
                                   return s->file ? 1 : 0;
                               },
                               [](void *context, const char *bytes, std::size_t length) {
                                   auto *s = static_cast<FolderSink *>(context);
                                   s->file.write(bytes, static_cast<std::streamsize>(length));
                                   return s->file ? 1 : 0;
                               },
                               [](void *context, bool keep) {
                                   auto *s = static_cast<FolderSink *>(context);
                                   s->file.close();
                                   if (!keep) {
                                       fs::remove(s->current);
                                   }
                                   return 1;
                               }};
}

// Takes a trace. Returns its last attempt as the kit reads a trace.
std::string LastAttempt(const std::string &trace) {
    kit::RunAccount account;
    kit::ReadRunAccount(trace.data(), trace.size(), &account);
    return account.attempts == 0 ? std::string() : trace.substr(account.lastAttemptAt);
}

// Takes text with LF line ends. Returns it with CR LF, as the program writes on Windows.
std::string WithCrLf(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const Folder folder;
    FuzzedDataProvider in(data, size);
    sim::Machine machine;
    fuzz::ConsumeMachine(in, machine);
    bool const faulted = !machine.faults.empty();
    sim::RunTool(machine);
    std::string const trace = WithCrLf(machine.standardOutput);

    std::error_code ignored;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder.path, ignored)) {
        fs::remove(entry.path(), ignored);
    }
    FolderSink files{folder.path, {}, {}};
    {
        sim::MachineScope scope(machine);
        kit::CollectMachine(MakeSink(&files), kSummary, trace.data(), trace.size());
    }

    std::string const name = folder.path.string();
    sim::Replay replay;
    std::string error;
    if (!sim::PrepareReplay(name, "", &replay, &error)) {
        if (error.rfind(name + "/", 0) != 0) {
            Fail("a refused collection's message does not name a file of its folder", error);
        }
        return 0;
    }
    sim::Machine replayed;
    sim::BuildMachine(replay.scenario, replayed);
    sim::RunTool(replayed);
    std::ostringstream report;
    sim::ReplayVerdict const verdict = sim::ReportReplay(replay, replayed.standardOutput, report);
    bool const reproduced = verdict == sim::ReplayVerdict::Reproduced;
    if (reproduced != (report.str().rfind("verdict: reproduced\n", 0) == 0)) {
        Fail("the report's first line disagrees with the verdict", report.str());
    }
    if (!faulted && (!reproduced || LastAttempt(replayed.standardOutput) != LastAttempt(machine.standardOutput))) {
        Fail("the collection of a machine without faults does not replay its run",
             report.str() + "--- run:\n" + machine.standardOutput + "--- replayed:\n" + replayed.standardOutput);
    }
    return 0;
}
