// Collection folders: what ReadCollection accepts and how it names the file
// and field it refuses; how a replayed last attempt is held to the recorded
// one; and the kit's collector run on scenario machines through the seam,
// its collection replayed to the same last attempt.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/replay.h"
#include "formats/collection.h"
#include "judge/judge.h"
#include "kit/collector.h"
#include "runner/run_tool.h"

namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::string> kWellFormed = {
    {"trace.txt", "--> DetectAdapter()\r\n--> GetAvailableAdapters()\r\n"},
    {"facts.txt", "Version=10.0.19045\r\nBuildNumber=19045\r\nProductType=\r\nPresence=Win32_PnPEntity\r\n"
                  "Present=usb\\vid_13b1&pid_003b\\1\r\n"},
    {"adapter.reg",
     "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\1]\r\n"
     "\"ClassGUID\"=\"{4D36E972-E325-11CE-BFC1-08002BE10318}\"\r\n"
     "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_13B1&PID_003B\\2]\r\n"},
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
        {.what = "no attempt", .changes = {{"trace.txt", "Cannot find\r\n"}}, .file = "trace.txt", .field = "attempt"},
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
         .changes = {{"b.reg", "REGEDIT4\n\n[HKEY_CURRENT_USER\\X]\n"}},
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
        fs::path const folder = fs::path(::testing::TempDir()) / ("collection-" + std::string(c.what));
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
        sim::Collection collection;
        std::string error;
        bool const loaded = sim::ReadCollection(folder.string(), &collection, &error);
        fs::remove_all(folder);
        if (c.file.empty()) {
            ASSERT_TRUE(loaded) << error;
            EXPECT_EQ(collection.trace, "--> DetectAdapter()\n--> GetAvailableAdapters()\n");
            // Windows 10 reports Windows 8's version to a program not manifested for it.
            EXPECT_EQ(collection.version.major, 6U);
            EXPECT_EQ(collection.version.build, 9200U);
            EXPECT_TRUE(collection.productTypeAssumed);
            std::vector<std::pair<std::string, bool>> const devices = {{"USB\\VID_13B1&PID_003B\\1", true},
                                                                       {"USB\\VID_13B1&PID_003B\\2", false}};
            EXPECT_EQ(collection.devices, devices);
            continue;
        }
        EXPECT_FALSE(loaded) << c.what;
        std::string const file = (folder / c.file).generic_string() + ": ";
        EXPECT_EQ(error.substr(0, file.size()), file) << c.what;
        EXPECT_NE(error.find(c.field, file.size()), std::string::npos) << c.what << ": " << error;
    }
}

TEST(Collection, NamesTheFirstLineOfTheLastAttemptThatDiffers) {
    struct Case {
        std::string recorded;
        std::string replayed;
        sim::LineDifference difference;
    } const cases[] = {
        {"--> A\nB\n", "--> A\nB\n", {}},
        {"--> A\nB\nC\n", "--> A\nX\nC\n", {2, "B\n", "X\n"}},
        {"--> A\nB\n", "--> A\n", {2, "B\n", std::nullopt}},
        {"--> A\nB", "--> A\nB\n", {2, "B", "B\n"}},
    };
    for (const Case &c : cases) {
        sim::LineDifference const difference = sim::FindFirstDifference(c.recorded, c.replayed);
        EXPECT_EQ(difference.line, c.difference.line) << c.recorded;
        EXPECT_EQ(difference.recorded, c.difference.recorded) << c.recorded;
        EXPECT_EQ(difference.replayed, c.difference.replayed) << c.recorded;
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

// Takes text with LF line ends. Returns it with CR LF, as the program writes on Windows.
std::string WithCrLf(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

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

TEST(Collection, TheCollectorsCollectionReplaysTheRun) {
    struct Case {
        const char *scenario;                                 // below the source tree
        std::function<void(sim::Machine &)> change = nullptr; // made after the run, before collecting
        std::vector<std::string> factLines = {};              // whole lines facts.txt must hold
        std::vector<std::string> files = {};                  // the files kept, in name order
        std::string note = {};                                // a line collection.txt must hold ("" none)
        std::string firstHardwareId = {};                     // a device's, as read back ("" none)
        std::pair<std::string, std::string> exported = {};    // a file and a line it must hold
        bool reproduced = true;
    } const cases[] = {
        {.scenario = "examples/exhausted-region-3.json",
         .factLines = {"MajorVersion=6", "BuildNumber=9200", "ProcessorArchitecture=AMD64", "CodePage=1252",
                       ("Device=present USB\\VID_13B1&PID_003B\\00E04C3B0001 USB\\VID_13B1&PID_003B&REV_0001 "
                        "{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"),
                       ("DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0007 writable 0 "
                        "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)")},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"}},
        {.scenario = "examples/exhausted-no-adapter.json",
         .factLines = {"Presence=SetupDi"},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"}},
        {.scenario = "examples/two-adapters-second-driver-not-loaded.json",
         .factLines = {"DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0007 writable 0 "
                       "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)",
                       "DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0011 writable 0 "
                       "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)"},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"}},
        {.scenario = "tests/scenarios/composite-interface.json",
         .factLines = {"Device=present USB\\VID_13B1&PID_003B&MI_00\\6&2A7F3C1&0&0000 USB\\VID_13B1&PID_003B&MI_00 "
                       "{4d36e972-e325-11ce-bfc1-08002be10318}\\0009"},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"},
         .firstHardwareId = "USB\\VID_13B1&PID_003B&MI_00"},
        // The collector's open for writing is refused as the program's is; the replay refuses it again.
        {.scenario = "examples/driver-key-access-denied.json",
         .factLines = {"DriverKey={4d36e972-e325-11ce-bfc1-08002be10318}\\0007 denied 5 "
                       "O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KR;;;BA)(A;CI;KR;;;SY)"},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"}},
        // The older layout: Services\Class\Net is exported; the version is 98's as recorded.
        {.scenario = "tests/scenarios/driver-key-missing.json",
         .factLines = {"MajorVersion=4", "MinorVersion=10", "BuildNumber=67766446", "PlatformId=1",
                       "DriverKey={4D36E972-E325-11CE-BFC1-08002BE10318}\\0009 missing 2 "},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "services-class-net.reg",
                   "trace.txt"}},
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
                       "{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"},
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"},
         .firstHardwareId = kHostileId},
        // Past 4 MB an export is left out and collection.txt says so; the replay then lacks the driver key.
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
         .reproduced = false},
        // Keys nested deeper than the registry allows are left out of the walk, which does not recurse.
        {.scenario = "examples/exhausted-region-3.json",
         .change =
             [](sim::Machine &machine) {
                 std::string path = kAdapterEnum;
                 for (int level = 0; level < 600; ++level) {
                     path += "\\L";
                 }
                 machine.registry.CreateKey(path);
             },
         .files = {"class.reg", "collection.txt", "enum.reg", "environment.reg", "facts.txt", "trace.txt"},
         .exported = {"enum.reg", "; a subkey of the key above is left out: too deep, too long a path, or a line "
                                  "break in its name"}},
    };
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
        std::string const trace = WithCrLf(scenario.expect.standardOutput.value_or(machine.standardOutput));
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
        EXPECT_EQ(names, c.files);
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

        fs::path const folder = fs::path(::testing::TempDir()) / "collected";
        WriteFolder(folder, memory.files);
        sim::Replay replay;
        ASSERT_TRUE(sim::PrepareReplay(folder.string(), "", &replay, &error)) << error;
        EXPECT_EQ(replay.collection.collector, "EdccaKit 2.0.0");
        if (!c.firstHardwareId.empty()) {
            bool found = false;
            for (const sim::CollectedDevice &device : replay.collection.deviceFacts) {
                found = found || device.firstHardwareId == c.firstHardwareId;
            }
            EXPECT_TRUE(found) << facts;
        }
        sim::Machine replayed;
        sim::BuildMachine(replay.scenario, replayed);
        sim::RunTool(replayed);
        std::ostringstream report;
        EXPECT_EQ(sim::ReportReplay(replay, replayed.standardOutput, report), c.reproduced)
            << report.str() << replay.scenarioText;
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
        {[](sim::Machine &) {}, 6, 9200, 1252, false, ""},
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
        fs::path const folder = fs::path(::testing::TempDir()) / "collected-version";
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
        EXPECT_FALSE(collection.versionCapped);
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
