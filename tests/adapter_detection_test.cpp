// Adapter enumeration and detection on the simulated host: traces, results,
// records, the two module-level strings, the calls made, and the handling of
// malformed device and registry data.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/adapter_detection.h"
#include "adapter/adapter_record.h"
#include "host/version.h"
#include "support/tool_machine.h"

namespace {

using support::AdapterSetup;
using support::DeviceSetup;
using support::kGuidA;
using support::kGuidB;
using support::kGuidC;

constexpr char kOldMacFile[] = "\\\\.\\{OLD}";
constexpr char kOldDriverKey[] = "System\\CurrentControlSet\\Control\\Class\\{OLD}\\0099";
constexpr char kPattern[] = "USB\\VID_13B1&PID_003B";

template <size_t N> std::string Text(const char (&field)[N]) { return std::string(field, strnlen(field, N)); }

std::string DriverName(const std::string &instanceNumber) {
    return std::string(support::kNetClassGuid) + "\\" + instanceNumber;
}

struct Detected {
    std::int32_t count;
    AdapterRecord record;
};

struct Enumerated {
    std::int32_t result;
    std::int32_t count;
    std::vector<AdapterRecord> rooms; // every room of the list, stored or not
};

class Detection : public ::testing::Test {
  protected:
    void SetUp() override {
        support::PrepareMachine(machine);
        support::ResetToolState();
    }
    void TearDown() override { support::ResetToolState(); }

    // DetectAdapter on a record filled with 'X' beforehand.
    Detected Detect() {
        Detected d;
        std::memset(&d.record, 'X', sizeof d.record);
        sim::MachineScope scope(machine);
        d.count = DetectAdapter(&d.record);
        return d;
    }

    // GetAvailableAdapters on a zeroed list of the given capacity whose count
    // was preset to 77.
    Enumerated Enumerate(std::int32_t capacity) {
        Enumerated e;
        sim::MachineScope scope(machine);
        AdapterList *list = AllocateAdapterList(capacity);
        EXPECT_NE(list, nullptr);
        if (list == nullptr) {
            return e;
        }
        list->Count = 77;
        e.result = GetAvailableAdapters(list, capacity);
        e.count = list->Count;
        for (std::int32_t i = 0; i < capacity; ++i) {
            e.rooms.push_back(*GetAdapterRoom(list, i));
        }
        ReleaseAdapterList(list);
        return e;
    }

    size_t PropertyReads() const { return machine.CountCalls("SetupDiGetDeviceRegistryPropertyA"); }

    // Opens of keys other than the environment key the version probe reads.
    size_t InstanceKeyOpens() const {
        return machine.CountCalls("RegOpenKeyExA") -
               support::CountKeyOpens(machine, support::kEnvironmentKey, host::KEY_READ);
    }

    sim::Machine machine;
};

bool IsZero(const AdapterRecord &record) {
    AdapterRecord zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&record, &zero, sizeof zero) == 0;
}

// ---------------------------------------------------------------------------
// Traces, results and the two strings

TEST_F(Detection, NoMatchingDeviceLeavesTheStringsAndEmptiesFourFields) {
    support::AddOtherNetCard(machine);
    support::SetToolStrings(kOldMacFile, kOldDriverKey);
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput, "--> DetectAdapter()\n"
                                      "--> GetAvailableAdapters()\n"
                                      "GetAvailableAdapters() : No Available Adapter\n"
                                      "<-- GetAvailableAdapters() :  Available adapter number = 0\n"
                                      "<-- DetectAdapter()\n");
    EXPECT_EQ(std::string(MacFileName), kOldMacFile);
    EXPECT_EQ(std::string(DriverKeyPath), kOldDriverKey);
    EXPECT_EQ(d.record.Description[0], '\0');
    EXPECT_EQ(d.record.HardwareIdPattern[0], '\0');
    EXPECT_EQ(d.record.DevicePath[0], '\0');
    EXPECT_EQ(d.record.InstanceNumber[0], '\0');
    // The other fields are left as they were.
    EXPECT_EQ(d.record.Description[1], 'X');
    EXPECT_EQ(d.record.FriendlyName[0], 'X');
    EXPECT_EQ(d.record.Manufacturer[0], 'X');
    EXPECT_EQ(d.record.EntryValue1, 0x58585858);
    EXPECT_TRUE(support::NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
}

TEST_F(Detection, OneAdapterOnTheNewerLayout) {
    support::AddOtherNetCard(machine);
    support::AddAdapter(machine, AdapterSetup{});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(machine.standardOutput, "--> DetectAdapter()\n"
                                      "--> GetAvailableAdapters()\n"
                                      "<-- GetAvailableAdapters() :  Available adapter number = 1\n"
                                      "<-- DetectAdapter()\n");
    EXPECT_EQ(Text(d.record.Description), "Wireless USB Adapter 0001");
    EXPECT_EQ(Text(d.record.HardwareIdPattern), kPattern);
    EXPECT_EQ(Text(d.record.InstanceNumber), "0007");
    EXPECT_EQ(Text(d.record.FriendlyName), "Wireless USB Adapter 0001");
    EXPECT_EQ(Text(d.record.DevicePath), support::DeviceFile(kGuidA));
    EXPECT_EQ(Text(d.record.InstanceId), kGuidA);
    EXPECT_EQ(Text(d.record.NtDeviceName), std::string("\\Device\\") + kGuidA);
    EXPECT_EQ(Text(d.record.LocationInformation), "Port_#0003.Hub_#0001");
    EXPECT_EQ(Text(d.record.Manufacturer), "Example Networks");
    EXPECT_EQ(d.record.EntryValue1, 5);
    EXPECT_EQ(d.record.EntryValue2, 0);
    EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidA));
    EXPECT_EQ(std::string(DriverKeyPath),
              "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    EXPECT_EQ(machine.CountCalls("SetupDiGetClassDevsA"), 1u);
    EXPECT_EQ(support::CountCallsWhere(machine, "SetupDiClassGuidsFromNameA",
                                       [](const sim::CallRecord &c) { return c.path == "Net" && c.size == 3; }),
              1u);
    EXPECT_EQ(support::CountCallsWhere(machine, "SetupDiGetClassDevsA",
                                       [](const sim::CallRecord &c) {
                                           return c.path == support::kNetClassGuid && c.flags == host::DIGCF_PRESENT;
                                       }),
              1u);
    EXPECT_EQ(support::CountDeviceOpens(machine, support::DeviceFile(kGuidA)), 1u);
    EXPECT_TRUE(support::NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
}

TEST_F(Detection, TwoAdaptersGiveTheFirstRecordAndTheSecondStrings) {
    support::AddAdapter(machine, AdapterSetup{});
    support::AddAdapter(machine, AdapterSetup{.serial = "0002", .instanceNumber = "0008", .identifier = kGuidB});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 2);
    EXPECT_EQ(machine.standardOutput, "--> DetectAdapter()\n"
                                      "--> GetAvailableAdapters()\n"
                                      "<-- GetAvailableAdapters() :  Available adapter number = -10\n"
                                      "--> GetAvailableAdapters()\n"
                                      "<-- GetAvailableAdapters() :  Available adapter number = 2\n"
                                      "<-- DetectAdapter()\n");
    EXPECT_EQ(Text(d.record.DevicePath), support::DeviceFile(kGuidA));
    EXPECT_EQ(Text(d.record.InstanceNumber), "0007");
    EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidB));
    EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(DriverName("0008")));
    // The second walk is sized by the first: a list of two rooms.
    EXPECT_EQ(machine.CountCalls("SetupDiGetClassDevsA"), 2u);
    EXPECT_EQ(support::CountAllocations(machine, 4 + 2 * 1300), 1u);
    EXPECT_TRUE(support::NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
}

TEST_F(Detection, DeviceWhoseDriverIsNotLoadedIsNotCountedButNamed) {
    support::SetToolStrings(kOldMacFile, kOldDriverKey);
    support::AddAdapter(machine, AdapterSetup{.instanceNumber = "0011", .identifier = kGuidC, .withDriver = false});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput, support::DetectTrace(0));
    EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidC));
    EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(DriverName("0011")));
    EXPECT_EQ(machine.CountCalls("CreateFileA"), 1u);
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

struct LayoutCase {
    const char *name;
    void (*setWindows)(sim::Machine &);
    bool deviceVxDs;       // the older layout's value is present
    bool netCfgInstanceId; // the newer layout's value is present
    bool found;
    size_t instanceKeyOpens;
};

// Windows 2000 Professional (code 11), the first code of the newer layout,
// and Windows NT 4.0 (code 5), the last of the older one.
void SetWindows2000(sim::Machine &machine) { support::SetWindows(machine, "x86", 5, 0, 2195, 2); }
void SetWindowsNt4(sim::Machine &machine) { support::SetWindows(machine, "x86", 4, 0, 1381, 2); }

void SetNoVersion(sim::Machine &machine) {
    support::SetArchitecture(machine, support::Sz("x86"));
    machine.version.getVersionFails = true;
}

class RegistryLayout : public Detection, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(RegistryLayout, ReadsTheLayoutOfTheVersionCode) {
    const LayoutCase &c = GetParam();
    c.setWindows(machine);
    DeviceSetup device;
    AddDevice(machine, device);
    if (c.deviceVxDs) {
        support::SetDeviceVxDs(machine, "0007", support::Sz(kGuidA));
    }
    if (c.netCfgInstanceId) {
        support::SetNetCfgInstanceId(machine, "0007", support::Sz(kGuidA));
    }
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.found ? 1 : 0);
    EXPECT_EQ(InstanceKeyOpens(), c.instanceKeyOpens);
    if (c.found) {
        EXPECT_EQ(Text(d.record.DevicePath), support::DeviceFile(kGuidA));
        EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidA));
        bool const newer = c.netCfgInstanceId && !c.deviceVxDs;
        EXPECT_EQ(Text(d.record.InstanceId), newer ? kGuidA : "");
        EXPECT_EQ(Text(d.record.NtDeviceName), newer ? std::string("\\Device\\") + kGuidA : "");
    }
    EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(DriverName("0007")));
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

// clang-format off
const LayoutCase kLayouts[] = {
    {.name = "NewerLayoutXp", .setWindows = support::SetWindowsXp,
     .deviceVxDs = false, .netCfgInstanceId = true, .found = true, .instanceKeyOpens = 2},
    {.name = "NewerLayoutIgnoresDeviceVxDs", .setWindows = support::SetWindows7x64,
     .deviceVxDs = true, .netCfgInstanceId = false, .found = false, .instanceKeyOpens = 2},
    {.name = "NewerLayoutFromCode11", .setWindows = SetWindows2000,
     .deviceVxDs = false, .netCfgInstanceId = true, .found = true, .instanceKeyOpens = 2},
    {.name = "OlderLayoutUpToCode5", .setWindows = SetWindowsNt4,
     .deviceVxDs = true, .netCfgInstanceId = false, .found = true, .instanceKeyOpens = 1},
    {.name = "OlderLayoutMe", .setWindows = support::SetWindowsMe,
     .deviceVxDs = true, .netCfgInstanceId = false, .found = true, .instanceKeyOpens = 1},
    {.name = "OlderLayoutIgnoresNetCfgInstanceId", .setWindows = support::SetWindowsMe,
     .deviceVxDs = false, .netCfgInstanceId = true, .found = false, .instanceKeyOpens = 1},
    {.name = "NoVersionTakesOlderLayout", .setWindows = SetNoVersion,
     .deviceVxDs = true, .netCfgInstanceId = false, .found = true, .instanceKeyOpens = 1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Layouts, RegistryLayout, ::testing::ValuesIn(kLayouts),
                         [](const ::testing::TestParamInfo<LayoutCase> &row) { return std::string(row.param.name); });

TEST_F(Detection, OlderLayoutReadsDeviceVxDsUnderServicesClassNet) {
    support::SetWindowsMe(machine);
    AddDevice(machine, DeviceSetup{});
    support::SetDeviceVxDs(machine, "0007", support::Sz(kGuidA));
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detect();
    EXPECT_EQ(support::CountKeyOpens(machine, "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\0007", host::KEY_READ),
              1u);
    EXPECT_EQ(support::CountValueReads(machine, "DeviceVxDs", 256), 1u);
    EXPECT_EQ(support::CountValueReads(machine, "NetCfgInstanceId"), 0u);
}

TEST_F(Detection, NewerLayoutReadsNetCfgInstanceIdTwice) {
    support::AddAdapter(machine, AdapterSetup{});
    Detect();
    EXPECT_EQ(support::CountKeyOpens(
                  machine, "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007",
                  host::KEY_READ),
              2u);
    EXPECT_EQ(support::CountValueReads(machine, "NetCfgInstanceId", 256), 1u);
    EXPECT_EQ(support::CountValueReads(machine, "NetCfgInstanceId", 128), 1u);
}

// ---------------------------------------------------------------------------
// Hardware-ID matching

struct MatchCase {
    const char *name;
    std::string hardwareId; // the raw REG_MULTI_SZ image
    bool matches;
};

class HardwareIdMatch : public Detection, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(HardwareIdMatch, FirstStringUpperCasedHoldsThePattern) {
    const MatchCase &c = GetParam();
    DeviceSetup device;
    device.hardwareId = c.hardwareId;
    AddDevice(machine, device);
    support::SetNetCfgInstanceId(machine, "0007", support::Sz(kGuidA));
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.matches ? 1 : 0);
    // A device that does not match costs its hardware-ID read and nothing more.
    EXPECT_EQ(PropertyReads(), c.matches ? 5u : 1u);
    EXPECT_EQ(machine.CountCalls("CreateFileA"), c.matches ? 1u : 0u);
    EXPECT_EQ(std::string(DriverKeyPath), c.matches ? support::DriverKeyFor(DriverName("0007")) : "");
}

INSTANTIATE_TEST_SUITE_P(
    Ids, HardwareIdMatch,
    ::testing::Values(
        MatchCase{"Exact", support::MultiSz({"USB\\VID_13B1&PID_003B"}), true},
        MatchCase{"RevisionSuffix", support::MultiSz({"USB\\VID_13B1&PID_003B&REV_0001"}), true},
        MatchCase{"LowerCase", support::MultiSz({"usb\\vid_13b1&pid_003b&rev_0100"}), true},
        MatchCase{"MixedCase", support::MultiSz({"Usb\\Vid_13b1&Pid_003b"}), true},
        MatchCase{"InsideTheString", support::MultiSz({"XUSB\\VID_13B1&PID_003B"}), true},
        MatchCase{"OnlyInSecondString", support::MultiSz({"USB\\VID_13B1&PID_0030", "USB\\VID_13B1&PID_003B"}), false},
        MatchCase{"CutShort", support::MultiSz({"USB\\VID_13B1&PID_003"}), false},
        MatchCase{"OtherProduct", support::MultiSz({"USB\\VID_13B1&PID_003C"}), false},
        MatchCase{"ForwardSlash", support::MultiSz({"USB/VID_13B1&PID_003B"}), false},
        MatchCase{"SplitByNul", std::string("USB\\VID_13B1\0&PID_003B\0\0", 25), false},
        MatchCase{"Empty", std::string("\0\0", 2), false},
        MatchCase{"EmptyFirstString", std::string("\0USB\\VID_13B1&PID_003B\0\0", 24), false},
        // 256 bytes without a NUL, the pattern in the very last bytes.
        MatchCase{"FullBufferPatternAtEnd", std::string(256 - 21, 'A') + "USB\\VID_13B1&PID_003B", true},
        MatchCase{"FullBufferPatternCutByEnd", std::string(256 - 20, 'A') + "USB\\VID_13B1&PID_003", false}),
    [](const ::testing::TestParamInfo<MatchCase> &row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Failures of the class look-up and the device set

TEST_F(Detection, ClassLookupFailureIsUnknownAndNoAdapter) {
    support::AddAdapter(machine, AdapterSetup{});
    machine.faults.push_back({"SetupDiClassGuidsFromNameA", "", 0, host::ERROR_INVALID_DATA});
    Enumerated const e = Enumerate(1);
    EXPECT_EQ(e.result, ZOWL_ERROR_UNKNOWN);
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(machine.standardOutput,
              "--> GetAvailableAdapters()\n<-- GetAvailableAdapters() : return ZOWL_ERROR_UNKNOWN\n");
    EXPECT_EQ(machine.CountCalls("SetupDiGetClassDevsA"), 0u);
    machine.standardOutput.clear();
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput, "--> DetectAdapter()\n--> GetAvailableAdapters()\n"
                                      "<-- GetAvailableAdapters() : return ZOWL_ERROR_UNKNOWN\n<-- DetectAdapter()\n");
    EXPECT_EQ(d.record.DevicePath[0], '\0');
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

TEST_F(Detection, DeviceSetFailureIsMinusSevenAndNoAdapter) {
    support::AddAdapter(machine, AdapterSetup{});
    machine.faults.push_back({"SetupDiGetClassDevsA", "", 0, host::ERROR_INVALID_PARAMETER});
    Enumerated const e = Enumerate(1);
    EXPECT_EQ(e.result, -7);
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(machine.standardOutput,
              "--> GetAvailableAdapters()\n<-- GetAvailableAdapters() : devs == INVALID_HANDLE_VALUE\n");
    machine.standardOutput.clear();
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput,
              "--> DetectAdapter()\n--> GetAvailableAdapters()\n"
              "<-- GetAvailableAdapters() : devs == INVALID_HANDLE_VALUE\n<-- DetectAdapter()\n");
    EXPECT_EQ(machine.CountCalls("SetupDiEnumDeviceInfo"), 0u);
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

// ---------------------------------------------------------------------------
// Results list capacity

struct CapacityCase {
    std::int32_t capacity;
    std::int32_t result;
    std::int32_t stored;
};

class ResultsCapacity : public Detection, public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(ResultsCapacity, CountsEveryAdapterAndStoresUpToTheCapacity) {
    const CapacityCase &c = GetParam();
    support::AddAdapter(machine, AdapterSetup{});
    support::AddAdapter(machine, AdapterSetup{.serial = "0002", .instanceNumber = "0008", .identifier = kGuidB});
    support::AddAdapter(machine, AdapterSetup{.serial = "0003", .instanceNumber = "0009", .identifier = kGuidC});
    Enumerated const e = Enumerate(c.capacity);
    EXPECT_EQ(e.result, c.result);
    EXPECT_EQ(e.count, 3);
    const char *const identifiers[] = {kGuidA, kGuidB, kGuidC};
    for (std::int32_t i = 0; i < c.capacity; ++i) {
        if (i < c.stored) {
            EXPECT_EQ(Text(e.rooms[static_cast<size_t>(i)].DevicePath), support::DeviceFile(identifiers[i]));
        } else {
            EXPECT_TRUE(IsZero(e.rooms[static_cast<size_t>(i)])) << "room " << i;
        }
    }
    EXPECT_EQ(machine.standardOutput, "--> GetAvailableAdapters()\n" + support::EnumOut(c.result));
    EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidC));
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

INSTANTIATE_TEST_SUITE_P(Capacities, ResultsCapacity,
                         ::testing::Values(CapacityCase{1, -10, 1}, CapacityCase{2, -10, 2}, CapacityCase{3, 3, 3},
                                           CapacityCase{5, 3, 3}));

TEST_F(Detection, ThreeAdaptersDetectedThroughASecondWalkOfThree) {
    support::AddAdapter(machine, AdapterSetup{});
    support::AddAdapter(machine, AdapterSetup{.serial = "0002", .instanceNumber = "0008", .identifier = kGuidB});
    support::AddAdapter(machine, AdapterSetup{.serial = "0003", .instanceNumber = "0009", .identifier = kGuidC});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 3);
    EXPECT_EQ(machine.standardOutput, support::DetectTrace(3));
    EXPECT_EQ(Text(d.record.DevicePath), support::DeviceFile(kGuidA));
    EXPECT_EQ(support::CountAllocations(machine, 4 + 3 * 1300), 1u);
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

// ---------------------------------------------------------------------------
// Call budget

struct BudgetCase {
    const char *name;
    void (*setWindows)(sim::Machine &);
    bool friendlyName;
    size_t propertyReads;
    size_t instanceKeyReads; // opens and queries of the instance key each
};

class CallBudget : public Detection, public ::testing::WithParamInterface<BudgetCase> {};

TEST_P(CallBudget, OneMatchingDeviceAndOneOther) {
    const BudgetCase &c = GetParam();
    c.setWindows(machine);
    support::AddOtherNetCard(machine);
    DeviceSetup device;
    if (!c.friendlyName) {
        device.friendlyName.reset();
    }
    AddDevice(machine, device);
    support::SetNetCfgInstanceId(machine, "0007", support::Sz(kGuidA));
    support::SetDeviceVxDs(machine, "0007", support::Sz(kGuidA));
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    ASSERT_EQ(d.count, 1);
    // The other card costs one read; the adapter the rest.
    EXPECT_EQ(PropertyReads(), 1 + c.propertyReads);
    EXPECT_EQ(InstanceKeyOpens(), c.instanceKeyReads);
    EXPECT_EQ(machine.CountCalls("RegQueryValueExA") - support::CountValueReads(machine, "PROCESSOR_ARCHITECTURE"),
              c.instanceKeyReads);
    // Each registry routine obtains the version code once.
    EXPECT_EQ(machine.CountCalls("GetVersionExA"), 2u);
    EXPECT_EQ(machine.CountCalls("CreateFileA"), 1u);
    EXPECT_EQ(machine.CountCalls("CloseHandle"), 1u);
    EXPECT_EQ(machine.CountCalls("SetupDiEnumDeviceInfo"), 3u); // two members, then the end
    EXPECT_EQ(machine.CountCalls("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(
        support::CountCallsWhere(machine, "SetupDiEnumDeviceInfo",
                                 [](const sim::CallRecord &call) { return call.size == 28; }), // the 32-bit layout
        3u);
    EXPECT_EQ(support::CountCallsWhere(machine, "SetupDiGetDeviceRegistryPropertyA",
                                       [](const sim::CallRecord &call) { return call.size == 256; }),
              PropertyReads());
    EXPECT_EQ(
        support::CountCallsWhere(machine, "SetupDiGetDeviceRegistryPropertyA",
                                 [](const sim::CallRecord &call) { return call.property == host::SPDRP_DEVICEDESC; }),
        c.friendlyName ? 0u : 1u);
    if (!c.friendlyName) {
        EXPECT_EQ(Text(d.record.FriendlyName), "");
        EXPECT_EQ(Text(d.record.Description), "Wireless USB Adapter");
    }
    EXPECT_EQ(machine.CountCalls("LocalAlloc"), 2u);
    EXPECT_EQ(machine.CountCalls("LocalFree"), 2u);
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

// clang-format off
const BudgetCase kBudgets[] = {
    {.name = "NewerWithFriendlyName", .setWindows = support::SetWindows7x64, .friendlyName = true, .propertyReads = 5,
     .instanceKeyReads = 2},
    {.name = "NewerWithoutFriendlyName", .setWindows = support::SetWindows7x64, .friendlyName = false,
     .propertyReads = 6, .instanceKeyReads = 2},
    {.name = "OlderWithFriendlyName", .setWindows = support::SetWindowsMe, .friendlyName = true, .propertyReads = 5,
     .instanceKeyReads = 1},
    {.name = "OlderWithoutFriendlyName", .setWindows = support::SetWindowsMe, .friendlyName = false, .propertyReads = 6,
     .instanceKeyReads = 1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Budgets, CallBudget, ::testing::ValuesIn(kBudgets),
                         [](const ::testing::TestParamInfo<BudgetCase> &row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// An adapter at 0007, then a second matching device. After the walk the two
// strings describe one device: the second, or the first when the second
// takes no part; never the first's device file with the second's key.

enum class Named { First, Second, SecondKeyOnly };
// The registry layout: the newer one of Windows 10 or of Windows 2000 (code
// 11, its first), or the older one of Windows Me.
enum class Layout { Newer, NewerOf2000, Older };

struct PairCase {
    const char *name;
    Layout layout;
    std::string driver;                    // the second's driver key name
    std::string instanceKey;               // where its identifier lives; "" = no key
    std::optional<std::string> identifier; // nullopt = the key lacks the value
    int count;
    Named named;
};

class SecondDevice : public Detection, public ::testing::WithParamInterface<PairCase> {};

TEST_P(SecondDevice, LeavesBothStringsOnOneDevice) {
    const PairCase &c = GetParam();
    auto const setIdentifier = [&](const std::string &instance, const std::string &identifier) {
        if (c.layout == Layout::Older) {
            support::SetDeviceVxDs(machine, instance, support::Sz(identifier));
        } else {
            support::SetNetCfgInstanceId(machine, instance, support::Sz(identifier));
        }
    };
    if (c.layout == Layout::Older) {
        support::SetWindowsMe(machine);
    } else if (c.layout == Layout::NewerOf2000) {
        support::SetWindows(machine, "x86", 5, 0, 2195, 2);
    }
    support::AddAdapter(machine, AdapterSetup{});
    setIdentifier("0007", kGuidA);
    DeviceSetup second;
    second.instancePath = "USB\\VID_13B1&PID_003B\\0002";
    second.driver = support::Sz(c.driver);
    AddDevice(machine, second);
    if (c.identifier) {
        setIdentifier(c.instanceKey, *c.identifier);
        machine.drivers.push_back(support::MakeDriver(*c.identifier, 0x100));
    } else if (!c.instanceKey.empty()) {
        machine.registry.CreateKey(std::string(support::kNetClassKey) + "\\" + c.instanceKey);
    }
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.count);
    EXPECT_EQ(Text(d.record.DevicePath), support::DeviceFile(kGuidA));
    std::string const firstKey = support::DriverKeyFor(DriverName("0007"));
    switch (c.named) {
    case Named::First:
        EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidA));
        EXPECT_EQ(std::string(DriverKeyPath), firstKey);
        break;
    case Named::Second:
        EXPECT_EQ(std::string(MacFileName), support::DeviceFile(c.identifier.value_or("")));
        EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(c.driver));
        break;
    case Named::SecondKeyOnly:
        EXPECT_EQ(std::string(MacFileName), "");
        EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(c.driver));
        break;
    }
    // No device file is tried through a path the device does not own (two
    // counted adapters take a second walk).
    EXPECT_EQ(machine.CountCalls("CreateFileA"), c.count == 2 ? 4u : 1u);
}

std::string Lowered(std::string text) {
    for (char &ch : text) {
        ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    }
    return text;
}

std::string Letters(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += static_cast<char>('a' + i % 26);
    }
    return s;
}

// clang-format off
const PairCase kMachines[] = {
    {.name = "Sound", .layout = Layout::Newer, .driver = DriverName("0008"), .instanceKey = "0008",
     .identifier = kGuidB, .count = 2, .named = Named::Second},
    {.name = "LowerCaseNetClass", .layout = Layout::Newer, .driver = Lowered(DriverName("0008")), .instanceKey = "0008",
     .identifier = kGuidB, .count = 2, .named = Named::Second},
    {.name = "IdentifierOf59", .layout = Layout::Newer, .driver = DriverName("0008"), .instanceKey = "0008",
     .identifier = Letters(59), .count = 2, .named = Named::Second},
    // Its identifier cannot be read, or does not fit: its key, no file.
    {.name = "NoInstanceKey", .layout = Layout::Newer, .driver = DriverName("0008"), .instanceKey = "",
     .identifier = std::nullopt, .count = 1, .named = Named::SecondKeyOnly},
    {.name = "NoIdentifierValue", .layout = Layout::Newer, .driver = DriverName("0008"), .instanceKey = "0008",
     .identifier = std::nullopt, .count = 1, .named = Named::SecondKeyOnly},
    {.name = "IdentifierOf60", .layout = Layout::Newer, .driver = DriverName("0008"), .instanceKey = "0008",
     .identifier = Letters(60), .count = 1, .named = Named::SecondKeyOnly},
    {.name = "OlderNoDeviceVxDs", .layout = Layout::Older, .driver = "N\\0008", .instanceKey = "",
     .identifier = std::nullopt, .count = 1, .named = Named::SecondKeyOnly},
    // The older layout pairs any class part with its instance key.
    {.name = "OlderOtherClass", .layout = Layout::Older, .driver = "Net\\0008", .instanceKey = "0008",
     .identifier = kGuidB, .count = 2, .named = Named::Second},
    // Names whose last four characters are the first adapter's instance
    // key, but not its driver key: no part.
    {.name = "InstancePartOfFive", .layout = Layout::Newer, .driver = DriverName("10007"), .instanceKey = "",
     .identifier = std::nullopt, .count = 1, .named = Named::First},
    {.name = "OtherClass", .layout = Layout::Newer, .driver = "{36FC9E60-C465-11CF-8056-444553540000}\\0007",
     .instanceKey = "", .identifier = std::nullopt, .count = 1, .named = Named::First},
    {.name = "OtherClassOn2000", .layout = Layout::NewerOf2000,
     .driver = "{36FC9E60-C465-11CF-8056-444553540000}\\0007", .instanceKey = "", .identifier = std::nullopt,
     .count = 1, .named = Named::First},
    {.name = "NoGuid", .layout = Layout::Newer, .driver = "N\\7", .instanceKey = "", .identifier = std::nullopt,
     .count = 1, .named = Named::First},
    {.name = "OlderNoGuid", .layout = Layout::Older, .driver = "N\\7", .instanceKey = "", .identifier = std::nullopt,
     .count = 1, .named = Named::First},
    {.name = "OlderNoBackslash", .layout = Layout::Older, .driver = "Net0007", .instanceKey = "",
     .identifier = std::nullopt, .count = 1, .named = Named::First},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Machines, SecondDevice, ::testing::ValuesIn(kMachines),
                         [](const ::testing::TestParamInfo<PairCase> &row) { return std::string(row.param.name); });

TEST_F(Detection, UnreadableIdentifierOfTheFirstDeviceOpensNothing) {
    AddDevice(machine, DeviceSetup{}); // no instance key at all
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.CountCalls("CreateFileA"), 0u);
    EXPECT_EQ(std::string(MacFileName), "");
    EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(DriverName("0007")));
}

TEST_F(Detection, StoredRecordCarriesNoTextOfAnEarlierDevice) {
    support::AddAdapter(machine, AdapterSetup{});
    support::AddAdapter(machine, AdapterSetup{.serial = "0002", .instanceNumber = "0008", .identifier = kGuidB});
    // The second adapter's NetCfgInstanceId fails for GetAdapterInstanceId
    // only (reads: name 1, id 1, name 2, id 2); its description lacks a
    // location and a manufacturer.
    machine.faults.push_back({"RegQueryValueExA", "NetCfgInstanceId", 4, host::ERROR_GEN_FAILURE});
    std::string const key = std::string(support::kEnumRoot) + "\\USB\\VID_13B1&PID_003B\\0002";
    machine.registry.FindKey(key)->DeleteValue("LocationInformation");
    machine.registry.FindKey(key)->DeleteValue("Mfg");
    Enumerated const e = Enumerate(2);
    ASSERT_EQ(e.result, 2);
    const AdapterRecord &second = e.rooms[1];
    EXPECT_EQ(Text(second.DevicePath), support::DeviceFile(kGuidB));
    EXPECT_EQ(Text(second.InstanceNumber), "0008");
    EXPECT_EQ(Text(second.InstanceId), "");
    EXPECT_EQ(Text(second.NtDeviceName), "");
    EXPECT_EQ(Text(second.LocationInformation), "");
    EXPECT_EQ(Text(second.Manufacturer), "");
    EXPECT_EQ(Text(e.rooms[0].InstanceId), kGuidA);
}

// ---------------------------------------------------------------------------
// The hardware-ID buffer holds nothing from an earlier device.

TEST_F(Detection, UnreadableHardwareIdAfterAnAdapterDoesNotMatch) {
    struct Case {
        const char *name;
        std::optional<std::string> hardwareId;
    };
    const Case cases[] = {
        {"absent", std::nullopt},
        {"longer than the buffer", support::MultiSz({kPattern + std::string(300, 'Z')})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Machine fresh;
        support::PrepareMachine(fresh);
        support::ResetToolState();
        support::AddAdapter(fresh, AdapterSetup{});
        DeviceSetup second;
        second.instancePath = "USB\\VID_13B1&PID_003B\\0002";
        second.hardwareId = c.hardwareId;
        second.driver = support::Sz(DriverName("0008"));
        AddDevice(fresh, second);
        support::SetNetCfgInstanceId(fresh, "0008", support::Sz(kGuidB));
        fresh.drivers.push_back(support::MakeDriver(kGuidB, 0x100));
        AdapterRecord record;
        std::int32_t count = 0;
        {
            sim::MachineScope scope(fresh);
            count = DetectAdapter(&record);
        }
        EXPECT_EQ(count, 1);
        EXPECT_EQ(fresh.CountCalls("SetupDiGetDeviceRegistryPropertyA"), 5u + 1u);
        EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(DriverName("0007")));
        EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidA));
    }
}

// ---------------------------------------------------------------------------
// Every copy into a fixed field is cut at its width.

struct FieldCase {
    const char *name;
    std::optional<std::string> friendlyName;
    std::optional<std::string> deviceDesc;
    std::optional<std::string> location;
    std::optional<std::string> mfg;
    std::string description; // expected
    std::string friendly;
    std::string locationText;
    std::string mfgText;
};

class FieldBounds : public Detection, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(FieldBounds, PropertyTextsAreCutAtTheFieldWidth) {
    const FieldCase &c = GetParam();
    DeviceSetup device;
    device.friendlyName = c.friendlyName;
    device.deviceDesc = c.deviceDesc;
    device.location = c.location;
    device.mfg = c.mfg;
    AddDevice(machine, device);
    support::SetNetCfgInstanceId(machine, "0007", support::Sz(kGuidA));
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    ASSERT_EQ(d.count, 1);
    EXPECT_EQ(Text(d.record.Description), c.description);
    EXPECT_EQ(Text(d.record.FriendlyName), c.friendly);
    EXPECT_EQ(Text(d.record.LocationInformation), c.locationText);
    EXPECT_EQ(Text(d.record.Manufacturer), c.mfgText);
    // Every text stays NUL-terminated inside its field.
    EXPECT_EQ(d.record.Description[c.description.size()], '\0');
    EXPECT_EQ(d.record.FriendlyName[c.friendly.size()], '\0');
    EXPECT_EQ(d.record.HardwareIdPattern[sizeof kPattern - 1], '\0');
    EXPECT_EQ(d.record.DevicePath[support::DeviceFile(kGuidA).size()], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FieldBounds,
    ::testing::Values(FieldCase{"Longest", support::Sz(Letters(255)), support::Sz("Desc"), support::Sz(Letters(255)),
                                support::Sz(Letters(255)), Letters(63), Letters(255), Letters(255), Letters(255)},
                      FieldCase{"FullBufferWithoutNul", Letters(256), support::Sz("Desc"), Letters(256), Letters(256),
                                Letters(63), Letters(255), Letters(255), Letters(255)},
                      FieldCase{"FriendlyNameTooLongForTheBuffer", support::Sz(Letters(300)),
                                support::Sz("Device description"), support::Sz("L"), support::Sz("M"),
                                "Device description", "", "L", "M"},
                      FieldCase{"DescriptionFullBufferWithoutNul", std::nullopt, Letters(256), support::Sz("L"),
                                support::Sz("M"), Letters(63), "", "L", "M"},
                      FieldCase{"DescriptionOfExactly63", std::nullopt, support::Sz(Letters(63)), std::nullopt,
                                std::nullopt, Letters(63), "", "", ""},
                      FieldCase{"DescriptionOf64", support::Sz(Letters(64)), std::nullopt, std::nullopt, std::nullopt,
                                Letters(63), Letters(64), "", ""},
                      FieldCase{"NoTextsAtAll", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "", "", "", ""},
                      FieldCase{"OneLetterNameLocationWithoutManufacturer", support::Sz("A"), support::Sz("Desc"),
                                support::Sz("L"), std::nullopt, "A", "A", "L", ""}),
    [](const ::testing::TestParamInfo<FieldCase> &row) { return std::string(row.param.name); });

TEST_F(Detection, DriverKeyNameFillingTheBufferWithoutNul) {
    // On the older layout, where any class part pairs with its instance key.
    support::SetWindowsMe(machine);
    std::string const name = std::string(251, 'k') + "\\0042";
    ASSERT_EQ(name.size(), 256u);
    DeviceSetup device;
    device.driver = name;
    AddDevice(machine, device);
    support::SetDeviceVxDs(machine, "0042", support::Sz(kGuidA));
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(name));
    EXPECT_EQ(Text(d.record.InstanceNumber), "0042");
}

TEST_F(Detection, RegistryTextsWithoutNulEndAtTheReportedSize) {
    // A NetCfgInstanceId stored as bytes without a NUL (nothing appended).
    AddDevice(machine, DeviceSetup{});
    support::SetNetCfgInstanceId(machine, "0007", kGuidA, host::REG_BINARY);
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(std::string(MacFileName), support::DeviceFile(kGuidA));
    EXPECT_EQ(Text(d.record.InstanceId), kGuidA);
    EXPECT_EQ(Text(d.record.NtDeviceName), std::string("\\Device\\") + kGuidA);
}

// ---------------------------------------------------------------------------
// InstanceNumber from driver key names of every shape

struct InstanceNumberCase {
    const char *name;
    std::optional<std::string> driver; // raw image
    host::DWORD type;
    std::string instanceKey;    // the key given a NetCfgInstanceId; "" = none
    bool driverKeySet;          // the name has the shape class\instance
    size_t instanceKeyOpens;    // both registry routines
    std::string instanceNumber; // of the counted adapter; "" = not counted
};

class InstanceNumberShape : public Detection, public ::testing::WithParamInterface<InstanceNumberCase> {};

TEST_P(InstanceNumberShape, IsTheLastFourCharactersOfAWellFormedName) {
    const InstanceNumberCase &c = GetParam();
    DeviceSetup device;
    device.driver = c.driver;
    device.textType = c.type;
    // A name of the right shape in the buffer the driver key name is read
    // into: a failed read must not take it for one.
    device.friendlyName = support::Sz(DriverName("0009"));
    AddDevice(machine, device);
    if (!c.instanceKey.empty()) {
        support::SetNetCfgInstanceId(machine, c.instanceKey, support::Sz(kGuidA));
    }
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x100));
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.instanceNumber.empty() ? 0 : 1);
    EXPECT_EQ(Text(d.record.InstanceNumber), c.instanceNumber);
    EXPECT_EQ(InstanceKeyOpens(), c.instanceKeyOpens);
    std::string const name = c.driver ? c.driver->substr(0, c.driver->find('\0')) : "";
    EXPECT_EQ(std::string(DriverKeyPath), c.driverKeySet ? support::DriverKeyFor(name) : "");
    // A name of another shape takes no part: no device file, no device path.
    EXPECT_EQ(std::string(MacFileName), c.instanceNumber.empty() ? "" : support::DeviceFile(kGuidA));
    EXPECT_EQ(machine.CountCalls("CreateFileA"), c.instanceNumber.empty() ? 0u : 1u);
}

// clang-format off
const InstanceNumberCase kNames[] = {
    {.name = "Usual", .driver = support::Sz(DriverName("0012")), .type = host::REG_SZ, .instanceKey = "0012",
     .driverKeySet = true, .instanceKeyOpens = 2, .instanceNumber = "0012"},
    {.name = "BytesWithoutNul", .driver = DriverName("0031"), .type = host::REG_BINARY, .instanceKey = "0031",
     .driverKeySet = true, .instanceKeyOpens = 2, .instanceNumber = "0031"},
    {.name = "NulThenBytes", .driver = DriverName("0005") + std::string("\0tail", 5), .type = host::REG_SZ,
     .instanceKey = "0005", .driverKeySet = true, .instanceKeyOpens = 2, .instanceNumber = "0005"},
    {.name = "LowerCaseClass", .driver = support::Sz(Lowered(DriverName("0012"))), .type = host::REG_SZ,
     .instanceKey = "0012", .driverKeySet = true, .instanceKeyOpens = 2, .instanceNumber = "0012"},
    // The instance part is not exactly the four characters read, or the
    // class part not the network class the identifier is read under.
    {.name = "OneCharacterInstance", .driver = support::Sz(DriverName("7")), .type = host::REG_SZ, .instanceKey = "",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "FiveCharacterInstance", .driver = support::Sz(DriverName("10012")), .type = host::REG_SZ,
     .instanceKey = "0012", .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "OtherClass", .driver = support::Sz("{36FC9E60-C465-11CF-8056-444553540000}\\0012"), .type = host::REG_SZ,
     .instanceKey = "0012", .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "OtherFirstCharacter", .driver = support::Sz("(4D36E972-E325-11CE-BFC1-08002BE10318}\\0012"),
     .type = host::REG_SZ, .instanceKey = "0012", .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "BackslashOpensTheInstancePart", .driver = support::Sz(DriverName("\\012")), .type = host::REG_SZ,
     .instanceKey = "", .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "NetClassAndALetter", .driver = support::Sz(std::string(support::kNetClassGuid) + "x\\0012"),
     .type = host::REG_SZ, .instanceKey = "0012", .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "ShortClassOfFour", .driver = support::Sz("X\\0012"), .type = host::REG_SZ, .instanceKey = "0012",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "WellFormedShorterThanFour", .driver = support::Sz("a\\b"), .type = host::REG_SZ, .instanceKey = "",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    // Not of the shape class\instance, even with an instance key and a
    // driver behind their last four characters.
    {.name = "InstanceNameAlone", .driver = support::Sz("0007"), .type = host::REG_SZ, .instanceKey = "0007",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "LetterAndInstanceName", .driver = support::Sz("x0007"), .type = host::REG_SZ, .instanceKey = "0007",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "TrailingBackslash", .driver = support::Sz("{X}\\0007\\"), .type = host::REG_SZ, .instanceKey = "007\\",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "ClassKeyAndBackslash", .driver = support::Sz(DriverName("")), .type = host::REG_SZ, .instanceKey = "",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "LeadingBackslash", .driver = support::Sz("\\0007"), .type = host::REG_SZ, .instanceKey = "0007",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "TwoBackslashes", .driver = support::Sz("{X}\\0008\\0007"), .type = host::REG_SZ, .instanceKey = "0007",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "ThreeCharacters", .driver = support::Sz("007"), .type = host::REG_SZ, .instanceKey = "",
     .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "EmptyText", .driver = support::Sz(""), .type = host::REG_SZ, .instanceKey = "", .driverKeySet = false,
     .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "NoBytes", .driver = std::string(), .type = host::REG_BINARY, .instanceKey = "", .driverKeySet = false,
     .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "Absent", .driver = std::nullopt, .type = host::REG_SZ, .instanceKey = "", .driverKeySet = false,
     .instanceKeyOpens = 0, .instanceNumber = ""},
    {.name = "TooLongForTheBuffer", .driver = support::Sz(DriverName(std::string(290, 'k') + "0001")),
     .type = host::REG_SZ, .instanceKey = "0001", .driverKeySet = false, .instanceKeyOpens = 0, .instanceNumber = ""},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Names, InstanceNumberShape, ::testing::ValuesIn(kNames),
                         [](const ::testing::TestParamInfo<InstanceNumberCase> &row) {
                             return std::string(row.param.name);
                         });

// ---------------------------------------------------------------------------
// Instance identifiers too long for MacFileName are refused, never cut, and
// leave no device file named.

struct IdentifierCase {
    const char *name;
    bool olderLayout;
    std::string raw; // value image
    bool accepted;   // MacFileName and the device path name it
    int count;
};

class IdentifierLength : public Detection, public ::testing::WithParamInterface<IdentifierCase> {};

TEST_P(IdentifierLength, FitsBehindThePrefixOrIsRefused) {
    const IdentifierCase &c = GetParam();
    if (c.olderLayout) {
        support::SetWindowsMe(machine);
        support::SetDeviceVxDs(machine, "0007", c.raw);
    } else {
        support::SetNetCfgInstanceId(machine, "0007", c.raw);
    }
    AddDevice(machine, DeviceSetup{});
    std::string const identifier = c.raw.substr(0, c.raw.find('\0'));
    machine.drivers.push_back(support::MakeDriver(identifier, 0x100));
    support::SetToolStrings(kOldMacFile, kOldDriverKey);
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.count);
    if (c.accepted) {
        EXPECT_EQ(std::string(MacFileName), support::DeviceFile(identifier));
        EXPECT_EQ(support::CountDeviceOpens(machine, support::DeviceFile(identifier)), 1u);
    } else {
        // Not the earlier device's file: this device's key is DriverKeyPath.
        EXPECT_EQ(std::string(MacFileName), "");
        EXPECT_EQ(machine.CountCalls("CreateFileA"), 0u);
    }
    EXPECT_EQ(std::string(DriverKeyPath), support::DriverKeyFor(DriverName("0007")));
}

// clang-format off
const IdentifierCase kLengths[] = {
    {.name = "Guid", .olderLayout = false, .raw = support::Sz(kGuidA), .accepted = true, .count = 1},
    {.name = "Longest59", .olderLayout = false, .raw = support::Sz(Letters(59)), .accepted = true, .count = 1},
    {.name = "Of60", .olderLayout = false, .raw = support::Sz(Letters(60)), .accepted = false, .count = 0},
    {.name = "Of127", .olderLayout = false, .raw = support::Sz(Letters(127)), .accepted = false, .count = 0},
    {.name = "Full128WithoutNul", .olderLayout = false, .raw = Letters(128), .accepted = false, .count = 0},
    // "\\.\" names no device file: tried, not counted.
    {.name = "Empty", .olderLayout = false, .raw = support::Sz(""), .accepted = true, .count = 0},
    {.name = "OlderEmpty", .olderLayout = true, .raw = support::Sz(""), .accepted = true, .count = 0},
    {.name = "OlderLongest59", .olderLayout = true, .raw = support::Sz(Letters(59)), .accepted = true, .count = 1},
    {.name = "OlderOf60", .olderLayout = true, .raw = support::Sz(Letters(60)), .accepted = false, .count = 0},
    {.name = "OlderFull256WithoutNul", .olderLayout = true, .raw = Letters(256), .accepted = false, .count = 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Lengths, IdentifierLength, ::testing::ValuesIn(kLengths),
                         [](const ::testing::TestParamInfo<IdentifierCase> &row) {
                             return std::string(row.param.name);
                         });

TEST_F(Detection, RegistryRoutinesSetTheirFieldsOrLeaveThemUntouched) {
    struct Case {
        bool olderLayout;
        const char *instanceNumber;
        size_t length;
        bool deviceName;
        bool instanceId;
        size_t opens;
    };
    // clang-format off
    const Case cases[] = {
        {.olderLayout = false, .instanceNumber = "0007", .length = 38, .deviceName = true, .instanceId = true, .opens = 2},
        {.olderLayout = false, .instanceNumber = "0007", .length = 59, .deviceName = true, .instanceId = true, .opens = 2},
        {.olderLayout = false, .instanceNumber = "0007", .length = 60, .deviceName = false, .instanceId = true, .opens = 2},
        {.olderLayout = false, .instanceNumber = "0007", .length = 63, .deviceName = false, .instanceId = true, .opens = 2},
        {.olderLayout = false, .instanceNumber = "0007", .length = 64, .deviceName = false, .instanceId = false, .opens = 2},
        {.olderLayout = false, .instanceNumber = "0007", .length = 0, .deviceName = true, .instanceId = true, .opens = 2},
        {.olderLayout = false, .instanceNumber = "", .length = 38, .deviceName = false, .instanceId = false, .opens = 0},
        {.olderLayout = true, .instanceNumber = "0007", .length = 38, .deviceName = true, .instanceId = false, .opens = 1},
        {.olderLayout = true, .instanceNumber = "0007", .length = 0, .deviceName = true, .instanceId = false, .opens = 1},
        {.olderLayout = true, .instanceNumber = "", .length = 38, .deviceName = false, .instanceId = false, .opens = 0},
        {.olderLayout = false, .instanceNumber = "0009", .length = 38, .deviceName = false, .instanceId = false, .opens = 2},
        {.olderLayout = true, .instanceNumber = "0009", .length = 38, .deviceName = false, .instanceId = false, .opens = 1},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "older " << c.olderLayout << " \"" << c.instanceNumber << "\" length " << c.length);
        sim::Machine fresh;
        support::PrepareMachine(fresh);
        if (c.olderLayout) {
            support::SetWindowsMe(fresh);
        }
        // Both layouts' values are there: each routine must pick its own.
        support::SetNetCfgInstanceId(fresh, "0007", support::Sz(Letters(c.length)));
        support::SetDeviceVxDs(fresh, "0007", support::Sz(std::string(c.length, 'v')));
        std::string const deviceName = c.olderLayout ? std::string(c.length, 'v') : Letters(c.length);
        support::SetToolStrings(kOldMacFile, "");
        char path[64];
        char nt[256];
        char id[64];
        std::memset(path, 'Q', sizeof path);
        std::memset(nt, 'Q', sizeof nt);
        std::memset(id, 'Q', sizeof id);
        bool named = false;
        bool identified = false;
        {
            sim::MachineScope scope(fresh);
            named = GetAdapterDeviceName(c.instanceNumber, path);
            identified = GetAdapterInstanceId(c.instanceNumber, nt, id);
        }
        EXPECT_EQ(named, c.deviceName);
        EXPECT_EQ(identified, c.instanceId);
        if (c.deviceName) {
            EXPECT_EQ(Text(path), "\\\\.\\" + deviceName);
            EXPECT_EQ(std::string(MacFileName), "\\\\.\\" + deviceName);
        } else {
            EXPECT_EQ(std::string(path, sizeof path), std::string(64, 'Q'));
            EXPECT_EQ(std::string(MacFileName), kOldMacFile);
        }
        if (c.instanceId) {
            EXPECT_EQ(Text(id), Letters(c.length));
            EXPECT_EQ(Text(nt), "\\Device\\" + Letters(c.length));
        } else {
            EXPECT_EQ(std::string(id, sizeof id), std::string(64, 'Q'));
            EXPECT_EQ(std::string(nt, sizeof nt), std::string(256, 'Q'));
        }
        EXPECT_EQ(fresh.CountCalls("RegOpenKeyExA") -
                      support::CountKeyOpens(fresh, support::kEnvironmentKey, host::KEY_READ),
                  c.opens);
        EXPECT_EQ(fresh.OpenKeyCount(), 0u);
    }
}

// ---------------------------------------------------------------------------
// No class GUID, and failed allocations: no adapter.

TEST_F(Detection, ClassNameWithoutGuidWalksNothing) {
    machine.registry.DeleteKeyTree(support::kNetClassKey);
    support::AddAdapter(machine, AdapterSetup{});
    Enumerated const e = Enumerate(1);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(machine.standardOutput, std::string(support::kEnumIn) + support::kNoAdapter + support::EnumOut(0));
    EXPECT_EQ(machine.CountCalls("SetupDiClassGuidsFromNameA"), 1u);
    EXPECT_EQ(machine.CountCalls("SetupDiGetClassDevsA"), 0u);
    EXPECT_TRUE(support::NothingLeftOpen(machine));
}

struct AllocationCase {
    const char *name;
    int adapters;
    std::string bytes; // LocalAlloc subject: the block size
    int callNumber;
    std::string trace;
};

class FailedAllocation : public Detection, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(FailedAllocation, CountsAsNoAdapter) {
    const AllocationCase &c = GetParam();
    support::AddAdapter(machine, AdapterSetup{});
    if (c.adapters > 1) {
        support::AddAdapter(machine, AdapterSetup{.serial = "0002", .instanceNumber = "0008", .identifier = kGuidB});
    }
    machine.faults.push_back({"LocalAlloc", c.bytes, c.callNumber, host::ERROR_NOT_ENOUGH_MEMORY});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput, c.trace);
    EXPECT_EQ(d.record.DevicePath[0], '\0');
    EXPECT_EQ(d.record.Description[0], '\0');
    EXPECT_TRUE(support::NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, FailedAllocation,
    ::testing::Values(
        // Detection's first list (the table has the same size: call 1 is the list).
        AllocationCase{"FirstList", 1, "1304", 1, std::string(support::kDetectIn) + support::kDetectOut},
        AllocationCase{"FirstTable", 1, "1304", 2,
                       std::string(support::kDetectIn) + support::kEnumIn + support::kNoAdapter + support::EnumOut(0) +
                           support::kDetectOut},
        AllocationCase{"SecondList", 2, "2604", 1,
                       std::string(support::kDetectIn) + support::kEnumIn + support::EnumOut(-10) +
                           support::kDetectOut},
        AllocationCase{"SecondTable", 2, "1304", 3,
                       std::string(support::kDetectIn) + support::kEnumIn + support::EnumOut(-10) + support::kEnumIn +
                           support::kNoAdapter + support::EnumOut(0) + support::kDetectOut}),
    [](const ::testing::TestParamInfo<AllocationCase> &row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------
// Records and lists

TEST(AdapterRecordShape, FieldsLieInOrderAndWidth) {
    EXPECT_EQ(offsetof(AdapterRecord, Description), 0u);
    EXPECT_EQ(offsetof(AdapterRecord, HardwareIdPattern), 64u);
    EXPECT_EQ(offsetof(AdapterRecord, InstanceNumber), 128u);
    EXPECT_EQ(offsetof(AdapterRecord, FriendlyName), 136u);
    EXPECT_EQ(offsetof(AdapterRecord, DevicePath), 392u);
    EXPECT_EQ(offsetof(AdapterRecord, InstanceId), 456u);
    EXPECT_EQ(offsetof(AdapterRecord, NtDeviceName), 520u);
    EXPECT_EQ(offsetof(AdapterRecord, LocationInformation), 776u);
    EXPECT_EQ(offsetof(AdapterRecord, Manufacturer), 1032u);
    EXPECT_EQ(offsetof(AdapterRecord, EntryValue1), 1288u);
    EXPECT_EQ(offsetof(AdapterRecord, EntryValue2), 1292u);
    EXPECT_EQ(offsetof(AdapterRecord, Reserved), 1296u);
}

TEST(SupportedDeviceTable, HoldsTheOneEntry) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    AdapterList *table = BuildSupportedDeviceTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->Count, 1);
    const AdapterRecord *entry = GetAdapterRoom(table, 0);
    EXPECT_EQ(Text(entry->HardwareIdPattern), kPattern);
    EXPECT_EQ(entry->EntryValue1, 5);
    EXPECT_EQ(entry->EntryValue2, 0);
    EXPECT_EQ(support::CountAllocations(machine, 1304), 1u);
    ReleaseAdapterList(table);
    EXPECT_EQ(machine.LiveBlockCount(), 0u);
}

TEST(AdapterListBlock, IsACountAndCapacityRooms) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    AdapterList *list = AllocateAdapterList(3);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(support::CountAllocations(machine, 3904), 1u);
    EXPECT_EQ(reinterpret_cast<char *>(GetAdapterRoom(list, 2)) - reinterpret_cast<char *>(list), 4 + 2 * 1300);
    ReleaseAdapterList(list);
    EXPECT_EQ(AllocateAdapterList(0), nullptr);
    EXPECT_EQ(AllocateAdapterList(-1), nullptr);
    EXPECT_EQ(machine.LiveBlockCount(), 0u);
}

} // namespace
