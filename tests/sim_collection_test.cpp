// Collection folders: what ReadCollection accepts and how it names the file
// and field it refuses; how a replayed last attempt is held to the recorded
// one; and the kit's collector run on scenario machines through the seam,
// its collection replayed to the same last attempt.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "judge/judge.h"
#include "kit/collector.h"
#include "replay/collection.h"
#include "replay/replay.h"
#include "runner/run_tool.h"
#include "support/tool_machine.h"

namespace {

namespace fs = std::filesystem;
using support::Repeat;
using support::WithCrLf;

// Takes a name. Returns a folder of that name for this process alone: two
// builds' tests may run at once on one machine.
fs::path ScratchFolder(const std::string &name) {
    return fs::path(::testing::TempDir()) / (name + "-" + std::to_string(getpid()));
}

// One attempt that finds no adapter, as the program writes it on Windows.
const std::string kNotFound = "--> DetectAdapter()\r\n--> GetAvailableAdapters()\r\n"
                              "GetAvailableAdapters() : No Available Adapter\r\n"
                              "<-- GetAvailableAdapters() :  Available adapter number = 0\r\n"
                              "<-- DetectAdapter()\r\nCannot find any adapter card !\r\n";
// One attempt that counts an adapter and reads region 3, then fails to open a
// driver key whose instance name holds bytes of the registry.
const std::string kRegion3 =
    "--> DetectAdapter()\r\n<-- GetAvailableAdapters() :  Available adapter number = 1\r\n"
    "<-- DetectAdapter()\r\n Offset 0x38 = 0x1c \r\n GetSupportCountryRegion Offset 0x38 = "
    "0x3 , 0x39 = 0x0 \r\nRegOpenKeyEx 'System\\CurrentControlSet\\Control\\Class\\Net\\\x01\xFF'"
    " failed\r\n";

const std::map<std::string, std::string> kWellFormed = {
    {"trace.txt", Repeat(kNotFound, 40)},
    {"facts.txt", "Version=10.0.19045\r\nBuildNumber=19045\r\nProductType=\r\nPresence=Win32_PnPEntity\r\n"
                  "Present=usb\\vid_13b1&pid_003b\\1\r\n"},
    {"adapter.reg",
     "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\1]\r\n"
     "\"ClassGUID\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\r\n"
     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\2]\r\n\r\n"},
    {"collection.txt", "not read"},
};

// 2.0.0's facts up to the first Device= line: eleven lines.
const std::string kFacts2 = "Collector=EdccaKit 2.0.0\r\nMajorVersion=6\r\nMinorVersion=2\r\nBuildNumber=9200\r\n"
                            "PlatformId=2\r\nCSDVersion=\r\nProductType=1\r\nServerR2=0\r\n"
                            "ProcessorArchitecture=x86\r\nCodePage=1252\r\nPresence=SetupDi\r\n";

TEST(Collection, LoadsOrNamesTheFileAndFieldItRefuses) {
    struct Case {
        const char *what;
        std::map<std::string, std::optional<std::string>> changes; // nullopt removes the file
        std::string file;                                          // "" for the row that loads
        std::string field;                                         // a part of the message after the file
    } const cases[] = {
        {.what = "well-formed", .changes = {}, .file = "", .field = ""},
        {.what = "no trace", .changes = {{"trace.txt", std::nullopt}}, .file = "trace.txt", .field = "missing"},
        {.what = "foreign first line",
         .changes = {{"trace.txt", "Cannot find\r\n" + Repeat(kNotFound, 40)}},
         .file = "trace.txt",
         .field = "line 1: not the program's"},
        {.what = "trace cut mid-line",
         .changes = {{"trace.txt", Repeat(kNotFound, 40) + "--> Det"}},
         .file = "trace.txt",
         .field = "line 241: cut mid-line"},
        {.what = "trace NUL",
         .changes = {{"trace.txt",
                      Repeat(kNotFound, 39) + "--> DetectAdapter()\r\n" + std::string(1, '\0') + kNotFound}},
         .file = "trace.txt",
         .field = "line 236: byte 0x00"},
        {.what = "41 attempts",
         .changes = {{"trace.txt", Repeat(kNotFound, 41)}},
         .file = "trace.txt",
         .field = "attempts: 41"},
        {.what = "cut short",
         .changes = {{"trace.txt", Repeat(kNotFound, 39)}},
         .file = "trace.txt",
         .field = "attempts: 39 without a line that ends the run"},
        {.what = "export cut",
         .changes = {{"b.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\X]\r\n\"A\"=\"1\"\r\n"}},
         .file = "b.reg",
         .field = "end: cut"},
        {.what = "export left out",
         .changes = {{"facts.txt", kFacts2},
                     {"collection.txt", "EdccaKit 2.0.0, 2026-12-08T20:30:36Z, PC-1: NoDecision, exit code 1618\r\n"
                                        "HKLM\\SYSTEM\\CurrentControlSet\\Enum: left out, larger than 4 MB\r\n"}},
         .file = "collection.txt",
         .field = "line 2: the kit noted \"HKLM\\\\SYSTEM\\\\CurrentControlSet\\\\Enum: left out"},
        // The adapter counted is of an enumerator the exports left out: its driver key names it.
        {.what = "adapter missing",
         .changes = {{"trace.txt", Repeat(kRegion3, 40)},
                     {"class.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                   "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0011]\r\n"
                                   "\"MatchingDeviceId\"=\"usb\\\\vid_13b1&pid_003b\"\r\n\r\n"}},
         .file = "*.reg",
         .field = "adapters: the recorded last attempt counts 1, the exports hold 0; missing: the device of driver "
                  "key {4D36E972-E325-11CE-BFC1-08002BE10318}\\0011"},
        {.what = "no facts", .changes = {{"facts.txt", std::nullopt}}, .file = "facts.txt", .field = "missing"},
        {.what = "no =", .changes = {{"facts.txt", "Version=6.1\nPresence\n"}}, .file = "facts.txt", .field = "line 2"},
        {.what = "unknown name",
         .changes = {{"facts.txt", "Version=6.1\nPresence=assumed\nColour=red\n"}},
         .file = "facts.txt",
         .field = "line 3: unknown name \"Colour\""},
        {.what = "no Version",
         .changes = {{"facts.txt", "Presence=assumed\n"}},
         .file = "facts.txt",
         .field = "Version"},
        {.what = "Version text",
         .changes = {{"facts.txt", "Version=ten\nPresence=assumed\n"}},
         .file = "facts.txt",
         .field = "Version: expected major.minor[.build], got \"ten\""},
        {.what = "no Presence", .changes = {{"facts.txt", "Version=6.1\n"}}, .file = "facts.txt", .field = "Presence"},
        {.what = "Presence word",
         .changes = {{"facts.txt", "Version=6.1\nPresence=maybe\n"}},
         .file = "facts.txt",
         .field = "Presence"},
        {.what = "Present elsewhere",
         .changes = {{"facts.txt", "Version=6.1\nPresence=Win32_PnPEntity\nPresent=USB\\VID_13B1&PID_003B\n"}},
         .file = "facts.txt",
         .field = "Present"},
        {.what = "no .reg", .changes = {{"adapter.reg", std::nullopt}}, .file = "*.reg", .field = "regedit exports"},
        {.what = "refused .reg",
         .changes = {{"b.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n\n"}},
         .file = "b.reg",
         .field = "line 3"},
        {.what = "2.0 escape",
         .changes = {{"facts.txt", kFacts2 + "Device=present USB\\VID_13B1&PID_003B\\1 a%4 b\r\n"}},
         .file = "facts.txt",
         .field = "line 12: Device: '%' without two upper-case hex digits"},
        {.what = "2.0 fields",
         .changes = {{"facts.txt", kFacts2 + "Device=present USB\\VID_13B1&PID_003B\\1 a b c\r\n"}},
         .file = "facts.txt",
         .field = "line 12: Device: expected 4 fields"},
        {.what = "2.0 elsewhere",
         .changes = {{"facts.txt", kFacts2 + "Device=present USB\\VID_13B1&PID_003B\\3  \r\n"}},
         .file = "facts.txt",
         .field = "Device: \"USB\\\\VID_13B1&PID_003B\\\\3\" is no device instance"},
        {.what = "2.0 denied without error",
         .changes = {{"facts.txt", kFacts2 + "DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0007 denied 0 \r\n"}},
         .file = "facts.txt",
         .field = "line 12: DriverKey: expected"},
        {.what = "2.0 presence",
         .changes = {{"facts.txt",
                      "Collector=EdccaKit 2.0.0\r\nMajorVersion=6\r\nMinorVersion=2\r\nBuildNumber=9200\r\n"
                      "PlatformId=2\r\nCSDVersion=\r\nProductType=1\r\nServerR2=0\r\n"
                      "ProcessorArchitecture=x86\r\nCodePage=1252\r\nPresence=Win32_PnPEntity\r\n"}},
         .file = "facts.txt",
         .field = "Presence: expected SetupDi"},
        {.what = "2.0 no code page",
         .changes = {{"facts.txt",
                      "Collector=EdccaKit 2.0.0\r\nMajorVersion=6\r\nMinorVersion=2\r\nBuildNumber=9200\r\n"
                      "PlatformId=2\r\nCSDVersion=\r\nProductType=1\r\nServerR2=0\r\nPresence=SetupDi\r\n"}},
         .file = "facts.txt",
         .field = "CodePage: missing"},
        {.what = "2.0 1.2 name",
         .changes = {{"facts.txt", kFacts2 + "Present=USB\\VID_13B1&PID_003B\\1\r\n"}},
         .file = "facts.txt",
         .field = "line 12: unknown name \"Present\""},
        {.what = "oversize",
         .changes = {{"trace.txt", std::string(sim::kCollectionFileLimit + 1, '-')}},
         .file = "trace.txt",
         .field = "larger than 16 MiB"},
    };
    for (const Case &c : cases) {
        fs::path const folder = ScratchFolder("collection-" + std::string(c.what));
        fs::remove_all(folder);
        fs::create_directories(folder);
        std::map<std::string, std::optional<std::string>> files(kWellFormed.begin(), kWellFormed.end());
        for (const auto &change : c.changes) {
            files[change.first] = change.second;
        }
        for (const auto &file : files) {
            if (file.second) {
                std::ofstream(folder / file.first, std::ios::binary) << *file.second;
            }
        }
        sim::Replay replay;
        std::string error;
        bool const loaded = sim::PrepareReplay(folder.string(), "", &replay, &error);
        const sim::Collection &collection = replay.collection;
        fs::remove_all(folder);
        std::ostringstream report;
        sim::ReplayVerdict const verdict = sim::ReportReplay(replay, "", report);
        if (c.file.empty()) {
            ASSERT_TRUE(loaded) << error;
            EXPECT_EQ(verdict, sim::ReplayVerdict::NotReproduced); // the replayed trace given is empty
            EXPECT_EQ(collection.trace.substr(0, 47), "--> DetectAdapter()\n--> GetAvailableAdapters()\n");
            // Windows 10 reports Windows 8's version to a program not manifested for it.
            EXPECT_EQ(collection.version.major, 6U);
            EXPECT_EQ(collection.version.build, 9200U);
            EXPECT_EQ(collection.version.productType, host::VER_NT_WORKSTATION); // assumed: none given
            ASSERT_EQ(collection.devices.size(), 2U);
            EXPECT_EQ(collection.devices[0].path, "USB\\VID_13B1&PID_003B\\1");
            EXPECT_TRUE(collection.devices[0].present);
            EXPECT_FALSE(collection.devices[1].present);
            continue;
        }
        EXPECT_FALSE(loaded) << c.what;
        std::string const file = (folder / c.file).generic_string() + ": ";
        EXPECT_EQ(error.substr(0, file.size()), file) << c.what;
        EXPECT_NE(error.find(c.field, file.size()), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(verdict, sim::ReplayVerdict::CannotReplay) << c.what;
        std::string const cause = "verdict: cannot replay\ncause: " + c.file + ": ";
        EXPECT_EQ(report.str().rfind(cause, 0), 0U) << c.what << ": " << report.str();
        EXPECT_NE(report.str().find(c.field, cause.size()), std::string::npos) << c.what << ": " << report.str();
    }
}

TEST(Collection, NamesTheFirstLineOfTheLastAttemptThatDiffers) {
    std::string const notFound = "--> DetectAdapter()\nGetAvailableAdapters() : No Available Adapter\n"
                                 "<-- DetectAdapter()\nCannot find any adapter card !\n";
    struct Case {
        std::string replayed;
        sim::ReplayVerdict verdict;
        std::string cause;
    } const cases[] = {
        {notFound, sim::ReplayVerdict::Reproduced, "no adapter present: the program waits for the adapter"},
        {"--> DetectAdapter()\nX\n<-- DetectAdapter()\nCannot find any adapter card !\n",
         sim::ReplayVerdict::NotReproduced,
         "attempt 1, line 2 differs: recorded \"GetAvailableAdapters() : No Available Adapter\\n\", replayed \"X\\n\""},
        {"--> DetectAdapter()\n", sim::ReplayVerdict::NotReproduced,
         "attempt 1, line 2 differs: recorded \"GetAvailableAdapters() : No Available Adapter\\n\", replayed (no such "
         "line)"},
        {notFound + notFound, sim::ReplayVerdict::NotReproduced,
         "the recording ends cut short after 1 attempts, the replay ends cut short after 2"},
    };
    for (const Case &c : cases) {
        sim::Replay replay;
        replay.collection.trace = notFound;
        std::ostringstream report;
        EXPECT_EQ(sim::ReportReplay(replay, c.replayed, report), c.verdict) << c.replayed;
        std::string const verdict = c.verdict == sim::ReplayVerdict::Reproduced ? "reproduced" : "not reproduced";
        EXPECT_EQ(report.str().rfind("verdict: " + verdict + "\ncause: " + c.cause + "\n", 0), 0U) << report.str();
    }
}

// The collection sink of a test: files kept in memory, a file ended with
// keep false dropped; `refused` names a file whose begin fails.
struct MemorySink {
    std::map<std::string, std::string> files;
    std::string current;
    std::string bytes;
    std::vector<std::string> dropped;
    std::string refused;
    int strayEnds = 0; // ends of a file whose begin failed
};

kit::CollectionSink MakeSink(MemorySink *memory) {
    kit::CollectionSink sink{};
    sink.context = memory;
    sink.begin = [](void *context, const char *fileName) {
        auto *m = static_cast<MemorySink *>(context);
        m->current = fileName;
        m->bytes.clear();
        return m->current == m->refused ? 0 : 1;
    };
    sink.append = [](void *context, const char *bytes, std::size_t length) {
        static_cast<MemorySink *>(context)->bytes.append(bytes, length);
        return 1;
    };
    sink.end = [](void *context, bool keep) {
        auto *m = static_cast<MemorySink *>(context);
        m->strayEnds += m->current == m->refused ? 1 : 0;
        if (keep) {
            m->files[m->current] = m->bytes;
        } else {
            m->dropped.push_back(m->current);
        }
        return 1;
    };
    return sink;
}

fs::path SourceDir() { return fs::path(EDCCA_SOURCE_DIR); }

// Takes a folder and files. Writes them there, afresh.
void WriteFolder(const fs::path &folder, const std::map<std::string, std::string> &files) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto &[name, bytes] : files) {
        std::ofstream(folder / name, std::ios::binary) << bytes;
    }
}

constexpr char kSummary[] = "EdccaKit 2.0.0, 2026-12-08T20:30:36Z, PC-1: NoDecision, exit code 1618";
constexpr char kAdapterEnum[] = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\00E04C3B0001";
constexpr char kHostileId[] = "USB\\VID_13B1&PID_003B\r\nDevice=present FAKE %41 x";

// Every scenario's machine, the tool run on it, collected by the kit's
// collector through the seam and replayed: the replay writes the recorded
// last attempt again and, where the machine does not change during the run,
// the whole trace. Named rows hold what the collection must carry, or change
// the machine after the run; every other scenario is a row of its own.
TEST(Collection, TheCollectorsCollectionReplaysEveryScenario) {
    struct Case {
        std::string scenario;                                 // below the source tree
        std::function<void(sim::Machine &)> change = nullptr; // made after the run, before collecting
        std::vector<std::string> factLines = {};              // whole lines facts.txt must hold
        std::vector<std::string> files = {};                  // the files kept, in name order (empty: any)
        std::string note = {};                                // a line collection.txt must hold ("" none)
        std::pair<std::string, std::string> exported = {};    // a file and a line it must hold
        sim::ReplayVerdict verdict = sim::ReplayVerdict::Reproduced;
        bool sameRun = true; // the replay's whole trace is the run's
    };
    std::vector<Case> cases = {
        {.scenario = "examples/exhausted-region-3.json",
         .factLines = {"MajorVersion=6", "BuildNumber=9200", "ProcessorArchitecture=AMD64", "CodePage=1252",
                       ("Device=present USB\\VID_13B1&PID_003B\\00E04C3B0001 USB\\VID_13B1&PID_003B&REV_0001 "
                        "{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"),
                       ("DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0007 writable 0 "
                        "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)")},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"}},
        {.scenario = "examples/two-adapters-second-driver-not-loaded.json",
         .factLines = {"DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0011 writable 0 "
                       "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)"}},
        {.scenario = "tests/scenarios/composite-interface.json",
         .factLines = {"Device=present USB\\VID_13B1&PID_003B&MI_00\\6&2A7F3C1&0&0000 USB\\VID_13B1&PID_003B&MI_00 "
                       "{4d36e972-e325-11ce-bfc1-08002be10318}\\0009"}},
        // The collector's open for writing is refused as the program's is; the replay refuses it again.
        {.scenario = "examples/driver-key-access-denied.json",
         .factLines = {"DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0007 denied 5 "
                       "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KR;;;BA)(A;CI;KR;;;SY)"}},
        // The older layout: Services\Class\Net is exported; the version is 98's as recorded.
        {.scenario = "tests/scenarios/driver-key-missing.json",
         .factLines = {"MajorVersion=4", "MinorVersion=10", "BuildNumber=67766446", "PlatformId=1",
                       "DriverKey={4D36E972-E325-11CE-BFC1-08002BE10318}\\0009 missing 2 "},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "services-class-net.reg",
                   "trace.txt"}},
        // A collection holds the machine as it was when collected, not how it changed during the run
        // (a device plugged in or out, a driver loaded, a query failing at first): the replay's run
        // takes another shape, and the verdict says so.
        {.scenario = "examples/plugged-in-late.json", .verdict = sim::ReplayVerdict::NotReproduced, .sameRun = false},
        {.scenario = "examples/region-query-fails-then-answers.json",
         .verdict = sim::ReplayVerdict::NotReproduced,
         .sameRun = false},
        {.scenario = "tests/scenarios/device-unplugged.json", .sameRun = false},
        {.scenario = "tests/scenarios/driver-loads-late.json",
         .verdict = sim::ReplayVerdict::NotReproduced,
         .sameRun = false},
        {.scenario = "tests/scenarios/three-adapters-late-driver.json",
         .verdict = sim::ReplayVerdict::NotReproduced,
         .sameRun = false},
        {.scenario = "tests/scenarios/two-adapters-timed.json",
         .verdict = sim::ReplayVerdict::NotReproduced,
         .sameRun = false},
        // A device string with a line break, spaces and '%' stays one field of one line.
        {.scenario = "examples/exhausted-region-3.json",
         .change =
             [](sim::Machine &machine) {
                 std::string const ids =
                     std::string(kHostileId) + std::string(1, '\0') + "second" + std::string(2, '\0');
                 machine.registry.SetValue(kAdapterEnum, "HardwareID", host::REG_MULTI_SZ, {ids.begin(), ids.end()});
             },
         .factLines = {"Device=present USB\\VID_13B1&PID_003B\\00E04C3B0001 "
                       "USB\\VID_13B1&PID_003B%0D%0ADevice=present%20FAKE%20%2541%20x "
                       "{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"}},
        // Past 4 MB an export is left out and collection.txt says so: the collection cannot be replayed.
        {.scenario = "examples/exhausted-region-3.json",
         .change =
             [](sim::Machine &machine) {
                 machine.registry.SetValue(
                     "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0001", "Blob",
                     host::REG_BINARY, std::vector<std::uint8_t>(1500000, 0xA5));
             },
         .files = {"collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"},
         .note = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}: left "
                 "out, larger than 4 MB",
         .verdict = sim::ReplayVerdict::CannotReplay,
         .sameRun = false},
        // Keys nested deeper than the collector's path holds (names of Windows' longest, 255 characters) are
        // left out of the walk, which does not recurse; the registry nests no deeper than the walk's stack.
        {.scenario = "examples/exhausted-region-3.json",
         .change =
             [](sim::Machine &machine) {
                 std::string path = kAdapterEnum;
                 while (path.size() <= 32768) {
                     path += "\\" + std::string(255, 'L');
                 }
                 ASSERT_NE(machine.registry.CreateKey(path), nullptr);
             },
         .exported = {"enum.reg", "; a subkey of the key above is left out: too deep, too long a path, or a line "
                                  "break in its name"}},
    };
    for (const std::string &scenario : support::ListScenarioFiles()) {
        if (std::none_of(cases.begin(), cases.end(), [&](const Case &c) { return c.scenario == scenario; })) {
            cases.push_back({.scenario = scenario});
        }
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.scenario);
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(sim::LoadScenarioFile((SourceDir() / c.scenario).string(), &scenario, &error)) << error;
        sim::Machine machine;
        sim::BuildMachine(scenario, machine);
        sim::RunTool(machine);
        if (c.change) {
            c.change(machine);
        }
        std::string const trace = WithCrLf(machine.standardOutput);
        MemorySink memory;
        kit::CollectionSink const sink = MakeSink(&memory);
        int collected = 0;
        {
            sim::MachineScope scope(machine);
            collected = kit::CollectMachine(sink, kSummary, trace.data(), trace.size());
        }
        EXPECT_EQ(collected, 1);
        EXPECT_TRUE(machine.OpenObjects().empty()) << ::testing::PrintToString(machine.OpenObjects());
        std::vector<std::string> names;
        for (const auto &file : memory.files) {
            names.push_back(file.first);
        }
        if (!c.files.empty()) {
            EXPECT_EQ(names, c.files);
        }
        EXPECT_EQ(memory.files["trace.txt"], trace);
        std::string const facts = "\r\n" + memory.files["facts.txt"];
        for (const std::string &line : c.factLines) {
            EXPECT_NE(facts.find("\r\n" + line + "\r\n"), std::string::npos) << line << "\n" << facts;
        }
        if (!c.exported.first.empty()) {
            EXPECT_NE(memory.files[c.exported.first].find("\r\n" + c.exported.second + "\r\n"), std::string::npos);
        }
        std::string const summary = memory.files["collection.txt"];
        EXPECT_EQ(summary.rfind(std::string(kSummary) + "\r\n", 0), 0U) << summary;
        if (!c.note.empty()) {
            EXPECT_NE(summary.find("\r\n" + c.note + "\r\n"), std::string::npos) << summary;
        } else {
            EXPECT_EQ(summary, std::string(kSummary) + "\r\n");
        }

        fs::path const folder = ScratchFolder("collected");
        WriteFolder(folder, memory.files);
        sim::Replay replay;
        bool const prepared = sim::PrepareReplay(folder.string(), "", &replay, &error);
        EXPECT_EQ(prepared, c.verdict != sim::ReplayVerdict::CannotReplay) << error;
        EXPECT_EQ(replay.collection.collector, prepared ? "EdccaKit 2.0.0" : "");
        sim::Machine replayed;
        sim::BuildMachine(replay.scenario, replayed);
        sim::RunTool(replayed);
        std::ostringstream report;
        EXPECT_EQ(sim::ReportReplay(replay, replayed.standardOutput, report), c.verdict)
            << report.str() << replay.scenarioText;
        EXPECT_EQ(replayed.standardOutput == machine.standardOutput, c.sameRun) << replayed.standardOutput;
        fs::remove_all(folder);
    }
}

// A collection's version and presence as the collector recorded them: taken
// as they are, with the code page and a failed GetVersionExA.
TEST(Collection, TakesTheRecordedVersionAndCodePage) {
    struct Case {
        std::function<void(sim::Machine &)> change;
        host::DWORD major, build;
        host::UINT codePage;
        bool versionFails;
        std::string csdVersion;
    } const cases[] = {
        {[](sim::Machine &m) {
             m.version = sim::VersionInfo{};
             m.version.major = 10;
             m.version.build = 19045;
             m.version.codePage = 932;
             m.version.csdVersion = "Pack 1 %\x01";
         },
         10, 19045, 932, false, "Pack 1 %\x01"},
        {[](sim::Machine &m) { m.version.getVersionFails = true; }, 6, 9200, 1252, true, ""},
    };
    for (const Case &c : cases) {
        sim::Scenario scenario;
        std::string error;
        ASSERT_TRUE(
            sim::LoadScenarioFile((SourceDir() / "examples/exhausted-region-3.json").string(), &scenario, &error))
            << error;
        sim::Machine machine;
        sim::BuildMachine(scenario, machine);
        c.change(machine);
        std::string const trace = WithCrLf(*scenario.expect.standardOutput);
        MemorySink memory;
        {
            sim::MachineScope scope(machine);
            ASSERT_EQ(kit::CollectMachine(MakeSink(&memory), kSummary, trace.data(), trace.size()), 1);
        }
        fs::path const folder = ScratchFolder("collected-version");
        WriteFolder(folder, memory.files);
        sim::Collection collection;
        ASSERT_TRUE(sim::ReadCollection(folder.string(), &collection, &error)) << error;
        fs::remove_all(folder);
        EXPECT_EQ(collection.version.getVersionFails, c.versionFails);
        if (!c.versionFails) {
            EXPECT_EQ(collection.version.major, c.major);
            EXPECT_EQ(collection.version.build, c.build);
            EXPECT_EQ(collection.version.csdVersion, c.csdVersion);
        }
        EXPECT_EQ(collection.version.codePage, c.codePage);
    }
}

// A file the sink cannot begin is noted in collection.txt, and the others are written.
TEST(Collection, NotesAFileTheSinkRefuses) {
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::LoadScenarioFile((SourceDir() / "examples/exhausted-region-3.json").string(), &scenario, &error))
        << error;
    for (const char *refused : {"facts.txt", "enum.reg"}) {
        sim::Machine machine;
        sim::BuildMachine(scenario, machine);
        MemorySink memory;
        memory.refused = refused;
        int collected = 1;
        {
            sim::MachineScope scope(machine);
            collected = kit::CollectMachine(MakeSink(&memory), kSummary, "", 0);
        }
        EXPECT_EQ(collected, 0) << refused;
        EXPECT_EQ(memory.files.count(refused), 0U) << refused;
        EXPECT_EQ(memory.files.count("class.reg"), 1U) << refused;
        std::string const note = std::string(refused) == "enum.reg"
                                     ? "HKLM\\SYSTEM\\CurrentControlSet\\Enum: could not be exported"
                                     : "facts.txt: could not be written";
        EXPECT_NE(memory.files["collection.txt"].find("\r\n" + note + "\r\n"), std::string::npos)
            << memory.files["collection.txt"];
        EXPECT_TRUE(machine.OpenObjects().empty()) << refused;
        EXPECT_EQ(memory.strayEnds, 0) << refused;
    }
}

} // namespace
