// fuzz_replay.cpp - a collection folder written from the fuzzer's bytes,
// replayed as edcca-sim --replay replays one.
//
// The bytes up to the first line "##" are facts.txt, those up to the next
// such line trace.txt, and any rest a further export imported after a fixed
// machine (the adapter, its driver key, the network class, the environment),
// so that detection, the queries and the write are all reachable. A refused
// collection must be named by its folder; a prepared one must run, and its
// verdict must agree with the recorded and replayed last attempts compared
// whole.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "replay/replay.h"
#include "judge/judge.h"
#include "kit/core/run_account.h"
#include "machine/machine.h"
#include "runner/run_tool.h"

namespace {

namespace fs = std::filesystem;

constexpr char kSeparator[] = "\n##\n";

// A Windows 10 machine with the adapter at driver key 0007 of the network
// class, also reachable on the older layout (Net\0007).
constexpr char kMachineReg[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment]\r\n"
    "\"PROCESSOR_ARCHITECTURE\"=\"AMD64\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}]\r\n"
    "@=\"Network adapters\"\r\n\"Class\"=\"Net\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007]"
    "\r\n\"NetCfgInstanceId\"=\"{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\0007]\r\n"
    "\"DeviceVxDs\"=\"{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\00E04C3B0001]\r\n"
    "\"HardwareID\"=hex(7):55,53,42,5c,56,49,44,5f,31,33,42,31,26,50,49,44,5f,30,30,33,42,00,00\r\n"
    "\"ClassGUID\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\"\r\n"
    "\"Driver\"=\"{4d36e972-e325-11ce-bfc1-08002be10318}\\\\0007\"\r\n";

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

void WriteFile(const fs::path &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << bytes << std::flush)) {
        Fail("cannot write the collection", path.string());
    }
}

// The collection folder, made once per process with the machine's export in
// it, and removed at its end.
struct Folder {
    fs::path path;
    Folder() {
        std::string name = (fs::temp_directory_path() / "fuzz-replay-XXXXXX").string();
        if (mkdtemp(name.data()) == nullptr) {
            Fail("cannot make the collection folder", name);
        }
        path = name;
        WriteFile(path / "machine.reg", kMachineReg);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const Folder folder;
    std::string const bytes(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> parts;
    for (size_t at = 0; parts.size() < 3;) {
        size_t const split = parts.size() < 2 ? bytes.find(kSeparator, at) : std::string::npos;
        parts.push_back(bytes.substr(at, split == std::string::npos ? std::string::npos : split - at + 1));
        if (split == std::string::npos) {
            break;
        }
        at = split + sizeof kSeparator - 1;
    }
    WriteFile(folder.path / "facts.txt", parts[0]);
    WriteFile(folder.path / "trace.txt", parts.size() > 1 ? parts[1] : "");
    fs::path const more = folder.path / "more.reg"; // sorts after machine.reg: imported last
    if (parts.size() > 2) {
        WriteFile(more, parts[2]);
    } else {
        fs::remove(more);
    }

    std::string const name = folder.path.string();
    sim::Replay replay;
    std::string error;
    if (!sim::PrepareReplay(name, "", &replay, &error)) {
        if (error.rfind(name, 0) != 0) {
            Fail("a refused collection's message does not name its folder", error);
        }
        return 0;
    }
    sim::Machine machine;
    sim::BuildMachine(replay.scenario, machine);
    sim::RunTool(machine);
    std::ostringstream report;
    bool const reproduced = sim::ReportReplay(replay, machine.standardOutput, report) == sim::ReplayVerdict::Reproduced;

    // The shapes (attempts, end) and last attempts as the kit reads a trace (kit::ReadRunAccount), compared whole.
    auto shapeAndLastAttempt = [](const std::string &trace) {
        kit::RunAccount account;
        kit::ReadRunAccount(trace.data(), trace.size(), &account);
        return std::to_string(account.attempts) + " " + std::to_string(static_cast<int>(account.end)) + "\n" +
               (account.attempts == 0 ? std::string() : trace.substr(account.lastAttemptAt));
    };
    std::string const recorded = shapeAndLastAttempt(replay.collection.trace);
    bool const equal = recorded == shapeAndLastAttempt(machine.standardOutput);
    bool const saysNot = report.str().rfind("verdict: not reproduced\n", 0) == 0;
    if (reproduced != equal || saysNot == reproduced) {
        Fail("the verdict disagrees with the last attempts compared whole", report.str());
    }
    return 0;
}
