// The kit's core: the account of a run's trace and the outcome it comes to,
// rollback records and their planning, /status, the command line, and the
// log record's and the marker's texts.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/core/kit_adapters.h"
#include "kit/core/kit_arguments.h"
#include "kit/core/kit_outcome.h"
#include "kit/core/kit_status.h"
#include "kit/core/kit_text.h"
#include "kit/core/rollback_record.h"
#include "kit/core/run_account.h"
#include "machine/text.h"
#include "support/tool_machine.h"

namespace {

using support::Repeat;
using support::WithCrLf;

// ---- the run's account

// Trace pieces as the program writes them.
std::string Found(int count) {
    std::string text = "--> DetectAdapter()\n--> GetAvailableAdapters()\n";
    if (count > 1) {
        // The first listing has room for one: it reports the list too small.
        text += "<-- GetAvailableAdapters() :  Available adapter number = -10\n--> GetAvailableAdapters()\n";
    }
    return text + "<-- GetAvailableAdapters() :  Available adapter number = " + std::to_string(count) +
           "\n<-- DetectAdapter()\n";
}
const std::string kNotFound = "--> DetectAdapter()\n--> GetAvailableAdapters()\n"
                              "GetAvailableAdapters() : No Available Adapter\n"
                              "<-- GetAvailableAdapters() :  Available adapter number = 0\n"
                              "<-- DetectAdapter()\nCannot find any adapter card !\n";
std::string Region(const char *code) {
    return std::string(" Offset 0x38 = 0x1c \n GetSupportCountryRegion Offset 0x38 = 0x") + code + " , 0x39 = 0x0 \n";
}
const std::string kOpenFailed = "RegOpenKeyEx 'System\\CurrentControlSet\\Control\\Class\\"
                                "{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007' failed\n";
const std::string kSetFailed = "RegSetValueEx REGSTR_RADIO '1' failed\n";

// Takes an attempt's record. Returns its fields in short: "2 adapters, file opened, EEPROM 0x1c, region 0x1 0x0".
std::string ShowRecord(const kit::AttemptRecord &record) {
    auto answer = [](bool line, bool failed, int value) {
        return !line ? std::string("none") : failed ? std::string("failed") : sim::Hex(value, 1);
    };
    return std::to_string(record.adaptersCounted) + (record.noAdapter ? " (none available)" : "") +
           (record.deviceFileFailed ? ", file failed" : ", file opened") + ", EEPROM " +
           answer(record.eepromLine, record.eepromQueryFailed, record.eepromByte) + ", region " +
           answer(record.regionLine, record.regionQueryFailed, record.regionByte) + " " +
           answer(record.regionLine, record.regionQueryFailed, record.companionByte);
}

TEST(RunAccount, ReadsTracesIntoTheOutcome) {
    struct Row {
        const char *name;
        std::string trace;
        bool endedForTime;
        int attempts;
        int adapters;
        bool everFound;
        kit::AttemptEnd lastEnd;
        long region;
        kit::TraceEnd end;
        kit::Outcome outcome;
        std::string lastAttempt = {}; // its record (ShowRecord), where the row reads it
    };
    using AE = kit::AttemptEnd;
    using TE = kit::TraceEnd;
    using O = kit::Outcome;
    // The version probe's failure ends in no line feed: the region line
    // follows it in one line.
    std::string const probeFailed = "IsX64Platform() : Open Registry Key Fail!";
    std::string const afterProbe = Found(1) + probeFailed + " Offset 0x38 = 0x1c \n" + probeFailed +
                                   " GetSupportCountryRegion Offset 0x38 = 0x2 , 0x39 = 0x0 \n";
    std::string const queryFailed = "[VT][ZoWLAPI] QueryOID Failed!\n";
    std::string const notOpened = "[VT][ZoWLAPI] QueryOID create Mac file failed!";
    Row const rows[] = {
        {"written", Found(1) + Region("1"), false, 1, 1, true, AE::RegionLine, 1, TE::Written, O::Written},
        {"several", Found(2) + Region("1"), false, 1, 2, true, AE::RegionLine, 1, TE::Written, O::SeveralAdapters,
         "2, file opened, EEPROM 0x1C, region 0x1 0x0"},
        {"declined 2", Found(1) + Region("2"), false, 1, 1, true, AE::RegionLine, 2, TE::Declined, O::Declined},
        {"declined 9 late", kNotFound + Found(1) + Region("9"), false, 2, 1, true, AE::RegionLine, 9, TE::Declined,
         O::Declined},
        {"not opened", Repeat(Found(1) + Region("1") + kOpenFailed, 40), false, 40, 1, true, AE::DriverKeyNotOpened, 1,
         TE::Exhausted, O::WriteFailed},
        {"not set", Repeat(Found(1) + Region("1") + kSetFailed, 40), false, 40, 1, true, AE::ValueNotSet, 1,
         TE::Exhausted, O::WriteFailed},
        {"no adapter", Repeat(kNotFound, 40), false, 40, 0, false, AE::NoAdapterCard, -1, TE::Exhausted, O::NoAdapter,
         "0 (none available), file opened, EEPROM none, region none none"},
        {"no EEPROM line", Found(1) + " GetSupportCountryRegion Offset 0x38 = 0x3 , 0x39 = 0x1 \n", false, 1, 1, true,
         AE::RegionLine, 3, TE::CutShort, O::NoDecision, "1, file opened, EEPROM none, region 0x3 0x1"},
        {"each query failed", Found(1) + queryFailed + " Offset 0x38 = 0x0 \n" + queryFailed + Region("0").substr(21),
         false, 1, 1, true, AE::RegionLine, 0, TE::CutShort, O::NoDecision,
         "1, file opened, EEPROM failed, region failed failed"},
        {"device file not opened",
         Found(1) + notOpened + " Offset 0x38 = 0x0 \n" + notOpened +
             " GetSupportCountryRegion Offset 0x38 = 0x0 , "
             "0x39 = 0x0 \n",
         false, 1, 1, true, AE::RegionLine, 0, TE::CutShort, O::NoDecision,
         "1, file failed, EEPROM failed, region failed failed"},
        {"found, then gone", Found(1) + Region("3") + Repeat(kNotFound, 39), false, 40, 0, true, AE::NoAdapterCard, -1,
         TE::Exhausted, O::NoDecision},
        {"region 0x1f", Repeat(Found(1) + Region("1f"), 40), false, 40, 1, true, AE::RegionLine, 0x1f, TE::Exhausted,
         O::NoDecision},
        {"region 0xa, cut short", Found(1) + Region("a"), false, 1, 1, true, AE::RegionLine, 0xa, TE::CutShort,
         O::NoDecision},
        {"region of 7 digits", Found(1) + Region("1000001"), false, 1, 1, true, AE::RegionLine, 0x1000001, TE::CutShort,
         O::NoDecision},
        {"region line cut", Found(1) + " GetSupportCountryRegion Offset 0x38 = 0x", false, 1, 1, true, AE::RegionLine,
         -1, TE::CutShort, O::NoDecision},
        {"region of 8 digits", Found(1) + Region("10000001"), false, 1, 1, true, AE::RegionLine, -1, TE::CutShort,
         O::NoDecision},
        {"empty", "", false, 0, 0, false, AE::None, -1, TE::NoRun, O::ProgramMissing},
        {"no attempt", "The system cannot find the file specified.\r\n", false, 0, 0, false, AE::None, -1, TE::NoRun,
         O::ProgramMissing},
        {"CR LF written", WithCrLf(Found(1) + Region("1")), false, 1, 1, true, AE::RegionLine, 1, TE::Written,
         O::Written},
        {"CR LF several", WithCrLf(Found(3) + Region("1")), false, 1, 3, true, AE::RegionLine, 1, TE::Written,
         O::SeveralAdapters},
        {"CR LF not set", WithCrLf(Repeat(Found(1) + Region("1") + kSetFailed, 40)), false, 40, 1, true,
         AE::ValueNotSet, 1, TE::Exhausted, O::WriteFailed},
        {"after the probe", afterProbe, false, 1, 1, true, AE::RegionLine, 2, TE::Declined, O::Declined,
         "1, file opened, EEPROM 0x1C, region 0x2 0x0"},
        {"after the probe, CR LF", WithCrLf(afterProbe), false, 1, 1, true, AE::RegionLine, 2, TE::Declined,
         O::Declined},
        {"no line end", Found(1) + " Offset 0x38 = 0x1c \n GetSupportCountryRegion Offset 0x38 = 0x1 , 0x39", false, 1,
         1, true, AE::RegionLine, 1, TE::Written, O::Written},
        {"ended for time", Repeat(Found(1) + Region("3"), 7) + "--> DetectAdapter()\n", true, 8, 0, true, AE::None, -1,
         TE::CutShort, O::ProgramTimedOut},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        kit::RunAccount account;
        kit::ReadRunAccount(row.trace.data(), row.trace.size(), &account);
        EXPECT_EQ(account.attempts, row.attempts);
        EXPECT_EQ(account.adaptersCounted, row.adapters);
        EXPECT_EQ(account.adapterEverFound, row.everFound);
        EXPECT_EQ(account.lastAttemptEnd, row.lastEnd);
        EXPECT_EQ(account.region, row.region);
        EXPECT_EQ(account.end, row.end);
        EXPECT_EQ(kit::ClassifyProgramRun(account, row.endedForTime), row.outcome);
        if (!row.lastAttempt.empty()) {
            kit::AttemptRecord record;
            kit::ReadAttempt(row.trace.data() + account.lastAttemptAt, row.trace.size() - account.lastAttemptAt,
                             &record);
            EXPECT_EQ(ShowRecord(record), row.lastAttempt);
        }
    }
}

TEST(RunAccount, FindsWhereAttemptsBegin) {
    std::string const trace =
        "head\r\n" + WithCrLf(Found(1)) + "x--> DetectAdapter()\n--> DetectAdapter(\n" + kNotFound;
    std::size_t const first = 6;
    std::size_t const second = trace.size() - kNotFound.size();
    struct Row {
        std::size_t from;
        std::size_t found;
    };
    Row const rows[] = {{0, first}, {first, first}, {first + 1, second}, {second, second}, {second + 1, trace.size()}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.from);
        EXPECT_EQ(kit::FindAttemptStart(trace.data(), trace.size(), row.from), row.found);
    }
}

// ---- outcomes

TEST(Outcome, NamesExitCodesCollectionsAndMarkers) {
    struct Row {
        kit::Outcome outcome;
        const char *name;
        int exitCode;
        bool collects;
        bool marks;
    };
    using O = kit::Outcome;
    Row const rows[] = {
        {O::Written, "Written", 0, false, true},
        {O::Declined, "Declined", 0, false, true},
        {O::NotApplicable, "NotApplicable", 0, false, false},
        {O::SeveralAdapters, "SeveralAdapters", 2, true, true},
        {O::NoAdapter, "NoAdapter", 1618, true, false},
        {O::NoDecision, "NoDecision", 1618, true, false},
        {O::Busy, "Busy", 1618, false, false},
        {O::WriteFailed, "WriteFailed", 1603, true, false},
        {O::ProgramMissing, "ProgramMissing", 1603, false, false},
        {O::ProgramTimedOut, "ProgramTimedOut", 1603, true, false},
        {O::MarkerFailed, "MarkerFailed", 1603, true, false},
        {O::UnsafeFolder, "UnsafeFolder", 1603, false, false},
        {O::Uninstalled, "Uninstalled", 0, false, false},
        {O::UninstallFailed, "UninstallFailed", 1603, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_STREQ(kit::OutcomeName(row.outcome), row.name);
        EXPECT_EQ(kit::OutcomeExitCode(row.outcome), row.exitCode);
        EXPECT_EQ(kit::OutcomeCollects(row.outcome), row.collects);
        EXPECT_EQ(kit::OutcomeMarks(row.outcome), row.marks);
    }
}

// ---- rollback records

constexpr std::uint32_t kSz = 1;
constexpr std::uint32_t kExpandSz = 2;
constexpr std::uint32_t kBinary = 3;
constexpr std::uint32_t kDword = 4;
constexpr std::uint32_t kMultiSz = 7;

// A value as rows give it: none, or a type and its bytes.
struct Value {
    bool present = false;
    std::uint32_t type = 0;
    std::string bytes;
    bool tooLarge = false;
};
Value Absent() { return {}; }
Value Of(std::uint32_t type, std::string bytes) { return {true, type, std::move(bytes), false}; }
Value Sz(const char *text) { return Of(kSz, std::string(text) + '\0'); }

// Takes a row's value. Returns it as the kit holds it (on the heap: it is large).
std::unique_ptr<kit::RegistryValue> MakeValue(const Value &value) {
    auto made = std::make_unique<kit::RegistryValue>();
    made->present = value.present;
    made->type = value.type;
    made->tooLarge = value.tooLarge;
    made->size = static_cast<std::uint32_t>(value.bytes.size());
    std::memcpy(made->data, value.bytes.data(), std::min(value.bytes.size(), sizeof made->data));
    return made;
}

// Takes a value the kit holds and a row's. Expects them the same.
void ExpectValue(const kit::RegistryValue &got, const Value &want) {
    EXPECT_EQ(got.present, want.present);
    if (want.present) {
        EXPECT_EQ(got.type, want.type);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(got.data), got.size), want.bytes);
    }
}

TEST(RollbackRecord, EncodesAndDecodes) {
    struct Row {
        std::string record;
        Value value;
        bool decodes;   // the text is a record of this value
        bool canonical; // and the value is written as this text
    };
    std::string const largest(kit::kMostValueBytes, '\xff');
    std::string largestHex = "hex(3):ff";
    for (std::size_t i = 1; i < largest.size(); ++i) {
        largestHex += ",ff";
    }
    std::string const longestText(kit::kMostValueBytes - 1, 'a');
    Row const rows[] = {
        {"absent", Absent(), true, true},
        {"REG_SZ 1", Sz("1"), true, true},
        {"REG_SZ ", Sz(""), true, true},
        {"REG_SZ", Sz(""), true, false},
        {"REG_SZ a&b %PATH% \"q\" !x! \xe9\xff", Sz("a&b %PATH% \"q\" !x! \xe9\xff"), true, true},
        {"REG_EXPAND_SZ %SystemRoot%\\x", Of(kExpandSz, std::string("%SystemRoot%\\x") + '\0'), true, true},
        {"hex(1):31", Of(kSz, "1"), true, true},
        {"hex(1):61,1f,00", Of(kSz, std::string("a\x1f\0", 3)), true, true},
        {"REG_DWORD 0x0", Of(kDword, std::string(4, '\0')), true, true},
        {"REG_DWORD 0xdeadbeef", Of(kDword, "\xef\xbe\xad\xde"), true, true},
        {"REG_DWORD 0XDEADBEEF", Of(kDword, "\xef\xbe\xad\xde"), true, false},
        {"hex(4):01,00", Of(kDword, std::string("\x01\0", 2)), true, true},
        {"REG_BINARY 00FF", Of(kBinary, std::string("\0\xff", 2)), true, false},
        {"hex(3):00,ff", Of(kBinary, std::string("\0\xff", 2)), true, true},
        {"hex(7):61,00,00", Of(kMultiSz, std::string("a\0\0", 3)), true, true},
        {"hex(0):", Of(0, ""), true, true},
        {largestHex, Of(kBinary, largest), true, true},
        {"REG_SZ " + longestText, Sz(longestText.c_str()), true, true},
        {"REG_SZ " + longestText + "a", Absent(), false, false},
        {"REG_BINARY zz", Absent(), false, false},
        {"REG_DWORD 1", Absent(), false, false},
        {"REG_DWORD 0012", Absent(), false, false},
        {"REG_DWORD 0x123456789", Absent(), false, false},
        {"REG_DWORD 0x1 ", Absent(), false, false},
        {"reg_sz 1", Absent(), false, false},
        {"", Absent(), false, false},
        {"hex(3):00,", Absent(), false, false},
        {"hex(3):00;01", Absent(), false, false},
        {"hex():00", Absent(), false, false},
        {"hex(3):" + largestHex.substr(7) + ",00", Absent(), false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.record.substr(0, 40));
        auto decoded = MakeValue(Of(kBinary, "stale"));
        EXPECT_EQ(kit::DecodeRecord(row.record.c_str(), decoded.get()), row.decodes ? 1 : 0);
        ExpectValue(*decoded, row.value);
        if (row.canonical) {
            std::vector<char> record(kit::kMostRecordBytes, 'x');
            EXPECT_EQ(kit::EncodeRecord(*MakeValue(row.value), record.data()), 1);
            EXPECT_EQ(std::string(record.data()), row.record);
        }
    }
    Value tooLarge = Of(kBinary, "x");
    tooLarge.tooLarge = true;
    std::vector<char> record(kit::kMostRecordBytes, 'x');
    EXPECT_EQ(kit::EncodeRecord(*MakeValue(tooLarge), record.data()), 0);
    EXPECT_EQ(record[0], '\0');
}

TEST(RollbackRecord, PlansAheadOfTheRun) {
    struct Row {
        const char *name;
        bool present;
        bool keyExists;
        Value value;
        bool recorded;
        kit::AheadAction action;
    };
    using A = kit::AheadAction;
    Row const rows[] = {
        {"absent value", true, true, Absent(), false, A::Record},
        {"recorded already", true, true, Sz("0"), true, A::None},
        {"holds it", true, true, Sz("1"), false, A::None},
        {"holds it without NUL", true, true, Of(kSz, "1"), false, A::None},
        {"1 and more", true, true, Of(kSz, std::string("1\0\0", 3)), false, A::Record},
        {"11", true, true, Sz("11"), false, A::Record},
        {"expand 1", true, true, Of(kExpandSz, std::string("1\0", 2)), false, A::Record},
        {"dword 1", true, true, Of(kDword, std::string("\x01\0\0\0", 4)), false, A::Record},
        {"no driver key", true, false, Absent(), false, A::None},
        {"not plugged in: may be by the time the program looks", false, true, Sz("0"), false, A::Record},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto adapter = std::make_unique<kit::Adapter>();
        adapter->present = row.present;
        adapter->driverKeyExists = row.keyExists;
        adapter->value = *MakeValue(row.value);
        EXPECT_EQ(kit::PlanAhead(*adapter, row.recorded), row.action);
    }
}

TEST(RollbackRecord, PlansAfterTheRun) {
    struct Row {
        const char *name;
        Value recorded;
        Value now;
        kit::AfterAction action;
    };
    using A = kit::AfterAction;
    Value large = Of(kBinary, "x");
    large.tooLarge = true;
    Row const rows[] = {
        {"absent still", Absent(), Absent(), A::Remove},
        {"absent, then set", Absent(), Sz("1"), A::Keep},
        {"set, then absent", Sz("0"), Absent(), A::Keep},
        {"unchanged", Sz("0"), Sz("0"), A::Remove},
        {"changed", Sz("0"), Sz("1"), A::Keep},
        {"type changed", Sz("0"), Of(kExpandSz, std::string("0\0", 2)), A::Keep},
        {"NUL lost", Sz("0"), Of(kSz, "0"), A::Keep},
        {"a byte changed", Of(kBinary, "ab"), Of(kBinary, "ac"), A::Keep},
        {"too large", large, large, A::Keep},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(kit::PlanAfter(*MakeValue(row.recorded), *MakeValue(row.now)), row.action);
    }
}

TEST(RollbackRecord, PlansTheRestore) {
    struct Row {
        const char *record;
        bool keyExists;
        kit::RestoreAction action;
        Value value;
    };
    using R = kit::RestoreAction;
    Row const rows[] = {
        {"absent", true, R::RemoveValue, Absent()},
        {"REG_SZ 0", true, R::SetValue, Sz("0")},
        {"REG_DWORD 0x0", true, R::SetValue, Of(kDword, std::string(4, '\0'))},
        {"REG_BINARY 00FF", true, R::SetValue, Of(kBinary, std::string("\0\xff", 2))},
        {"REG_BINARY zz", true, R::Unrestorable, Absent()},
        {"REG_SZ 0", false, R::KeyGone, Absent()},
        {"REG_BINARY zz", false, R::KeyGone, Absent()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.record) + (row.keyExists ? "" : ", key gone"));
        auto value = std::make_unique<kit::RegistryValue>();
        EXPECT_EQ(kit::PlanRestore(row.record, row.keyExists, value.get()), row.action);
        if (row.action == R::SetValue) {
            ExpectValue(*value, row.value);
        }
    }
}

TEST(RollbackRecord, NamesRecordsAndTheirDriverKeys) {
    struct Row {
        std::string driverKeyName;
        std::optional<std::string> recordName; // none: no record name
        std::string keyPath;
    };
    // The longest names that fit kMostNameBytes with their NUL.
    std::string const instance(255, '7');
    std::string const other(249, 'n');
    Row const rows[] = {
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007", "0007",
         "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007"},
        {"{4d36e972-e325-11ce-bfc1-08002be10318}\\0011", "0011",
         "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0011"},
        {"Net\\0000", "Class\\Net\\0000", "SYSTEM\\CurrentControlSet\\Control\\Class\\Net\\0000"},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007\\x", "Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007\\x",
         "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007\\x"},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}X0007", "Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}X0007",
         "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}X0007"},
        {"0007", "Class\\0007", "SYSTEM\\CurrentControlSet\\Control\\Class\\0007"},
        {"7", "Class\\7", "SYSTEM\\CurrentControlSet\\Control\\Class\\7"},
        {"", std::nullopt, ""},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}\\", std::nullopt, ""},
        {"\\0007", std::nullopt, ""},
        {"Net\\\\0000", std::nullopt, ""},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + instance, instance.c_str(),
         "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + instance},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}\\7" + instance, std::nullopt, ""},
        {other, "Class\\" + other, "SYSTEM\\CurrentControlSet\\Control\\Class\\" + other},
        {other + "n", std::nullopt, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.driverKeyName.substr(0, 50));
        char name[kit::kMostNameBytes];
        EXPECT_EQ(kit::MakeRecordName(row.driverKeyName.c_str(), name), row.recordName ? 1 : 0);
        if (!row.recordName) {
            continue;
        }
        EXPECT_EQ(std::string(name), *row.recordName);
        char path[kit::kMostKeyPathBytes];
        EXPECT_EQ(kit::MakeDriverKeyPath(name, path), 1);
        EXPECT_EQ(std::string(path), row.keyPath);
    }
    // Records the kit does not write: a name of another key is no driver key.
    for (const char *record : {"", "Class\\", "Class\\Net\\", "Class\\\\0007", "Enum\\USB", "x\\0007"}) {
        SCOPED_TRACE(record);
        char path[kit::kMostKeyPathBytes];
        EXPECT_EQ(kit::MakeDriverKeyPath(record, path), 0);
    }
}

TEST(Adapters, MatchesTheAdaptersHardwareId) {
    struct Row {
        const char *hardwareId;
        bool matches;
    };
    Row const rows[] = {
        {"USB\\VID_13B1&PID_003B&REV_0100", true}, {"usb\\vid_13b1&pid_003b", true}, {"XUSB\\VID_13B1&PID_003B", true},
        {"USB\\VID_13B1&PID_003C", false},         {"USB\\VID_13B1&PID_003", false}, {"", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.hardwareId);
        EXPECT_EQ(kit::MatchesAdapter(row.hardwareId), row.matches);
    }
}

// ---- /status

TEST(Status, JudgesAndReports) {
    struct Device {
        const char *recordName;
        bool present;
        Value value;
    };
    struct Row {
        const char *name;
        std::vector<Device> devices;
        kit::StatusVerdict verdict;
        int exitCode;
        const char *report;
    };
    using V = kit::StatusVerdict;
    Value large = Of(kBinary, "x");
    large.tooLarge = true;
    Row const rows[] = {
        {"never installed",
         {},
         V::NeverInstalled,
         5,
         "No network device USB\\VID_13B1&PID_003B was ever installed: nothing to provision.\r\n"},
        {"all hold",
         {{"0007", true, Sz("1")}, {"0011", true, Of(kSz, "1")}},
         V::AllHold,
         0,
         "0007: EDCCAEnable REG_SZ 1\r\n0011: EDCCAEnable hex(1):31\r\n"
         "Every present adapter's driver key holds EDCCAEnable = 1.\r\n"},
        {"one lacks, an absent one listed last",
         {{"0011", false, Sz("1")}, {"0007", true, Absent()}, {"0012", true, Sz("1")}},
         V::SomeLack,
         3,
         "0007: EDCCAEnable absent\r\n0012: EDCCAEnable REG_SZ 1\r\n"
         "0011: EDCCAEnable REG_SZ 1 (installed, not plugged in)\r\n"
         "1 of 2 present adapters' driver keys lack EDCCAEnable = 1: run edcca.cmd.\r\n"},
        {"a DWORD is not the setting",
         {{"0007", true, Of(kDword, std::string("\x01\0\0\0", 4))}},
         V::SomeLack,
         3,
         "0007: EDCCAEnable REG_DWORD 0x1\r\n"
         "1 of 1 present adapters' driver keys lack EDCCAEnable = 1: run edcca.cmd.\r\n"},
        {"no driver key name, a value too large",
         {{"", true, large}},
         V::SomeLack,
         3,
         "USB\\VID_13B1&PID_003B\\00E04C3B0001: EDCCAEnable (larger than the kit keeps)\r\n"
         "1 of 1 present adapters' driver keys lack EDCCAEnable = 1: run edcca.cmd.\r\n"},
        {"none present",
         {{"0007", false, Sz("1")}, {"0011", false, Absent()}},
         V::NonePresent,
         4,
         "0007: EDCCAEnable REG_SZ 1 (installed, not plugged in)\r\n"
         "0011: EDCCAEnable absent (installed, not plugged in)\r\n"
         "No adapter USB\\VID_13B1&PID_003B is plugged in; 2 installed ones are absent.\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        auto adapters = std::make_unique<kit::AdapterList>();
        for (const Device &device : row.devices) {
            kit::Adapter &adapter = adapters->adapters[adapters->count++];
            std::snprintf(adapter.recordName, sizeof adapter.recordName, "%s", device.recordName);
            std::snprintf(adapter.instanceId, sizeof adapter.instanceId, "USB\\VID_13B1&PID_003B\\00E04C3B0001");
            adapter.present = device.present;
            adapter.driverKeyExists = device.value.present;
            adapter.value = *MakeValue(device.value);
        }
        EXPECT_EQ(kit::JudgeStatus(*adapters), row.verdict);
        EXPECT_EQ(kit::StatusExitCode(row.verdict), row.exitCode);
        char text[2048];
        kit::TextBuffer out = kit::MakeTextBuffer(text, sizeof text);
        EXPECT_EQ(kit::WriteStatusReport(*adapters, &out), row.verdict);
        EXPECT_EQ(std::string(text), row.report);
    }
}

// ---- the command line

TEST(Arguments, ReadsTheCommandLineAsWindowsSplitsIt) {
    struct Row {
        const char *commandLine; // as GetCommandLineA gives it
        kit::Command command;
    };
    using C = kit::Command;
    Row const rows[] = {
        {"EdccaKit.exe", C::Provision},
        {"\"C:\\Program Files\\Kit 2\\EdccaKit.exe\"", C::Provision},
        {"\"C:\\Program Files\\Kit 2\\EdccaKit.exe\" /collect", C::Collect},
        {"EdccaKit.exe /UNINSTALL", C::Uninstall},
        {"EdccaKit.exe\t/status\t", C::Status},
        {"EdccaKit.exe \"/status\"", C::Status},
        {"EdccaKit.exe \"/sta\"tus", C::Status},
        {"EdccaKit.exe \"/sta\"\"tus\"", C::Wrong},
        {"EdccaKit.exe /?", C::Help},
        {"EdccaKit.exe \"\"", C::Wrong},
        {"EdccaKit.exe \"\" /uninstall", C::Wrong},
        {"EdccaKit.exe /uninstall \"\"", C::Wrong},
        {"EdccaKit.exe /uninstall now", C::Wrong},
        {"EdccaKit.exe \"/status /collect\"", C::Wrong},
        {"EdccaKit.exe uninstall", C::Wrong},
        {"EdccaKit.exe /statusstatusstatus", C::Wrong},
        {"EdccaKit.exe /", C::Wrong},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.commandLine);
        EXPECT_EQ(kit::ParseCommandLine(kit::SkipProgramName(row.commandLine)), row.command);
    }
}

// ---- the log record and the marker

TEST(Texts, RecordHeaderNotesAndTime) {
    struct Row {
        kit::UtcTime time;
        const char *computer;
        kit::Outcome outcome;
        const char *note;
        const char *header;
    };
    Row const rows[] = {
        {{2026, 12, 8, 20, 30, 36},
         "PC-07",
         kit::Outcome::SeveralAdapters,
         ", waited 12 s for another run",
         "==== 2026-12-08T20:30:36Z, PC-07, kit 2.0.0: SeveralAdapters, exit code 2, waited 12 s for another "
         "run\r\n"},
        {{2027, 1, 2, 3, 4, 5},
         "WS",
         kit::Outcome::NoDecision,
         "",
         "==== 2027-01-02T03:04:05Z, WS, kit 2.0.0: NoDecision, exit code 1618\r\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.header);
        char time[32];
        kit::TextBuffer timeText = kit::MakeTextBuffer(time, sizeof time);
        kit::AppendIsoTime(&timeText, row.time);
        char text[256];
        kit::TextBuffer out = kit::MakeTextBuffer(text, sizeof text);
        kit::AppendRecordHeader(&out, time, row.computer, "2.0.0", row.outcome, row.note);
        EXPECT_EQ(std::string(text), row.header);
        EXPECT_EQ(out.length, std::strlen(row.header));
    }
    char text[64];
    kit::TextBuffer out = kit::MakeTextBuffer(text, sizeof text);
    kit::AppendNote(&out, "0007: EDCCAEnable removed, as it was absent");
    kit::AppendNumber(&out, -10);
    EXPECT_EQ(std::string(text), "---- 0007: EDCCAEnable removed, as it was absent\r\n-10");
    EXPECT_FALSE(out.cut);
}

TEST(Texts, BufferCutsWhatDoesNotFit) {
    struct Row {
        std::size_t capacity;
        const char *kept;
        bool cut;
    };
    Row const rows[] = {{1, "", true}, {6, "==== ", true}, {13, "==== 2026 ab", false}, {12, "==== 2026 a", true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.capacity);
        std::vector<char> data(row.capacity + 1, '#');
        kit::TextBuffer out = kit::MakeTextBuffer(data.data(), row.capacity);
        kit::AppendText(&out, "==== ");
        kit::AppendNumber(&out, 2026);
        kit::AppendBytes(&out, " ab", 3);
        EXPECT_EQ(std::string(data.data()), row.kept);
        EXPECT_EQ(out.length, std::strlen(row.kept));
        EXPECT_EQ(out.cut, row.cut);
        EXPECT_EQ(data[row.capacity], '#') << "nothing written past the buffer";
    }
}

TEST(Texts, MarkerValuesInTheOrderWritten) {
    struct Row {
        kit::Outcome outcome;
        int adapters;
        const char *driverKeys;
        const char *logFailed;
        std::vector<std::string> values; // "name=data"
    };
    Row const rows[] = {
        {kit::Outcome::Written,
         1,
         "0007",
         "",
         {"Outcome=Written", "Time=2026-12-08T20:30:36Z", "Adapters=1", "DriverKeys=0007", "Version=2.0.0"}},
        {kit::Outcome::SeveralAdapters,
         2,
         "0007 0011",
         "C:\\windows\\Logs\\EdccaProvision\\log.txt",
         {"Outcome=SeveralAdapters", "Time=2026-12-08T20:30:36Z", "Adapters=2", "DriverKeys=0007 0011",
          "LogFailed=C:\\windows\\Logs\\EdccaProvision\\log.txt", "Version=2.0.0"}},
        {kit::Outcome::Declined,
         0,
         "",
         nullptr,
         {"Outcome=Declined", "Time=2026-12-08T20:30:36Z", "Adapters=0", "DriverKeys=", "Version=2.0.0"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(kit::OutcomeName(row.outcome));
        kit::MarkerValue values[kit::kMarkerValues];
        std::size_t const count = kit::MakeMarkerValues(row.outcome, "2026-12-08T20:30:36Z", row.adapters,
                                                        row.driverKeys, "2.0.0", row.logFailed, values);
        std::vector<std::string> got;
        for (std::size_t i = 0; i < count; ++i) {
            got.push_back(std::string(values[i].name) + "=" + values[i].data);
        }
        EXPECT_EQ(got, row.values);
    }
}

} // namespace
