// Adapter enumeration and detection on the simulated host: traces, results,
// records, the two module-level strings, the calls made, and the handling of
// malformed device and registry data.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter_detection.h"
#include "adapter/adapter_record.h"
#include "host/version.h"
#include "support/tool_machine.h"

namespace {

using namespace support;

constexpr char kOldMacFile[] = "\\\\.\\{OLD}";
constexpr char kOldDriverKey[] = "System\\CurrentControlSet\\Control\\Class\\{OLD}\\0099";
constexpr char kPattern[] = "USB\\VID_13B1&PID_003B";

template <size_t N> std::string Text(const char (&field)[N]) { return std::string(field, strnlen(field, N)); }

std::string DriverName(const std::string &instanceNumber) { return std::string(kNetClassGuid) + "\\" + instanceNumber; }

// The adapters of the tests with several, in the order the walk meets them.
const AdapterSetup kAdapters[] = {{},
                                  {.serial = "0002", .instanceNumber = "0008", .identifier = kGuidB},
                                  {.serial = "0003", .instanceNumber = "0009", .identifier = kGuidC}};

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
        PrepareMachine(machine);
        ResetToolState();
    }
    // Whatever a test did, the tool released everything it took.
    void TearDown() override {
        EXPECT_TRUE(NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
        ResetToolState();
    }

    void AddAdapters(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            AddAdapter(machine, kAdapters[i]);
        }
    }

    // A device whose driver answers for an identifier; its instance key is
    // the test's to set.
    void AddDriven(const DeviceSetup &device, const std::string &identifier = kGuidA) {
        AddDevice(machine, device);
        machine.drivers.push_back(MakeDriver(identifier, 0x100));
    }

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

    size_t PropertyReads() const { return machine.CountCalls(Operation::SetupDiGetDeviceRegistryPropertyA); }

    // Opens of keys other than the environment key the version probe reads.
    size_t InstanceKeyOpens() const {
        return machine.CountCalls(Operation::RegOpenKeyExA) - CountKeyOpens(machine, kEnvironmentKey, host::KEY_READ);
    }

    sim::Machine machine;
};

bool IsZero(const AdapterRecord &record) {
    AdapterRecord zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&record, &zero, sizeof zero) == 0;
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

// ---------------------------------------------------------------------------
// Traces, results and the two strings

TEST_F(Detection, NoMatchingDeviceLeavesTheStringsAndEmptiesFourFields) {
    AddOtherNetCard(machine);
    SetToolStrings(kOldMacFile, kOldDriverKey);
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput, DetectTrace(0));
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
}

TEST_F(Detection, OneAdapterOnTheNewerLayout) {
    AddOtherNetCard(machine);
    AddAdapter(machine, AdapterSetup{});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(Text(d.record.Description), "Wireless USB Adapter 0001");
    EXPECT_EQ(Text(d.record.HardwareIdPattern), kPattern);
    EXPECT_EQ(Text(d.record.FriendlyName), "Wireless USB Adapter 0001");
    EXPECT_EQ(Text(d.record.InstanceId), kGuidA);
    EXPECT_EQ(Text(d.record.NtDeviceName), std::string("\\Device\\") + kGuidA);
    EXPECT_EQ(Text(d.record.LocationInformation), "Port_#0003.Hub_#0001");
    EXPECT_EQ(Text(d.record.Manufacturer), "Example Networks");
    EXPECT_EQ(d.record.EntryValue1, 5);
    EXPECT_EQ(d.record.EntryValue2, 0);
    EXPECT_EQ(std::string(DriverKeyPath),
              "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007");
    EXPECT_EQ(CountCallsWhere(machine, Operation::SetupDiClassGuidsFromNameA,
                              [](const sim::CallRecord &c) { return c.className == "Net" && c.bufferSize == 3; }),
              1u);
    EXPECT_EQ(CountCallsWhere(machine, Operation::SetupDiGetClassDevsA,
                              [](const sim::CallRecord &c) {
                                  return c.classGuid == kNetClassGuid && c.flags == host::DIGCF_PRESENT;
                              }),
              1u);
    EXPECT_EQ(CountDeviceOpens(machine, DeviceFile(kGuidA)), 1u);
    EXPECT_EQ(CountCallsWhere(machine, Operation::SetupDiGetDeviceRegistryPropertyA,
                              [](const sim::CallRecord &c) { return c.bufferSize == 256; }),
              PropertyReads());
}

struct LayoutCase {
    const char *name;
    void (*setWindows)(sim::Machine &);
    bool deviceVxDs = false;       // the older layout's value is present
    bool netCfgInstanceId = false; // the newer layout's value is present
    bool found;
    size_t instanceKeyOpens; // 1 on the older layout, 2 on the newer
};

// Windows 2000 Professional (code 11), the first code of the newer layout,
// and Windows NT 4.0 (code 5), the last of the older one.
void SetWindows2000(sim::Machine &machine) { SetWindows(machine, "x86", 5, 0, 2195, 2); }
void SetWindowsNt4(sim::Machine &machine) { SetWindows(machine, "x86", 4, 0, 1381, 2); }

class RegistryLayout : public Detection, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(RegistryLayout, ReadsTheLayoutOfTheVersionCode) {
    const LayoutCase &c = GetParam();
    c.setWindows(machine);
    AddDriven(DeviceSetup{});
    if (c.deviceVxDs) {
        SetDeviceVxDs(machine, "0007", Sz(kGuidA));
    }
    if (c.netCfgInstanceId) {
        SetNetCfgInstanceId(machine, "0007", Sz(kGuidA));
    }
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.found ? 1 : 0);
    EXPECT_EQ(InstanceKeyOpens(), c.instanceKeyOpens);
    // Each layout opens its own key (the class key as the tool spells it)
    // and reads its own value: the older one once, the newer one into 256
    // and 128 bytes.
    bool const older = c.instanceKeyOpens == 1;
    EXPECT_EQ(
        CountKeyOpens(machine,
                      older ? "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\0007"
                            : "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007",
                      host::KEY_READ),
        c.instanceKeyOpens);
    if (c.found) {
        EXPECT_EQ(Text(d.record.DevicePath), DeviceFile(kGuidA));
        EXPECT_EQ(std::string(MacFileName), DeviceFile(kGuidA));
        bool const newer = c.netCfgInstanceId && !c.deviceVxDs;
        EXPECT_EQ(Text(d.record.InstanceId), newer ? kGuidA : "");
        EXPECT_EQ(Text(d.record.NtDeviceName), newer ? std::string("\\Device\\") + kGuidA : "");
        EXPECT_EQ(CountValueReads(machine, "DeviceVxDs", 256), older ? 1u : 0u);
        EXPECT_EQ(CountValueReads(machine, "NetCfgInstanceId"), older ? 0u : 2u);
        EXPECT_EQ(CountValueReads(machine, "NetCfgInstanceId", 256), older ? 0u : 1u);
        EXPECT_EQ(CountValueReads(machine, "NetCfgInstanceId", 128), older ? 0u : 1u);
    }
    EXPECT_EQ(std::string(DriverKeyPath), DriverKeyFor(DriverName("0007")));
}

// clang-format off
const LayoutCase kLayouts[] = {
    {.name = "NewerLayoutIgnoresDeviceVxDs", .setWindows = SetWindows7x64, .deviceVxDs = true, .found = false,
     .instanceKeyOpens = 2},
    {.name = "NewerLayoutFromCode11", .setWindows = SetWindows2000, .netCfgInstanceId = true, .found = true,
     .instanceKeyOpens = 2},
    {.name = "OlderLayoutUpToCode5", .setWindows = SetWindowsNt4, .deviceVxDs = true, .found = true, .instanceKeyOpens = 1},
    {.name = "OlderLayoutIgnoresNetCfgInstanceId", .setWindows = SetWindowsMe, .netCfgInstanceId = true,
     .found = false, .instanceKeyOpens = 1},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Layouts, RegistryLayout, ::testing::ValuesIn(kLayouts), RowName);

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
    AddDriven(DeviceSetup{.hardwareId = c.hardwareId});
    SetNetCfgInstanceId(machine, "0007", Sz(kGuidA));
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.matches ? 1 : 0);
    // A device that does not match costs its hardware-ID read and nothing more.
    EXPECT_EQ(PropertyReads(), c.matches ? 5u : 1u);
    EXPECT_EQ(machine.CountCalls(Operation::CreateFileA), c.matches ? 1u : 0u);
    EXPECT_EQ(std::string(DriverKeyPath), c.matches ? DriverKeyFor(DriverName("0007")) : "");
}

// clang-format off
const MatchCase kIds[] = {
    {.name = "Exact", .hardwareId = MultiSz({"USB\\VID_13B1&PID_003B"}), .matches = true},
    {.name = "RevisionSuffix", .hardwareId = MultiSz({"USB\\VID_13B1&PID_003B&REV_0001"}), .matches = true},
    {.name = "LowerCase", .hardwareId = MultiSz({"usb\\vid_13b1&pid_003b&rev_0100"}), .matches = true},
    {.name = "MixedCase", .hardwareId = MultiSz({"Usb\\Vid_13b1&Pid_003b"}), .matches = true},
    {.name = "InsideTheString", .hardwareId = MultiSz({"XUSB\\VID_13B1&PID_003B"}), .matches = true},
    {.name = "OnlyInSecondString", .hardwareId = MultiSz({"USB\\VID_13B1&PID_0030", "USB\\VID_13B1&PID_003B"}),
     .matches = false},
    {.name = "CutShort", .hardwareId = MultiSz({"USB\\VID_13B1&PID_003"}), .matches = false},
    {.name = "OtherProduct", .hardwareId = MultiSz({"USB\\VID_13B1&PID_003C"}), .matches = false},
    {.name = "ForwardSlash", .hardwareId = MultiSz({"USB/VID_13B1&PID_003B"}), .matches = false},
    {.name = "SplitByNul", .hardwareId = std::string("USB\\VID_13B1\0&PID_003B\0\0", 24), .matches = false},
    {.name = "Empty", .hardwareId = std::string("\0\0", 2), .matches = false},
    {.name = "EmptyFirstString", .hardwareId = std::string("\0USB\\VID_13B1&PID_003B\0\0", 24), .matches = false},
    // 256 bytes without a NUL, the pattern in the very last bytes.
    {.name = "FullBufferPatternAtEnd", .hardwareId = std::string(256 - 21, 'A') + "USB\\VID_13B1&PID_003B",
     .matches = true},
    {.name = "FullBufferPatternCutByEnd", .hardwareId = std::string(256 - 20, 'A') + "USB\\VID_13B1&PID_003",
     .matches = false},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Ids, HardwareIdMatch, ::testing::ValuesIn(kIds), RowName);

// ---------------------------------------------------------------------------
// No class GUID, or a failed class look-up or device set: no adapter, in
// one walk.

struct ClassFailureCase {
    const char *name;
    std::optional<Operation> operation; // the call that fails; none: the class has no GUID
    host::LONG error;
    std::int32_t result;
    std::string walk; // the trace of GetAvailableAdapters
    Operation notCalled;
};

class ClassFailure : public Detection, public ::testing::WithParamInterface<ClassFailureCase> {};

TEST_P(ClassFailure, GivesNoAdapter) {
    const ClassFailureCase &c = GetParam();
    AddAdapter(machine, AdapterSetup{});
    if (!c.operation) {
        machine.registry.DeleteKeyTree(kNetClassKey);
    } else {
        machine.faults.push_back({*c.operation, "", 0, c.error});
    }
    Enumerated const e = Enumerate(1);
    EXPECT_EQ(e.result, c.result);
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(machine.standardOutput, c.walk);
    machine.standardOutput.clear();
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(machine.standardOutput, kDetectIn + c.walk + kDetectOut);
    EXPECT_EQ(d.record.DevicePath[0], '\0');
    EXPECT_EQ(machine.CountCalls(Operation::SetupDiClassGuidsFromNameA), 2u);
    EXPECT_EQ(machine.CountCalls(c.notCalled), 0u);
    if (c.operation) { // it failed at each walk
        EXPECT_EQ(CountFailedCalls(machine, machine.faults[0]), 2u);
    }
}

// clang-format off
const ClassFailureCase kClassFailures[] = {
    {.name = "ClassNameWithoutGuid", .operation = std::nullopt, .error = 0, .result = 0,
     .walk = std::string(kEnumIn) + kNoAdapter + EnumOut(0), .notCalled = Operation::SetupDiGetClassDevsA},
    {.name = "ClassLookupIsUnknown", .operation = Operation::SetupDiClassGuidsFromNameA, .error = host::ERROR_INVALID_DATA,
     .result = ZOWL_ERROR_UNKNOWN, .walk = "--> GetAvailableAdapters()\n<-- GetAvailableAdapters() : return ZOWL_ERROR_UNKNOWN\n",
     .notCalled = Operation::SetupDiGetClassDevsA},
    {.name = "DeviceSetIsMinusSeven", .operation = Operation::SetupDiGetClassDevsA, .error = host::ERROR_INVALID_PARAMETER,
     .result = -7, .walk = "--> GetAvailableAdapters()\n<-- GetAvailableAdapters() : devs == INVALID_HANDLE_VALUE\n",
     .notCalled = Operation::SetupDiEnumDeviceInfo},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Failures, ClassFailure, ::testing::ValuesIn(kClassFailures), RowName);

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
    AddAdapters(3);
    Enumerated const e = Enumerate(c.capacity);
    EXPECT_EQ(e.result, c.result);
    EXPECT_EQ(e.count, 3);
    for (std::int32_t i = 0; i < c.capacity; ++i) {
        if (i < c.stored) {
            EXPECT_EQ(Text(e.rooms[static_cast<size_t>(i)].DevicePath), DeviceFile(kAdapters[i].identifier));
        } else {
            EXPECT_TRUE(IsZero(e.rooms[static_cast<size_t>(i)])) << "room " << i;
        }
    }
    EXPECT_EQ(machine.standardOutput, "--> GetAvailableAdapters()\n" + EnumOut(c.result));
    EXPECT_EQ(std::string(MacFileName), DeviceFile(kGuidC));
}

INSTANTIATE_TEST_SUITE_P(Capacities, ResultsCapacity,
                         ::testing::Values(CapacityCase{1, -10, 1}, CapacityCase{2, -10, 2}, CapacityCase{3, 3, 3},
                                           CapacityCase{5, 3, 3}));

// An adapter at 0007, then a second device that takes no part: the strings
// stay the first's, and the walk costs what the version look-ups cost.
struct PassedOverCase {
    const char *name;
    bool windows2000 = false; // the newer layout from its first code, 11
    std::string driver;       // the second's driver key name
    bool identified = false;  // its instance key 0008 names a device file whose driver answers
    std::optional<std::string> hardwareId = DeviceSetup{}.hardwareId; // nullopt = none
    bool probeFails = false; // no environment key: every version-code look-up traces its failure
};

class SecondDevice : public Detection, public ::testing::WithParamInterface<PassedOverCase> {};

TEST_P(SecondDevice, TakesNoPartAndLeavesTheFirstsStrings) {
    const PassedOverCase &c = GetParam();
    if (c.windows2000) {
        SetWindows2000(machine);
    }
    if (c.probeFails) {
        machine.registry.DeleteKeyTree(kEnvironmentKey);
    }
    AddAdapter(machine, AdapterSetup{});
    SetNetCfgInstanceId(machine, "0007", Sz(kGuidA));
    AddDevice(machine,
              {.instancePath = "USB\\VID_13B1&PID_003B\\0002", .hardwareId = c.hardwareId, .driver = Sz(c.driver)});
    if (c.identified) {
        SetNetCfgInstanceId(machine, "0008", Sz(kGuidB));
        machine.drivers.push_back(MakeDriver(kGuidB, 0x100));
    }
    Detected const d = Detect();
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(std::string(MacFileName), DeviceFile(kGuidA));
    EXPECT_EQ(std::string(DriverKeyPath), DriverKeyFor(DriverName("0007")));
    EXPECT_EQ(machine.CountCalls(Operation::CreateFileA), 1u);
    // A matching device costs two version-code look-ups, whether it takes
    // part or not; one that does not match costs its hardware-ID read alone.
    bool const matches = c.hardwareId == DeviceSetup{}.hardwareId;
    if (!matches) {
        EXPECT_EQ(PropertyReads(), 5u + 1u);
    }
    std::string lookups;
    for (int i = 0; c.probeFails && i < (matches ? 4 : 2); ++i) {
        lookups += "IsX64Platform() : Open Registry Key Fail!";
    }
    EXPECT_EQ(machine.standardOutput, kDetectIn + (kEnumIn + lookups) + EnumOut(1) + kDetectOut);
}

// clang-format off
const PassedOverCase kPassedOver[] = {
    {.name = "OtherClassProbeFails", .driver = "{36FC9E60-C465-11CF-8056-444553540000}\\0007", .probeFails = true},
    {.name = "ClassNameOn2000", .windows2000 = true, .driver = "Net\\0007"},
    // Its hardware ID cannot be read: the buffer holds nothing of the first's.
    {.name = "HardwareIdAbsent", .driver = DriverName("0008"), .identified = true, .hardwareId = std::nullopt},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Machines, SecondDevice, ::testing::ValuesIn(kPassedOver), RowName);

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
    AddDriven(
        DeviceSetup{.friendlyName = c.friendlyName, .deviceDesc = c.deviceDesc, .location = c.location, .mfg = c.mfg});
    SetNetCfgInstanceId(machine, "0007", Sz(kGuidA));
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
    EXPECT_EQ(d.record.DevicePath[DeviceFile(kGuidA).size()], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Texts, FieldBounds,
    ::testing::Values(FieldCase{"Longest", Sz(Letters(255)), Sz("Desc"), Sz(Letters(255)), Sz(Letters(255)),
                                Letters(63), Letters(255), Letters(255), Letters(255)},
                      FieldCase{"FullBufferWithoutNul", Letters(256), Sz("Desc"), Letters(256), Letters(256),
                                Letters(63), Letters(255), Letters(255), Letters(255)},
                      FieldCase{"FriendlyNameTooLongForTheBuffer", Sz(Letters(300)), Sz("Device description"), Sz("L"),
                                Sz("M"), "Device description", "", "L", "M"},
                      FieldCase{"DescriptionFullBufferWithoutNul", std::nullopt, Letters(256), Sz("L"), Sz("M"),
                                Letters(63), "", "L", "M"},
                      FieldCase{"DescriptionOfExactly63", std::nullopt, Sz(Letters(63)), std::nullopt, std::nullopt,
                                Letters(63), "", "", ""},
                      FieldCase{"DescriptionOf64", Sz(Letters(64)), std::nullopt, std::nullopt, std::nullopt,
                                Letters(63), Letters(64), "", ""},
                      FieldCase{"NoTextsAtAll", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "", "", "", ""},
                      FieldCase{"OneLetterNameLocationWithoutManufacturer", Sz("A"), Sz("Desc"), Sz("L"), std::nullopt,
                                "A", "A", "L", ""}),
    RowName);

// ---------------------------------------------------------------------------
// InstanceNumber from driver key names of every shape

struct InstanceNumberCase {
    const char *name;
    bool olderLayout = false;
    std::optional<std::string> driver; // raw image
    host::DWORD type = host::REG_SZ;
    std::string instanceKey = {};    // the key given the identifier; "" = none
    bool driverKeySet = false;       // the name has the shape class\instance
    size_t instanceKeyOpens = 0;     // both registry routines
    std::string instanceNumber = {}; // of the counted adapter; "" = not counted
};

class InstanceNumberShape : public Detection, public ::testing::WithParamInterface<InstanceNumberCase> {};

TEST_P(InstanceNumberShape, IsTheLastFourCharactersOfAWellFormedName) {
    const InstanceNumberCase &c = GetParam();
    // A name of the right shape in the buffer the driver key name is read
    // into: a failed read must not take it for one.
    AddDriven({.friendlyName = Sz(DriverName("0009")), .driver = c.driver, .textType = c.type});
    if (c.olderLayout) {
        SetWindowsMe(machine);
        SetDeviceVxDs(machine, c.instanceKey, Sz(kGuidA));
    } else if (!c.instanceKey.empty()) {
        SetNetCfgInstanceId(machine, c.instanceKey, Sz(kGuidA));
    }
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.instanceNumber.empty() ? 0 : 1);
    EXPECT_EQ(Text(d.record.InstanceNumber), c.instanceNumber);
    EXPECT_EQ(InstanceKeyOpens(), c.instanceKeyOpens);
    std::string const name = c.driver ? c.driver->substr(0, c.driver->find('\0')) : "";
    EXPECT_EQ(std::string(DriverKeyPath), c.driverKeySet ? DriverKeyFor(name) : "");
    // A name of another shape, or an identifier that cannot be read: no
    // device file, no device path.
    EXPECT_EQ(std::string(MacFileName), c.instanceNumber.empty() ? "" : DeviceFile(kGuidA));
    EXPECT_EQ(machine.CountCalls(Operation::CreateFileA), c.instanceNumber.empty() ? 0u : 1u);
}

// clang-format off
const InstanceNumberCase kNames[] = {
    {.name = "Usual", .driver = Sz(DriverName("0012")), .instanceKey = "0012", .driverKeySet = true,
     .instanceKeyOpens = 2, .instanceNumber = "0012"},
    {.name = "BytesWithoutNul", .driver = DriverName("0031"), .type = host::REG_BINARY, .instanceKey = "0031",
     .driverKeySet = true, .instanceKeyOpens = 2, .instanceNumber = "0031"},
    {.name = "NulThenBytes", .driver = DriverName("0005") + std::string("\0tail", 5), .instanceKey = "0005",
     .driverKeySet = true, .instanceKeyOpens = 2, .instanceNumber = "0005"},
    {.name = "LowerCaseClass", .driver = Sz(Lowered(DriverName("0012"))), .instanceKey = "0012", .driverKeySet = true,
     .instanceKeyOpens = 2, .instanceNumber = "0012"},
    // 256 bytes without a NUL, read no further: no class part that long is
    // the network class's, on either layout.
    {.name = "OlderFillingTheBuffer", .olderLayout = true, .driver = std::string(251, 'k') + "\\0042",
     .instanceKey = "0042"},
    // A well-formed name whose instance key is missing: its key, no file.
    {.name = "NoInstanceKey", .driver = Sz(DriverName("0007")), .driverKeySet = true, .instanceKeyOpens = 2},
    // The instance part is not exactly the four characters read, or the
    // class part not the network class the identifier is read under.
    {.name = "OneCharacterInstance", .driver = Sz(DriverName("7"))},
    {.name = "FiveCharacterInstance", .driver = Sz(DriverName("10012")), .instanceKey = "0012"},
    {.name = "OtherClass", .driver = Sz("{36FC9E60-C465-11CF-8056-444553540000}\\0012"), .instanceKey = "0012"},
    {.name = "OtherFirstCharacter", .driver = Sz("(4D36E972-E325-11CE-BFC1-08002BE10318}\\0012"), .instanceKey = "0012"},
    {.name = "BackslashOpensTheInstancePart", .driver = Sz(DriverName("\\012"))},
    {.name = "NetClassAndALetter", .driver = Sz(std::string(kNetClassGuid) + "x\\0012"), .instanceKey = "0012"},
    {.name = "ShortClassOfFour", .driver = Sz("X\\0012"), .instanceKey = "0012"},
    {.name = "WellFormedShorterThanFour", .driver = Sz("a\\b")},
    // Not of the shape class\instance, even with an instance key and a
    // driver behind their last four characters.
    {.name = "InstanceNameAlone", .driver = Sz("0007"), .instanceKey = "0007"},
    {.name = "LetterAndInstanceName", .driver = Sz("x0007"), .instanceKey = "0007"},
    {.name = "TrailingBackslash", .driver = Sz("{X}\\0007\\"), .instanceKey = "007\\"},
    {.name = "ClassKeyAndBackslash", .driver = Sz(DriverName(""))},
    {.name = "LeadingBackslash", .driver = Sz("\\0007"), .instanceKey = "0007"},
    {.name = "TwoBackslashes", .driver = Sz("{X}\\0008\\0007"), .instanceKey = "0007"},
    {.name = "ThreeCharacters", .driver = Sz("007")},
    {.name = "EmptyText", .driver = Sz("")},
    {.name = "NoBytes", .driver = std::string(), .type = host::REG_BINARY},
    {.name = "Absent", .driver = std::nullopt},
    {.name = "TooLongForTheBuffer", .driver = Sz(DriverName(std::string(290, 'k') + "0001")), .instanceKey = "0001"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Names, InstanceNumberShape, ::testing::ValuesIn(kNames), RowName);

// ---------------------------------------------------------------------------
// Instance identifiers too long for MacFileName are refused, never cut, and
// leave no device file named.

struct IdentifierCase {
    const char *name;
    bool olderLayout = false;
    std::string raw; // value image
    host::DWORD type = host::REG_SZ;
    bool accepted; // MacFileName and the device path name it
    int count;
    bool loaded = true; // its driver, whose device file opens
};

class IdentifierLength : public Detection, public ::testing::WithParamInterface<IdentifierCase> {};

TEST_P(IdentifierLength, FitsBehindThePrefixOrIsRefused) {
    const IdentifierCase &c = GetParam();
    if (c.olderLayout) {
        SetWindowsMe(machine);
        SetDeviceVxDs(machine, "0007", c.raw);
    } else {
        SetNetCfgInstanceId(machine, "0007", c.raw, c.type);
    }
    std::string const identifier = c.raw.substr(0, c.raw.find('\0'));
    AddDevice(machine, DeviceSetup{});
    if (c.loaded) {
        machine.drivers.push_back(MakeDriver(identifier, 0x100));
    }
    SetToolStrings(kOldMacFile, kOldDriverKey);
    Detected const d = Detect();
    EXPECT_EQ(d.count, c.count);
    if (c.accepted) {
        EXPECT_EQ(std::string(MacFileName), DeviceFile(identifier));
        EXPECT_EQ(CountDeviceOpens(machine, DeviceFile(identifier)), 1u);
    } else {
        // Not the earlier device's file: this device's key is DriverKeyPath.
        EXPECT_EQ(std::string(MacFileName), "");
        EXPECT_EQ(machine.CountCalls(Operation::CreateFileA), 0u);
    }
    if (c.count == 1) {
        // A value without NUL ends at the reported size, with nothing appended.
        EXPECT_EQ(Text(d.record.InstanceId), c.olderLayout ? "" : identifier);
        EXPECT_EQ(Text(d.record.NtDeviceName), c.olderLayout ? "" : "\\Device\\" + identifier);
    }
    EXPECT_EQ(std::string(DriverKeyPath), DriverKeyFor(DriverName("0007")));
}

// clang-format off
const IdentifierCase kLengths[] = {
    {.name = "Guid", .raw = Sz(kGuidA), .accepted = true, .count = 1},
    {.name = "GuidBytesWithoutNul", .raw = kGuidA, .type = host::REG_BINARY, .accepted = true, .count = 1},
    {.name = "Longest59", .raw = Sz(Letters(59)), .accepted = true, .count = 1},
    {.name = "Of60", .raw = Sz(Letters(60)), .accepted = false, .count = 0},
    {.name = "Of127", .raw = Sz(Letters(127)), .accepted = false, .count = 0},
    {.name = "Full128WithoutNul", .raw = Letters(128), .accepted = false, .count = 0},
    // "\\.\" names no device file, nor one whose driver is not loaded:
    // tried, not counted, but named.
    {.name = "Empty", .raw = Sz(""), .accepted = true, .count = 0},
    {.name = "DriverNotLoaded", .raw = Sz(kGuidC), .accepted = true, .count = 0, .loaded = false},
    {.name = "OlderEmpty", .olderLayout = true, .raw = Sz(""), .accepted = true, .count = 0},
    {.name = "OlderLongest59", .olderLayout = true, .raw = Sz(Letters(59)), .accepted = true, .count = 1},
    {.name = "OlderOf60", .olderLayout = true, .raw = Sz(Letters(60)), .accepted = false, .count = 0},
    {.name = "OlderFull256WithoutNul", .olderLayout = true, .raw = Letters(256), .accepted = false, .count = 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Lengths, IdentifierLength, ::testing::ValuesIn(kLengths), RowName);

TEST_F(Detection, RegistryRoutinesSetTheirFieldsOrLeaveThemUntouched) {
    struct Case {
        bool olderLayout = false;
        const char *instanceNumber = "0007";
        size_t length = 38;
        bool deviceName;
        bool instanceId;
        size_t opens;
    };
    // clang-format off
    const Case cases[] = {
        {.deviceName = true, .instanceId = true, .opens = 2},
        {.length = 59, .deviceName = true, .instanceId = true, .opens = 2},
        {.length = 60, .deviceName = false, .instanceId = true, .opens = 2},
        {.length = 63, .deviceName = false, .instanceId = true, .opens = 2},
        {.length = 64, .deviceName = false, .instanceId = false, .opens = 2},
        {.length = 0, .deviceName = true, .instanceId = true, .opens = 2},
        {.instanceNumber = "", .deviceName = false, .instanceId = false, .opens = 0},
        {.olderLayout = true, .deviceName = true, .instanceId = false, .opens = 1},
        {.olderLayout = true, .length = 0, .deviceName = true, .instanceId = false, .opens = 1},
        {.olderLayout = true, .instanceNumber = "", .deviceName = false, .instanceId = false, .opens = 0},
        {.instanceNumber = "0009", .deviceName = false, .instanceId = false, .opens = 2},
        {.olderLayout = true, .instanceNumber = "0009", .deviceName = false, .instanceId = false, .opens = 1},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "older " << c.olderLayout << " \"" << c.instanceNumber << "\" length " << c.length);
        sim::Machine fresh;
        PrepareMachine(fresh);
        if (c.olderLayout) {
            SetWindowsMe(fresh);
        }
        // Both layouts' values are there: each routine must pick its own.
        SetNetCfgInstanceId(fresh, "0007", Sz(Letters(c.length)));
        SetDeviceVxDs(fresh, "0007", Sz(std::string(c.length, 'v')));
        std::string const deviceName = c.olderLayout ? std::string(c.length, 'v') : Letters(c.length);
        SetToolStrings(kOldMacFile, "");
        // The fields as the record holds them, filled beforehand; a field left
        // untouched keeps every byte.
        std::string path(64, 'Q');
        std::string nt(256, 'Q');
        std::string id(64, 'Q');
        sim::MachineScope scope(fresh);
        EXPECT_EQ(GetAdapterDeviceName(c.instanceNumber, path.data()), c.deviceName);
        EXPECT_EQ(GetAdapterInstanceId(c.instanceNumber, nt.data(), id.data()), c.instanceId);
        EXPECT_EQ(path.substr(0, path.find('\0')), c.deviceName ? "\\\\.\\" + deviceName : std::string(64, 'Q'));
        EXPECT_EQ(std::string(MacFileName), c.deviceName ? "\\\\.\\" + deviceName : kOldMacFile);
        EXPECT_EQ(id.substr(0, id.find('\0')), c.instanceId ? Letters(c.length) : std::string(64, 'Q'));
        EXPECT_EQ(nt.substr(0, nt.find('\0')), c.instanceId ? "\\Device\\" + Letters(c.length) : std::string(256, 'Q'));
        EXPECT_EQ(fresh.CountCalls(Operation::RegOpenKeyExA) - CountKeyOpens(fresh, kEnvironmentKey, host::KEY_READ),
                  c.opens);
        EXPECT_EQ(fresh.OpenKeyCount(), 0u);
    }
}

// ---------------------------------------------------------------------------
// Failed allocations: no adapter.

struct AllocationCase {
    const char *name;
    size_t adapters;
    std::string bytes; // LocalAlloc subject: the block size
    int callNumber;
    std::string trace;
};

class FailedAllocation : public Detection, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(FailedAllocation, CountsAsNoAdapter) {
    const AllocationCase &c = GetParam();
    AddAdapters(c.adapters);
    machine.faults.push_back({Operation::LocalAlloc, c.bytes, c.callNumber, host::ERROR_NOT_ENOUGH_MEMORY});
    Detected const d = Detect();
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(CountFailedCalls(machine, machine.faults[0]), 1u);
    EXPECT_EQ(machine.standardOutput, c.trace);
    EXPECT_EQ(d.record.DevicePath[0], '\0');
    EXPECT_EQ(d.record.Description[0], '\0');
}

std::string const kFirstWalkTooSmall = std::string(kDetectIn) + kEnumIn + EnumOut(-10);

INSTANTIATE_TEST_SUITE_P(Blocks, FailedAllocation,
                         ::testing::Values(
                             // Detection's first list (the table has the same size: call 1 is the list).
                             AllocationCase{"FirstList", 1, "1304", 1, std::string(kDetectIn) + kDetectOut},
                             AllocationCase{"FirstTable", 1, "1304", 2, DetectTrace(0)},
                             AllocationCase{"SecondList", 2, "2604", 1, kFirstWalkTooSmall + kDetectOut},
                             AllocationCase{"SecondTable", 2, "1304", 3,
                                            kFirstWalkTooSmall + kEnumIn + kNoAdapter + EnumOut(0) + kDetectOut}),
                         RowName);

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

TEST(AdapterListBlock, TableHoldsTheOneEntryAndListsACountAndCapacityRooms) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    AdapterList *table = BuildSupportedDeviceTable();
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->Count, 1);
    const AdapterRecord *entry = GetAdapterRoom(table, 0);
    EXPECT_EQ(Text(entry->HardwareIdPattern), kPattern);
    EXPECT_EQ(entry->EntryValue1, 5);
    EXPECT_EQ(entry->EntryValue2, 0);
    EXPECT_EQ(CountAllocations(machine, 1304), 1u);
    ReleaseAdapterList(table);
    AdapterList *list = AllocateAdapterList(3);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(CountAllocations(machine, 3904), 1u);
    EXPECT_EQ(reinterpret_cast<char *>(GetAdapterRoom(list, 2)) - reinterpret_cast<char *>(list), 4 + 2 * 1300);
    ReleaseAdapterList(list);
    EXPECT_EQ(AllocateAdapterList(0), nullptr);
    EXPECT_EQ(AllocateAdapterList(-1), nullptr);
    EXPECT_EQ(machine.LiveBlockCount(), 0u);
}

} // namespace
