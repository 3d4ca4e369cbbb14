// The main cycle, run as a whole simulated process: its three ends, the
// registry write, the pauses, and standard output flushed before the end.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "control/main_cycle.h"
#include "runner/run_tool.h"
#include "support/tool_machine.h"

namespace {

using namespace support;

constexpr char kNoCard[] = "Cannot find any adapter card !\n";
constexpr char kDriverKey[] = "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007";
constexpr std::uint8_t kEeprom = 0x5A;

std::string FoundAttempt(unsigned region, unsigned companion) {
    char lines[160];
    std::snprintf(lines, sizeof lines,
                  " Offset 0x38 = 0x%x \n GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n",
                  static_cast<unsigned>(kEeprom), region, companion);
    return DetectTrace(1) + lines;
}

std::string MissedAttempt() { return DetectTrace(0) + kNoCard; }

class MainCycle : public ::testing::Test {
  protected:
    void SetUp() override { PrepareMachine(machine); }
    void TearDown() override { ResetToolState(); }

    sim::ProcessOutcome Run() {
        before = machine.registry.Clone();
        return sim::RunTool(machine);
    }

    std::vector<sim::RegistryChange> Changes() const { return sim::DiffRegistries(before, machine.registry); }

    // Every end: standard output flushed, then ExitProcess(0), nothing after.
    void ExpectFlushedEnd(const sim::ProcessOutcome &outcome) {
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exitCode, 0u);
        ASSERT_GE(machine.calls.size(), 2u);
        EXPECT_EQ(machine.calls[machine.calls.size() - 2].operation, Operation::FlushStandardOutput);
        EXPECT_EQ(machine.calls.back().operation, Operation::ExitProcess);
        EXPECT_EQ(machine.flushes, std::vector<size_t>(2, machine.standardOutput.size())); // the flush, the exit
        EXPECT_TRUE(NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
    }

    sim::Machine machine;
    sim::Registry before;
};

// ---------------------------------------------------------------------------
// Written

// An earlier setting of another type is overwritten as text, never read.
TEST_F(MainCycle, RegionOneWritesTheSettingAndEndsWithoutPause) {
    AddAdapter(machine, AdapterSetup{});
    machine.registry.SetValue(kDriverKey, "EDCCAEnable", host::REG_DWORD, {0, 0, 0, 0});
    sim::ProcessOutcome const outcome = Run();
    ExpectFlushedEnd(outcome);
    EXPECT_EQ(machine.standardOutput, FoundAttempt(1, 0));
    EXPECT_EQ(machine.CountCalls(Operation::Sleep), 0u);
    EXPECT_EQ(outcome.endedAtMs, 0u);
    EXPECT_EQ(CountKeyOpens(machine, kDriverKey, host::KEY_ALL_ACCESS), 1u);
    EXPECT_EQ(CountCallsWhere(machine, Operation::RegSetValueExA,
                              [](const sim::CallRecord &c) {
                                  return c.valueName == "EDCCAEnable" && c.reserved == 0 && c.type == host::REG_SZ &&
                                         c.data == std::string("1\0", 2) && c.bufferSize == 2;
                              }),
              1u);
    EXPECT_EQ(machine.CountCalls(Operation::RegQueryValueExA) - CountValueReads(machine, "PROCESSOR_ARCHITECTURE") -
                  CountValueReads(machine, "NetCfgInstanceId"),
              0u);
    std::vector<sim::RegistryChange> const changes = Changes();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, sim::RegistryChange::Kind::ValueSet);
    EXPECT_TRUE(sim::EqualsIgnoreCase(changes[0].keyPath, kDriverKey)) << changes[0].keyPath;
    EXPECT_EQ(changes[0].valueName, "EDCCAEnable");
    EXPECT_EQ(changes[0].type, host::REG_SZ);
    EXPECT_EQ(changes[0].data, (std::vector<std::uint8_t>{'1', 0}));
}

// ---------------------------------------------------------------------------
// Nothing written: no adapter at any attempt (the examples hold declined and
// undecided regions and a failing region query).
// Every start begins with empty module strings, whatever an earlier run
// left; the pauses are those of the example exhausted-no-adapter.
TEST_F(MainCycle, NoAdapterThroughoutEndsAfterFortyAttempts) {
    AddOtherNetCard(machine);
    SetToolStrings("\\\\.\\{STALE}", "System\\Stale");
    ExpectFlushedEnd(Run());
    EXPECT_EQ(machine.standardOutput, Repeat(MissedAttempt(), 40));
    EXPECT_EQ(machine.CountCalls(Operation::DeviceIoControl), 0u);
    EXPECT_TRUE(Changes().empty());
    EXPECT_EQ(std::string(MacFileName), "");
    EXPECT_EQ(std::string(DriverKeyPath), "");
}

// ---------------------------------------------------------------------------
// The setting cannot be written (a driver key that will not open: the
// examples driver-key-access-denied and win98se-region-1)

// A failed write is traced, its key closed, and tried again at the next
// attempt: at every attempt (call number 0), or at the first only.
class FailingSetValue : public MainCycle, public ::testing::WithParamInterface<int> {};

TEST_P(FailingSetValue, IsTracedTheKeyClosedAndTriedAgain) {
    int const callNumber = GetParam();
    AddAdapter(machine, AdapterSetup{});
    machine.faults.push_back({Operation::RegSetValueExA, "EDCCAEnable", callNumber, host::ERROR_ACCESS_DENIED});
    sim::ProcessOutcome const outcome = Run();
    ExpectFlushedEnd(outcome);
    std::string const failed = FoundAttempt(1, 0) + "RegSetValueEx REGSTR_RADIO '1' failed\n";
    EXPECT_EQ(machine.standardOutput, callNumber == 0 ? Repeat(failed, 40) : failed + FoundAttempt(1, 0));
    EXPECT_EQ(machine.CountCalls(Operation::RegSetValueExA), callNumber == 0 ? 40u : 2u);
    EXPECT_EQ(CountFailedCalls(machine, machine.faults[0]), callNumber == 0 ? 40u : 1u);
    EXPECT_EQ(machine.CountCalls(Operation::Sleep), callNumber == 0 ? 40u : 1u);
    EXPECT_EQ(outcome.endedAtMs, callNumber == 0 ? 8000u : 200u);
    EXPECT_EQ(Changes().size(), callNumber == 0 ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(CallNumbers, FailingSetValue, ::testing::Values(0, 1));

// ---------------------------------------------------------------------------
// Where the setting may land: only in the key that the well-formed driver key
// name of a matching device names, never at a hive root, the class root, a
// class key or another device's key.

// An adapter at 0007 (or none), then a second matching device.
struct TargetCase {
    const char *name;
    std::optional<std::uint32_t> first = {}; // the first's driver's answer; nullopt = no first
    std::string driver;                      // the second's driver key name
    std::string instanceKey = {};            // holds its NetCfgInstanceId
    std::string identifier = kGuidB;         // its NetCfgInstanceId and driver's device name
    std::uint32_t regionWord = 0x0100;       // what its driver answers
    std::string written = {};                // the instance key under the net class written; "" = none
    std::string attempt = {};                // the trace of one attempt, when nothing is written
};

class WriteTarget : public MainCycle, public ::testing::WithParamInterface<TargetCase> {};

TEST_P(WriteTarget, IsTheDriverKeyOfAWellFormedName) {
    const TargetCase &c = GetParam();
    if (c.first) {
        AddAdapter(machine, AdapterSetup{.regionWord = *c.first});
    }
    AddDevice(machine, {.instancePath = "USB\\VID_13B1&PID_003B\\0002", .driver = Sz(c.driver)});
    if (!c.instanceKey.empty()) {
        SetNetCfgInstanceId(machine, c.instanceKey, Sz(c.identifier));
    }
    machine.drivers.push_back(MakeDriver(c.identifier, c.regionWord, kEeprom));
    ExpectFlushedEnd(Run());
    std::vector<sim::RegistryChange> const changes = Changes();
    if (c.written.empty()) {
        EXPECT_TRUE(changes.empty()) << changes.front().keyPath;
        EXPECT_EQ(machine.standardOutput, Repeat(c.attempt, 40));
    } else {
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_TRUE(sim::EqualsIgnoreCase(changes[0].keyPath, std::string(kNetClassKey) + "\\" + c.written))
            << changes[0].keyPath;
        EXPECT_EQ(changes[0].valueName, "EDCCAEnable");
    }
}

std::string const kWellFormed = std::string(kNetClassGuid) + "\\0008";
std::string const kNoMacFile = "[VT][ZoWLAPI] QueryOID Get Mac file failed!";
std::string const kNoDeviceFileAttempt = DetectTrace(1) + kNoMacFile + " Offset 0x38 = 0x0 \n" + kNoMacFile +
                                         " GetSupportCountryRegion Offset 0x38 = 0x0 , 0x39 = 0x0 \n";
constexpr std::uint32_t kRegionZero = 0x0003;
constexpr std::uint32_t kRegionOne = 0x0100;

// clang-format off
const TargetCase kMachines[] = {
    // Its last four characters name an instance key and a running driver.
    {.name = "InstanceNameAlone", .driver = "0013", .instanceKey = "0013", .attempt = MissedAttempt()},
    {.name = "LetterAndInstanceNameAlone", .driver = "x0013", .instanceKey = "0013", .attempt = MissedAttempt()},
    {.name = "ClassKeyAlone", .driver = kNetClassGuid, .instanceKey = "318}", .attempt = MissedAttempt()},
    // Region 1 from this device must not be written into the first one's key.
    {.name = "InstanceNameAloneAfterAnAdapter", .first = kRegionZero, .driver = "0013", .instanceKey = "0013",
     .attempt = FoundAttempt(0, 3)},
    // The first adapter answers region 1. A second device whose identifier
    // does not fit leaves no device file to ask, so its key is not written
    // on the first's region.
    {.name = "IdentifierOf60AfterARegionOne", .first = kRegionOne, .driver = kWellFormed, .instanceKey = "0008",
     .identifier = std::string(60, 'i'), .attempt = kNoDeviceFileAttempt},
    // The second answers region 1 where the first answers region 0.
    {.name = "IdentifierOf59AfterAnAdapter", .first = kRegionZero, .driver = kWellFormed, .instanceKey = "0008",
     .identifier = std::string(59, 'i'), .written = "0008"},
    {.name = "LowerCaseClassAfterAnAdapter", .first = kRegionZero,
     .driver = "{4d36e972-e325-11ce-bfc1-08002be10318}\\0008", .instanceKey = "0008", .written = "0008"},
    // Names whose last four characters are the first's instance key but
    // that name another key take no part: the first decides for its key.
    {.name = "OtherClassAfterARegionOne", .first = kRegionOne, .driver = "{36FC9E60-C465-11CF-8056-444553540000}\\0007",
     .regionWord = 0x0300, .written = "0007"},
    {.name = "NoGuidAfterARegionOne", .first = kRegionOne, .driver = "N\\7", .regionWord = 0x0300, .written = "0007"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Machines, WriteTarget, ::testing::ValuesIn(kMachines), RowName);

TEST_F(MainCycle, EmptyDriverKeyPathIsAFailedOpen) {
    ResetToolState();
    sim::MachineScope scope(machine);
    EXPECT_EQ(WriteEdccaSetting(), 0);
    EXPECT_EQ(machine.standardOutput, "RegOpenKeyEx '' failed\n");
    EXPECT_EQ(machine.CountCalls(Operation::RegOpenKeyExA), 0u);
    EXPECT_EQ(machine.CountCalls(Operation::RegSetValueExA), 0u);
}

} // namespace
