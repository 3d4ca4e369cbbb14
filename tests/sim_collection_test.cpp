// Collection folders: what ReadCollection accepts and how it names the file
// and field it refuses; and how a replayed last attempt is held to the
// recorded one. Replays of whole collections are checked by hand against the
// examples (docs/scenario-format.md, "Replaying a collection").

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "formats/collection.h"
#include "judge/judge.h"

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

} // namespace
