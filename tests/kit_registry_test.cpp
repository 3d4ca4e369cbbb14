// The kit's registry work on the simulated host: the adapters it lists, the
// rollback records written ahead of a run and settled after it, /uninstall's
// restoring, and the marker. Every key and device set is closed again.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kit/core/rollback_record.h"
#include "kit/kit_registry.h"
#include "support/tool_machine.h"

namespace {

using namespace support;

constexpr char kRollbackKey[] = "SYSTEM\\EdccaProvision\\Rollback";
constexpr char kMarkerKey[] = "SYSTEM\\EdccaProvision";

// A value as a test gives it: none, or a type and raw bytes.
struct Value {
    host::DWORD type = 0;
    std::string raw;
};
const Value kOne = {host::REG_SZ, Sz("1")};
const Value kZero = {host::REG_SZ, Sz("0")};
const Value kDwordZero = {host::REG_DWORD, std::string(4, '\0')};

std::string InstanceKey(const std::string &instanceNumber) { return std::string(kNetClassKey) + "\\" + instanceNumber; }

void SetEdcca(sim::Machine &machine, const std::string &instanceNumber, const std::optional<Value> &value) {
    sim::RegistryKey *key = machine.registry.CreateKey(InstanceKey(instanceNumber));
    key->DeleteValue("EDCCAEnable");
    if (value) {
        key->SetValue("EDCCAEnable", value->type, Bytes(value->raw));
    }
}

// EDCCAEnable of an instance key as a record text ("absent" without it), or
// "no key".
std::string EdccaText(const sim::Machine &machine, const std::string &instanceNumber) {
    const sim::RegistryKey *key = machine.registry.FindKey(InstanceKey(instanceNumber));
    if (key == nullptr) {
        return "no key";
    }
    const auto *value = key->FindValue("EDCCAEnable");
    kit::RegistryValue read;
    if (value != nullptr) {
        read.present = true;
        read.type = value->type;
        read.size = static_cast<std::uint32_t>(value->data.size());
        std::copy(value->data.begin(), value->data.end(), read.data);
    }
    char record[kit::kMostRecordBytes];
    return kit::EncodeRecord(read, record) == 1 ? record : "unrecordable";
}

// The string values of a key, "name=text" in enumeration order; nullopt
// without the key.
std::optional<std::vector<std::string>> StringValues(const sim::Machine &machine, const std::string &path) {
    const sim::RegistryKey *key = machine.registry.FindKey(path);
    if (key == nullptr) {
        return std::nullopt;
    }
    std::vector<std::string> values;
    for (const auto &value : key->Values()) {
        std::string text(value.data.begin(), value.data.end());
        values.push_back(value.name + "=" + text.substr(0, text.find('\0')));
    }
    return values;
}

class KitRegistry : public ::testing::Test {
  protected:
    void SetUp() override { PrepareMachine(machine); }
    void TearDown() override {
        EXPECT_TRUE(NothingLeftOpen(machine)) << ::testing::PrintToString(machine.OpenObjects());
    }
    void AddPresentAdapter(const std::string &serial, const std::string &instanceNumber) {
        AddAdapter(machine, {.serial = serial, .instanceNumber = instanceNumber, .identifier = kGuidA + serial});
    }
    void AddAbsentAdapter(const std::string &serial, const std::string &instanceNumber) {
        AddPresentAdapter(serial, instanceNumber);
        machine.presence["USB\\VID_13B1&PID_003B\\" + serial] = {sim::Interval{0, 0}};
    }
    std::string Notes() const { return std::string(notes.data, notes.length); }

    sim::Machine machine;
    char notesData[8192];
    kit::TextBuffer notes = kit::MakeTextBuffer(notesData, sizeof notesData);
};

// ---- the adapters

struct ListedAdapter {
    std::string recordName;
    bool present;
    bool driverKeyExists;
    std::string value;
};

struct ListCase {
    const char *name;
    void (*setUp)(sim::Machine &machine);
    std::vector<ListedAdapter> expected;
};

void PrintTo(const ListCase &row, std::ostream *out) { *out << row.name; }

const ListCase kListCases[] = {
    {.name = "OnePresentWithoutTheValue",
     .setUp = [](sim::Machine &m) { AddAdapter(m, {}); },
     .expected = {{"0007", true, true, "absent"}}},
    {.name = "InstalledButUnplugged",
     .setUp =
         [](sim::Machine &m) {
             AddAdapter(m, {});
             SetEdcca(m, "0007", kOne);
             m.presence["USB\\VID_13B1&PID_003B\\0001"] = {sim::Interval{0, 0}};
         },
     .expected = {{"0007", false, true, "REG_SZ 1"}}},
    {.name = "OtherCardsLeftOut",
     .setUp =
         [](sim::Machine &m) {
             AddOtherNetCard(m);
             AddAdapter(m, {.serial = "0002", .instanceNumber = "0011"});
             SetEdcca(m, "0011", kDwordZero);
         },
     .expected = {{"0011", true, true, "REG_DWORD 0x0"}}},
    {.name = "PresenceMatchedByInstanceNotByOrder",
     .setUp =
         [](sim::Machine &m) {
             AddAdapter(m, {.serial = "0001", .instanceNumber = "0007"});
             AddAdapter(m, {.serial = "0002", .instanceNumber = "0011", .identifier = kGuidB});
             m.presence["USB\\VID_13B1&PID_003B\\0001"] = {sim::Interval{0, 0}};
         },
     .expected = {{"0007", false, true, "absent"}, {"0011", true, true, "absent"}}},
    {.name = "DriverKeyMissing",
     .setUp = [](sim::Machine &m) { AddDevice(m, {.driver = Sz(std::string(kNetClassGuid) + "\\0042")}); },
     .expected = {{"0042", true, false, "absent"}}},
    {.name = "DriverKeyOutsideTheNetworkClass",
     .setUp =
         [](sim::Machine &m) {
             AddDevice(m, {.driver = Sz("{OTHER}\\0003")});
             m.registry.SetString("SYSTEM\\CurrentControlSet\\Control\\Class\\{OTHER}\\0003", "EDCCAEnable", "1");
         },
     .expected = {{"Class\\{OTHER}\\0003", true, true, "REG_SZ 1"}}},
    // Without the network class no network device was ever installed.
    {.name = "NoNetworkClass",
     .setUp = [](sim::Machine &m) { m.registry.FindKey(kNetClassKey)->DeleteValue("Class"); },
     .expected = {}},
    // An empty driver key name must never read the class key itself.
    {.name = "EmptyDriverKeyName",
     .setUp =
         [](sim::Machine &m) {
             AddDevice(m, {.driver = Sz("")});
             m.registry.SetString("SYSTEM\\CurrentControlSet\\Control\\Class", "EDCCAEnable", "1");
         },
     .expected = {{"", true, false, "absent"}}},
};

class ListAdapters : public KitRegistry, public ::testing::WithParamInterface<ListCase> {};

TEST_P(ListAdapters, ListsEveryMatchingDeviceWithItsKeyAndValue) {
    GetParam().setUp(machine);
    static kit::AdapterList list;
    {
        sim::MachineScope scope(machine);
        ASSERT_EQ(kit::ListAdapters(&list), 1);
    }
    ASSERT_EQ(list.count, GetParam().expected.size());
    for (size_t i = 0; i < list.count; ++i) {
        SCOPED_TRACE(i);
        const kit::Adapter &adapter = list.adapters[i];
        const ListedAdapter &expected = GetParam().expected[i];
        EXPECT_EQ(adapter.recordName, expected.recordName);
        EXPECT_EQ(adapter.present, expected.present);
        EXPECT_EQ(adapter.driverKeyExists, expected.driverKeyExists);
        char record[kit::kMostRecordBytes];
        ASSERT_EQ(kit::EncodeRecord(adapter.value, record), 1);
        EXPECT_EQ(std::string(record), expected.value);
    }
}

INSTANTIATE_TEST_SUITE_P(Machines, ListAdapters, ::testing::ValuesIn(kListCases), RowName);

// ---- records ahead of a run and after it

struct RecordCase {
    const char *name;
    std::optional<Value> before;                             // 0007's value before the run
    std::optional<std::string> earlierRecord = std::nullopt; // a record already there ("": its key only)
    std::optional<Value> after;                              // what the run leaves
    int aheadResult;
    std::optional<std::vector<std::string>> rollback; // the rollback key at the end
    std::string notes;
    std::vector<sim::Fault> faults = {};
};

void PrintTo(const RecordCase &row, std::ostream *out) { *out << row.name; }

const RecordCase kRecordCases[] = {
    {.name = "AbsentThenWritten",
     .before = std::nullopt,
     .after = kOne,
     .aheadResult = 1,
     .rollback = std::vector<std::string>{"0007=absent"},
     .notes = "---- 0007: EDCCAEnable before the first run: absent (kept for /uninstall)\r\n"},
    {.name = "ZeroThenWritten",
     .before = kZero,
     .after = kOne,
     .aheadResult = 1,
     .rollback = std::vector<std::string>{"0007=REG_SZ 0"},
     .notes = "---- 0007: EDCCAEnable before the first run: REG_SZ 0 (kept for /uninstall)\r\n"},
    // Nothing changed: the record goes, and with it the keys it needed.
    {.name = "UnchangedLeavesNoKey",
     .before = kZero,
     .after = kZero,
     .aheadResult = 1,
     .rollback = std::nullopt,
     .notes = ""},
    // Keys that were there before the run stay, though it keeps no record.
    {.name = "EarlierEmptyKeysStay",
     .before = kZero,
     .earlierRecord = "",
     .after = kZero,
     .aheadResult = 1,
     .rollback = std::vector<std::string>{},
     .notes = ""},
    {.name = "HoldingTheSettingIsNotRecorded",
     .before = kOne,
     .after = kOne,
     .aheadResult = 1,
     .rollback = std::nullopt,
     .notes = ""},
    // The first record stands: a later run never overwrites it.
    {.name = "EarlierRecordKept",
     .before = kZero,
     .earlierRecord = "absent",
     .after = kOne,
     .aheadResult = 1,
     .rollback = std::vector<std::string>{"0007=absent"},
     .notes = ""},
    {.name = "RecordNotWritable",
     .before = kZero,
     .after = kZero,
     .aheadResult = 0,
     .rollback = std::nullopt,
     .notes = "---- 0007: EDCCAEnable before the first run: REG_SZ 0 (could not be kept: the program did not run)\r\n",
     .faults = {{Operation::RegSetValueExA, "0007", 0, host::ERROR_ACCESS_DENIED}}},
};

class RecordsAroundARun : public KitRegistry, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(RecordsAroundARun, KeepWhatTheRunChanged) {
    const RecordCase &c = GetParam();
    AddPresentAdapter("0001", "0007");
    SetEdcca(machine, "0007", c.before);
    if (c.earlierRecord) {
        machine.registry.CreateKey(kRollbackKey);
        if (!c.earlierRecord->empty()) {
            machine.registry.SetString(kRollbackKey, "0007", *c.earlierRecord);
        }
    }
    machine.faults = c.faults;
    static kit::AdapterList before;
    bool written[kit::kMostAdapters];
    {
        sim::MachineScope scope(machine);
        ASSERT_EQ(kit::ListAdapters(&before), 1);
        ASSERT_EQ(kit::WriteRecordsAhead(before, written, &notes), c.aheadResult);
    }
    if (c.aheadResult == 1) {
        SetEdcca(machine, "0007", c.after);
        sim::MachineScope scope(machine);
        kit::SettleRecordsAfter(before, written, &notes);
    }
    EXPECT_EQ(StringValues(machine, kRollbackKey), c.rollback);
    if (!c.rollback) {
        EXPECT_EQ(machine.registry.FindKey(kMarkerKey), nullptr);
    }
    EXPECT_EQ(Notes(), c.notes);
}

INSTANTIATE_TEST_SUITE_P(Runs, RecordsAroundARun, ::testing::ValuesIn(kRecordCases), RowName);

// ---- /uninstall

struct RestoreCase {
    const char *name;
    std::vector<std::pair<std::string, std::string>> records; // name, text
    std::vector<std::string> instances;                       // driver keys that exist, holding "1"
    kit::Outcome outcome;
    std::vector<std::string> valuesAfter; // EDCCAEnable of each instance afterwards
    bool markerLeft;
    std::string notes;
    std::vector<sim::Fault> faults = {};
};

void PrintTo(const RestoreCase &row, std::ostream *out) { *out << row.name; }

const RestoreCase kRestoreCases[] = {
    {.name = "AbsentRemoved",
     .records = {{"0007", "absent"}},
     .instances = {"0007"},
     .outcome = kit::Outcome::Uninstalled,
     .valuesAfter = {"absent"},
     .markerLeft = false,
     .notes = "---- 0007: EDCCAEnable removed, as it was absent\r\n"},
    // Each record is handled, though removing one moves the next to its index.
    {.name = "EveryRecordRestored",
     .records = {{"0007", "REG_SZ 0"}, {"0011", "REG_DWORD 0x0"}, {"0012", "absent"}},
     .instances = {"0007", "0011", "0012"},
     .outcome = kit::Outcome::Uninstalled,
     .valuesAfter = {"REG_SZ 0", "REG_DWORD 0x0", "absent"},
     .markerLeft = false,
     .notes = "---- 0007: EDCCAEnable restored to REG_SZ 0\r\n"
              "---- 0011: EDCCAEnable restored to REG_DWORD 0x0\r\n"
              "---- 0012: EDCCAEnable removed, as it was absent\r\n"},
    {.name = "DriverKeyGone",
     .records = {{"0009", "REG_SZ 0"}},
     .instances = {},
     .outcome = kit::Outcome::Uninstalled,
     .valuesAfter = {},
     .markerLeft = false,
     .notes = "---- 0009: the driver key is gone; nothing to restore\r\n"},
    {.name = "UnreadableRecordKept",
     .records = {{"0007", "REG_QWORD 1"}},
     .instances = {"0007"},
     .outcome = kit::Outcome::UninstallFailed,
     .valuesAfter = {"REG_SZ 1"},
     .markerLeft = true,
     .notes = "---- 0007: EDCCAEnable could not be restored to REG_QWORD 1\r\n"},
    // Longer than the kit reads: kept, and the marker above it, never removed unread.
    {.name = "OverlongRecordKept",
     .records = {{"0007", "REG_SZ " + std::string(5000, 'a')}},
     .instances = {"0007"},
     .outcome = kit::Outcome::UninstallFailed,
     .valuesAfter = {"REG_SZ 1"},
     .markerLeft = true,
     .notes = "---- a rollback record could not be read: kept\r\n"},
    {.name = "ValueNotWritable",
     .records = {{"0007", "REG_SZ 0"}},
     .instances = {"0007"},
     .outcome = kit::Outcome::UninstallFailed,
     .valuesAfter = {"REG_SZ 1"},
     .markerLeft = true,
     .notes = "---- 0007: EDCCAEnable could not be restored to REG_SZ 0\r\n",
     .faults = {{Operation::RegSetValueExA, "EDCCAEnable", 0, host::ERROR_ACCESS_DENIED}}},
    // Records that cannot be read or removed keep the marker above them.
    {.name = "RollbackKeyNotOpenable",
     .records = {{"0007", "absent"}},
     .instances = {"0007"},
     .outcome = kit::Outcome::UninstallFailed,
     .valuesAfter = {"REG_SZ 1"},
     .markerLeft = true,
     .notes = "---- the marker HKLM\\SYSTEM\\EdccaProvision could not be removed\r\n",
     .faults = {{Operation::RegOpenKeyExA, kRollbackKey, 0, host::ERROR_ACCESS_DENIED}}},
    {.name = "MarkerNotRemovable",
     .records = {{"0007", "absent"}},
     .instances = {"0007"},
     .outcome = kit::Outcome::UninstallFailed,
     .valuesAfter = {"absent"},
     .markerLeft = true,
     .notes = "---- 0007: EDCCAEnable removed, as it was absent\r\n"
              "---- the marker HKLM\\SYSTEM\\EdccaProvision could not be removed\r\n",
     .faults = {{Operation::RegDeleteKeyA, "", 2, host::ERROR_ACCESS_DENIED}}},
};

class Uninstall : public KitRegistry, public ::testing::WithParamInterface<RestoreCase> {};

TEST_P(Uninstall, PutsBackEveryRecordThenRemovesTheMarker) {
    const RestoreCase &c = GetParam();
    machine.registry.SetString(kMarkerKey, "Version", "2.0.0");
    for (const auto &[name, text] : c.records) {
        machine.registry.SetString(kRollbackKey, name, text);
    }
    for (const std::string &instance : c.instances) {
        SetEdcca(machine, instance, kOne);
    }
    machine.faults = c.faults;
    {
        sim::MachineScope scope(machine);
        EXPECT_EQ(kit::RestoreRecordsAndRemoveMarker(&notes), c.outcome);
    }
    for (size_t i = 0; i < c.instances.size(); ++i) {
        EXPECT_EQ(EdccaText(machine, c.instances[i]), c.valuesAfter[i]) << c.instances[i];
    }
    EXPECT_EQ(machine.registry.FindKey(kMarkerKey) != nullptr, c.markerLeft);
    EXPECT_EQ(Notes(), c.notes);
}

INSTANTIATE_TEST_SUITE_P(Records, Uninstall, ::testing::ValuesIn(kRestoreCases), RowName);

// ---- the marker: values in the order written (the registry keeps it)

struct MarkerCase {
    const char *name;
    const char *logFailed;
    int result;
    std::optional<std::vector<std::string>> values;
    std::vector<sim::Fault> faults = {};
};

void PrintTo(const MarkerCase &row, std::ostream *out) { *out << row.name; }

const MarkerCase kMarkerCases[] = {
    // An earlier run's LogFailed goes when this run's log was written.
    {.name = "WrittenWhole",
     .logFailed = "",
     .result = 1,
     .values = std::vector<std::string>{"Outcome=Written", "Time=T", "Adapters=1", "DriverKeys=0007", "Version=2.0.0"}},
    {.name = "WithTheLogThatFailed",
     .logFailed = "C:\\log.txt",
     .result = 1,
     .values = std::vector<std::string>{"Outcome=Written", "Time=T", "Adapters=1", "DriverKeys=0007",
                                        "LogFailed=C:\\log.txt", "Version=2.0.0"}},
    // Cut short: no Version, so the marker is never taken for this run's.
    {.name = "CutShortHasNoVersion",
     .logFailed = "",
     .result = 0,
     .values = std::vector<std::string>{"Outcome=Written", "Time=T", "Adapters=1"},
     .faults = {{Operation::RegSetValueExA, "DriverKeys", 0, host::ERROR_ACCESS_DENIED}}},
};

class Marker : public KitRegistry, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(Marker, IsWrittenInOrderWithVersionLast) {
    const MarkerCase &c = GetParam();
    machine.registry.SetString(kMarkerKey, "Version", "1.2.0");
    machine.registry.SetString(kMarkerKey, "LogFailed", "C:\\earlier.txt");
    machine.faults = c.faults;
    kit::MarkerValue values[kit::kMarkerValues];
    std::size_t const count =
        kit::MakeMarkerValues(kit::Outcome::Written, "T", 1, "0007", "2.0.0", c.logFailed, values);
    {
        sim::MachineScope scope(machine);
        EXPECT_EQ(kit::WriteMarker(values, count), c.result);
    }
    EXPECT_EQ(StringValues(machine, kMarkerKey), c.values);
}

INSTANTIATE_TEST_SUITE_P(Runs, Marker, ::testing::ValuesIn(kMarkerCases), RowName);

} // namespace
