// Pins the simulated Windows host to the behaviour of Windows (checked
// against Wine 8 where Wine implements it): error codes, sizes, NUL handling,
// device sets, device files and driver answers, faults, audit and process end.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/host.h"
#include "machine.h"

namespace {

using namespace host;

constexpr char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kNetGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kDevice[] = "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}";
constexpr DWORD kRegionOid = 0xFF0C0003;
constexpr DWORD kEepromOid = 0xFF0C0008;
constexpr LONG kErrorPathNotFound = 3;
constexpr LONG kErrorInvalidName = 123;
constexpr LONG kErrorBadPathname = 161;
constexpr LONG kErrorKeyDeleted = 1018;
constexpr LONG kErrorDeviceNotConnected = 1167;
constexpr LONG kErrorInvalidRegProperty = static_cast<LONG>(0xE0000209U);

std::vector<std::uint8_t> Bytes(const char *text, size_t length) {
    return std::vector<std::uint8_t>(text, text + length);
}

class SimHost : public ::testing::Test {
  protected:
    SimHost() : scope_(machine_) {}

    // Adds a device instance of a class under Enum.
    void AddDevice(const std::string &instance, const std::string &classGuid) {
        std::string const key = std::string(kEnumRoot) + "\\" + instance;
        machine_.registry.SetString(key, "ClassGUID", classGuid);
        machine_.registry.SetValue(key, "HardwareID", REG_MULTI_SZ, Bytes("USB\\ID_A\0USB\\ID_B\0", 19));
    }

    HDEVINFO NetDevices() {
        GUID guid{0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
        return SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT);
    }

    std::vector<std::string> Members(HDEVINFO set) {
        std::vector<std::string> members;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            BYTE buffer[64] = {};
            DWORD required = 0;
            SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, nullptr, buffer, sizeof buffer,
                                              &required);
            members.emplace_back(reinterpret_cast<char *>(buffer));
        }
        return members;
    }

    void AddDriver(std::vector<sim::Interval> loaded = {}) {
        sim::Driver driver;
        driver.deviceName = kDevice;
        driver.loaded = std::move(loaded);
        sim::QueryAnswer region;
        region.word = 0x0100;
        driver.answers[kRegionOid].push_back(region);
        sim::QueryAnswer eeprom;
        eeprom.kind = sim::QueryAnswer::Kind::Eeprom;
        eeprom.eeprom[0x38] = 0x1C;
        driver.answers[kEepromOid].push_back(eeprom);
        machine_.drivers.push_back(driver);
    }

    HANDLE OpenDevice() {
        return CreateFileA((std::string("\\\\.\\") + kDevice).c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           INVALID_HANDLE_VALUE);
    }

    sim::Machine machine_;
    sim::MachineScope scope_;
};

// ---- registry ----

TEST_F(SimHost, RegOpenKeyExAResolvesPathsAsWindowsDoes) {
    machine_.registry.CreateKey("SOFTWARE\\Vendor\\Product");
    struct Case {
        const char *subKey;
        LSTATUS status;
    } const cases[] = {
        {"software\\VENDOR\\product", ERROR_SUCCESS}, {"SOFTWARE\\Vendor\\", ERROR_SUCCESS},
        {"SOFTWARE\\\\Vendor", ERROR_SUCCESS},        {"SOFTWARE\\Missing", ERROR_FILE_NOT_FOUND},
        {"\\SOFTWARE\\Vendor", kErrorBadPathname},
    };
    for (const Case &c : cases) {
        HKEY key = reinterpret_cast<HKEY>(0x1234);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.subKey, 0, KEY_READ, &key), c.status) << c.subKey;
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        } else {
            EXPECT_EQ(key, nullptr) << c.subKey;
        }
    }
    EXPECT_EQ(machine_.OpenKeyCount(), 0U);
}

TEST_F(SimHost, RegOpenKeyExAWithNoSubkeyAndBadHandles) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(key, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(machine_.OpenKeyCount(), 0U);
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x4321), "SOFTWARE", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    // A subkey opened below an open key.
    machine_.registry.CreateKey("SOFTWARE\\Vendor");
    HKEY parent = nullptr;
    HKEY child = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &parent), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(parent, "vendor", 0, KEY_READ, &child), ERROR_SUCCESS);
    EXPECT_EQ(machine_.OpenObjects().back(), "registry key 0x" + std::string("00000044") + " HKLM\\SOFTWARE\\Vendor");
    RegCloseKey(child);
    RegCloseKey(parent);
}

struct QueryCase {
    const char *value;
    bool withData;
    DWORD capacity;
    LSTATUS status;
    DWORD type;
    DWORD size;
    std::vector<std::uint8_t> buffer; // first 6 bytes after the call (0xAA where untouched)
};

TEST_F(SimHost, RegQueryValueExAReportsSizesAndNulAsWindows) {
    const char *key = "SOFTWARE\\Probe";
    machine_.registry.SetValue(key, "nonul", REG_SZ, Bytes("abc", 3));
    machine_.registry.SetValue(key, "nul", REG_SZ, Bytes("abc", 4));
    machine_.registry.SetValue(key, "ms", REG_MULTI_SZ, Bytes("ab\0c\0", 6));
    machine_.registry.SetValue(key, "bin", REG_BINARY, Bytes("\1\2\3", 3));
    machine_.registry.SetValue(key, "empty", REG_SZ, {});
    std::uint8_t const x = 0xAA;
    // The rows are Wine 8's answers to the same calls.
    QueryCase const cases[] = {
        {"nonul", false, 99, ERROR_SUCCESS, REG_SZ, 3, {x, x, x, x, x, x}},
        {"nonul", true, 2, ERROR_MORE_DATA, REG_SZ, 3, {x, x, x, x, x, x}},
        {"nonul", true, 3, ERROR_SUCCESS, REG_SZ, 3, {'a', 'b', 'c', x, x, x}},
        {"nonul", true, 4, ERROR_SUCCESS, REG_SZ, 3, {'a', 'b', 'c', 0, x, x}},
        {"nul", true, 3, ERROR_MORE_DATA, REG_SZ, 4, {x, x, x, x, x, x}},
        {"nul", true, 16, ERROR_SUCCESS, REG_SZ, 4, {'a', 'b', 'c', 0, x, x}},
        {"ms", true, 4, ERROR_MORE_DATA, REG_MULTI_SZ, 6, {x, x, x, x, x, x}},
        {"ms", true, 16, ERROR_SUCCESS, REG_MULTI_SZ, 6, {'a', 'b', 0, 'c', 0, 0}},
        {"bin", true, 3, ERROR_SUCCESS, REG_BINARY, 3, {1, 2, 3, x, x, x}},
        {"bin", true, 4, ERROR_SUCCESS, REG_BINARY, 3, {1, 2, 3, x, x, x}},
        {"empty", true, 4, ERROR_SUCCESS, REG_SZ, 0, {x, x, x, x, x, x}},
        {"missing", true, 16, ERROR_FILE_NOT_FOUND, REG_NONE, 16, {x, x, x, x, x, x}},
        {"missing", false, 16, ERROR_FILE_NOT_FOUND, REG_NONE, 0, {x, x, x, x, x, x}},
    };
    HKEY handle = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &handle), ERROR_SUCCESS);
    for (const QueryCase &c : cases) {
        std::uint8_t buffer[16];
        std::memset(buffer, 0xAA, sizeof buffer);
        DWORD type = 0xEE;
        DWORD size = c.capacity;
        LSTATUS const status = RegQueryValueExA(handle, c.value, nullptr, &type, c.withData ? buffer : nullptr, &size);
        std::string const label = std::string(c.value) + " capacity " + std::to_string(c.capacity);
        EXPECT_EQ(status, c.status) << label;
        EXPECT_EQ(type, c.type) << label;
        EXPECT_EQ(size, c.size) << label;
        EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 6), c.buffer) << label;
    }
    DWORD reserved = 0;
    DWORD size = 4;
    BYTE buffer[4];
    EXPECT_EQ(RegQueryValueExA(handle, "nul", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(handle, "nul", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(handle);
    EXPECT_EQ(RegQueryValueExA(handle, "nul", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
}

TEST_F(SimHost, RegistryAccessRightsAreEnforced) {
    const char *key = "SOFTWARE\\Probe";
    machine_.registry.SetString(key, "old", "v");
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(readOnly, "EDCCAEnable", 0, REG_SZ, reinterpret_cast<const BYTE *>("1"), 2),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(machine_.registry.FindValue(key, "EDCCAEnable"), nullptr);
    HKEY writeOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_SET_VALUE, &writeOnly), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(writeOnly, "old", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    // Stored exactly as given: no NUL is added to a string passed without one.
    EXPECT_EQ(RegSetValueExA(writeOnly, "raw", 0, REG_SZ, reinterpret_cast<const BYTE *>("xyz"), 3), ERROR_SUCCESS);
    ASSERT_NE(machine_.registry.FindValue(key, "raw"), nullptr);
    EXPECT_EQ(machine_.registry.FindValue(key, "raw")->data, Bytes("xyz", 3));
    EXPECT_EQ(RegSetValueExA(writeOnly, "bad", 0, REG_SZ, nullptr, 2), 998); // ERROR_NOACCESS
    EXPECT_EQ(machine_.OpenKeyCount(), 2U);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(readOnly), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(writeOnly), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(machine_.OpenKeyCount(), 0U);
}

TEST_F(SimHost, KeyDeletedUnderAnOpenHandle) {
    machine_.registry.SetString("SOFTWARE\\Gone", "v", "x");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone", 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    ASSERT_TRUE(machine_.registry.DeleteKeyTree("SOFTWARE\\Gone"));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, nullptr, nullptr, &size), kErrorKeyDeleted);
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE *>("1"), 2), kErrorKeyDeleted);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// ---- setup classes and device sets ----

TEST_F(SimHost, ClassGuidsFromNameFillsUpToCapacityAndReportsAll) {
    machine_.registry.SetString(std::string(kClassRoot) + "\\{AAAAAAAA-0000-0000-0000-000000000002}", "Class", "probe");
    machine_.registry.SetString(std::string(kClassRoot) + "\\{AAAAAAAA-0000-0000-0000-000000000001}", "Class", "Probe");
    machine_.registry.SetString(std::string(kClassRoot) + "\\NotAGuid", "Class", "Probe");
    machine_.registry.SetString(std::string(kClassRoot) + "\\" + kNetGuid, "Class", "Net");
    struct Case {
        DWORD capacity;
        BOOL result;
        DWORD error;
        DWORD filled;
    } const cases[] = {{0, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
                       {1, FALSE, ERROR_INSUFFICIENT_BUFFER, 1},
                       {2, TRUE, ERROR_SUCCESS, 2},
                       {3, TRUE, ERROR_SUCCESS, 2}};
    for (const Case &c : cases) {
        GUID list[3] = {};
        DWORD required = 99;
        EXPECT_EQ(SetupDiClassGuidsFromNameA("PROBE", c.capacity ? list : nullptr, c.capacity, &required), c.result);
        EXPECT_EQ(GetLastError(), c.error) << c.capacity;
        EXPECT_EQ(required, 2U) << c.capacity;
        for (DWORD i = 0; i < 3; ++i) {
            EXPECT_EQ(list[i].Data4[7], i < c.filled ? i + 1 : 0) << "capacity " << c.capacity << " entry " << i;
        }
    }
    DWORD required = 99;
    GUID list[3] = {};
    EXPECT_TRUE(SetupDiClassGuidsFromNameA("Nothing", list, 3, &required));
    EXPECT_EQ(required, 0U);
}

TEST_F(SimHost, ClassDevicesInRegistryOrderFilteredByClassAndPresence) {
    AddDevice("USB\\VID_2\\B", kNetGuid);
    AddDevice("PCI\\VEN_1\\A", "{4d36e972-e325-11ce-bfc1-08002be10318}"); // the class GUID in lower case
    AddDevice("USB\\VID_1\\C", kNetGuid);
    AddDevice("USB\\VID_3\\D", "{36FC9E60-C465-11CF-8056-444553540000}");
    for (const char *instance : {"USB\\VID_2\\B", "PCI\\VEN_1\\A", "USB\\VID_1\\C", "USB\\VID_3\\D"}) {
        machine_.registry.SetString(std::string(kEnumRoot) + "\\" + instance, "FriendlyName", instance);
    }
    machine_.presence["USB\\VID_1\\C"] = {sim::Interval{1000, 2000}};

    HDEVINFO early = NetDevices();
    ASSERT_NE(early, INVALID_HANDLE_VALUE);
    machine_.nowMs = 1500;
    HDEVINFO later = NetDevices();
    EXPECT_EQ(Members(early), (std::vector<std::string>{"PCI\\VEN_1\\A", "USB\\VID_2\\B"}));
    EXPECT_EQ(Members(later), (std::vector<std::string>{"PCI\\VEN_1\\A", "USB\\VID_1\\C", "USB\\VID_2\\B"}));
    machine_.nowMs = 2000;
    EXPECT_EQ(Members(later).size(), 3U); // a set is a snapshot of its creation time
    EXPECT_EQ(machine_.OpenDeviceSetCount(), 2U);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(early));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(later));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(later));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(machine_.OpenDeviceSetCount(), 0U);
}

TEST_F(SimHost, EnumDeviceInfoChecksItsArguments) {
    AddDevice("USB\\VID_1\\A", kNetGuid);
    HDEVINFO set = NetDevices();
    SP_DEVINFO_DATA data{};
    struct Case {
        HDEVINFO set;
        DWORD index;
        DWORD cbSize;
        bool nullData;
        BOOL result;
        DWORD error;
    } const cases[] = {
        {set, 0, 28, false, TRUE, ERROR_SUCCESS},
        {set, 0, 0, false, FALSE, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)},
        {set, 0, 32, false, FALSE, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER)},
        {set, 1, 28, false, FALSE, static_cast<DWORD>(ERROR_NO_MORE_ITEMS)},
        {set, 0, 28, true, FALSE, static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
        {reinterpret_cast<HDEVINFO>(0x5555), 0, 28, false, FALSE, static_cast<DWORD>(ERROR_INVALID_HANDLE)},
    };
    for (const Case &c : cases) {
        data = SP_DEVINFO_DATA{};
        data.cbSize = c.cbSize;
        EXPECT_EQ(SetupDiEnumDeviceInfo(c.set, c.index, c.nullData ? nullptr : &data), c.result);
        EXPECT_EQ(GetLastError(), c.error) << "index " << c.index << " cbSize " << c.cbSize;
    }
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(data.ClassGuid.Data1, 0x4D36E972U);
    EXPECT_NE(data.DevInst, 0U);
    SetupDiDestroyDeviceInfoList(set);
}

struct PropertyCase {
    DWORD property;
    DWORD capacity;
    BOOL result;
    DWORD error;
    DWORD type;
    DWORD required;
    std::string buffer; // the first bytes after the call ('.' where untouched)
};

TEST_F(SimHost, DevicePropertiesReadAsWindowsReadsThem) {
    AddDevice("USB\\VID_1\\A", kNetGuid);
    std::string const key = std::string(kEnumRoot) + "\\USB\\VID_1\\A";
    machine_.registry.SetValue(key, "FriendlyName", REG_SZ, Bytes("Fr", 2)); // stored without its NUL
    machine_.registry.SetString(key, "DeviceDesc", "Desc");
    machine_.registry.SetString(key, "Driver", std::string(kNetGuid) + "\\0007");
    HDEVINFO set = NetDevices();
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    PropertyCase const cases[] = {
        {SPDRP_HARDWAREID, 64, TRUE, 0, REG_MULTI_SZ, 19, std::string("USB\\ID_A\0USB\\ID_B\0\0.", 20)},
        {SPDRP_HARDWAREID, 8, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_MULTI_SZ, 19, "........"},
        {SPDRP_HARDWAREID, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_MULTI_SZ, 19, "........"},
        {SPDRP_FRIENDLYNAME, 2, TRUE, 0, REG_SZ, 2, "Fr......"},
        {SPDRP_FRIENDLYNAME, 64, TRUE, 0, REG_SZ, 2, std::string("Fr\0.....", 8)},
        {SPDRP_DEVICEDESC, 64, TRUE, 0, REG_SZ, 5, std::string("Desc\0...", 8)},
        {SPDRP_DRIVER, 64, TRUE, 0, REG_SZ, 44, std::string(kNetGuid) + "\\0007"},
        {SPDRP_MFG, 64, FALSE, ERROR_INVALID_DATA, REG_NONE, 64, "........"},
        {SPDRP_LOCATION_INFORMATION, 0, FALSE, ERROR_INVALID_DATA, REG_NONE, 0, "........"},
        {0x30, 64, FALSE, static_cast<DWORD>(kErrorInvalidRegProperty), 0xEE, 0xDD, "........"},
    };
    for (const PropertyCase &c : cases) {
        char buffer[64];
        std::memset(buffer, '.', sizeof buffer);
        DWORD type = 0xEE;
        DWORD required = 0xDD;
        BOOL const result = SetupDiGetDeviceRegistryPropertyA(set, &data, c.property, &type,
                                                              c.capacity ? reinterpret_cast<BYTE *>(buffer) : nullptr,
                                                              c.capacity, &required);
        std::string const label = "property " + std::to_string(c.property) + " capacity " + std::to_string(c.capacity);
        EXPECT_EQ(result, c.result) << label;
        EXPECT_EQ(GetLastError(), c.error) << label;
        EXPECT_EQ(type, c.type) << label;
        EXPECT_EQ(required, c.required) << label;
        EXPECT_EQ(std::string(buffer, c.buffer.size()), c.buffer) << label;
    }
    BYTE buffer[8];
    DWORD required = 0xDD;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, nullptr, 4, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SP_DEVINFO_DATA bad = data;
    bad.cbSize = 20;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &bad, SPDRP_DEVICEDESC, nullptr, buffer, 8, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
}

// ---- device files and the driver ----

TEST_F(SimHost, CreateFileAOpensOnlyLoadedDeviceFiles) {
    AddDriver({sim::Interval{100, 500}});
    struct Case {
        std::string path;
        std::uint64_t atMs;
        LONG error; // 0: opens
    } const cases[] = {
        {std::string("\\\\.\\") + kDevice, 100, ERROR_SUCCESS},
        {"\\\\.\\{6a1c2f34-8b6e-4c0b-9d5a-3e7f21b4c9d0}", 499, ERROR_SUCCESS},
        {std::string("\\\\.\\") + kDevice, 99, ERROR_FILE_NOT_FOUND},
        {std::string("\\\\.\\") + kDevice, 500, ERROR_FILE_NOT_FOUND},
        {"\\\\.\\{00000000-0000-0000-0000-000000000001}", 200, ERROR_FILE_NOT_FOUND},
        {"\\\\.\\", 200, kErrorInvalidName},
        {"\\\\.\\NOSUCHDEV\\sub", 200, kErrorPathNotFound},
        {"C:\\nodir\\x.txt", 200, kErrorPathNotFound},
        {"C:\\x.txt", 200, ERROR_FILE_NOT_FOUND},
        {"", 200, kErrorPathNotFound},
    };
    for (const Case &c : cases) {
        machine_.nowMs = c.atMs;
        HANDLE handle =
            CreateFileA(c.path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(c.error)) << c.path << " at " << c.atMs;
        EXPECT_EQ(handle == INVALID_HANDLE_VALUE, c.error != ERROR_SUCCESS) << c.path;
        if (handle != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(handle));
        }
    }
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x3334)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(machine_.OpenHandleCount(), 0U);
}

TEST_F(SimHost, DriverAnswersQueriesInTheirLayouts) {
    AddDriver();
    // A region answer that changes over time, then fails, then answers short.
    auto &region = machine_.drivers[0].answers[kRegionOid];
    sim::QueryAnswer failing;
    failing.atMs = 1000;
    failing.kind = sim::QueryAnswer::Kind::Fail;
    failing.error = ERROR_GEN_FAILURE;
    region.push_back(failing);
    sim::QueryAnswer shortAnswer;
    shortAnswer.atMs = 2000;
    shortAnswer.word = 0x0201;
    shortAnswer.answerBytes = 1;
    region.push_back(shortAnswer);

    struct Case {
        std::uint64_t atMs;
        DWORD code;
        DWORD oid;
        std::vector<std::uint32_t> out; // the caller's buffer, prefilled
        BOOL result;
        DWORD error;
        DWORD returned;
        std::vector<std::uint32_t> after;
    } const cases[] = {
        {0, IOCTL_NDIS_QUERY_GLOBAL_STATS, kRegionOid, {0}, TRUE, 0, 4, {0x0100}},
        {0, IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {3, 0x38, 0x77}, TRUE, 0, 12, {3, 0x38, 0x1C}},
        {0, IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {3, 0x39, 0}, TRUE, 0, 12, {3, 0x39, 0xFF}},
        {0, IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {2, 0x38, 0}, FALSE, ERROR_INVALID_PARAMETER, 0, {2, 0x38, 0}},
        {0, IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {3, 0x38}, FALSE, ERROR_INSUFFICIENT_BUFFER, 0, {3, 0x38}},
        {0, IOCTL_NDIS_QUERY_GLOBAL_STATS, 0x0D710107, {0}, FALSE, ERROR_NOT_SUPPORTED, 0, {0}},
        {0, 0x00170006, kRegionOid, {0}, FALSE, ERROR_INVALID_FUNCTION, 0, {0}},
        {1000, IOCTL_NDIS_QUERY_GLOBAL_STATS, kRegionOid, {0}, FALSE, ERROR_GEN_FAILURE, 0, {0}},
        {2000, IOCTL_NDIS_QUERY_GLOBAL_STATS, kRegionOid, {0xAAAAAAAA}, TRUE, 0, 1, {0xAAAAAA01}},
    };
    for (const Case &c : cases) {
        machine_.nowMs = c.atMs;
        HANDLE device = OpenDevice();
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        std::vector<std::uint32_t> out = c.out;
        DWORD oid = c.oid;
        DWORD returned = 0x55;
        BOOL const result = DeviceIoControl(device, c.code, &oid, 4, out.data(), static_cast<DWORD>(out.size() * 4),
                                            &returned, nullptr);
        std::string const label = "oid " + std::to_string(c.oid) + " at " + std::to_string(c.atMs);
        EXPECT_EQ(result, c.result) << label;
        if (result == FALSE) {
            EXPECT_EQ(GetLastError(), c.error) << label;
        }
        EXPECT_EQ(returned, c.returned) << label;
        EXPECT_EQ(out, c.after) << label;
        ASSERT_FALSE(machine_.requests.empty());
        EXPECT_EQ(machine_.requests.back().oid, c.oid);
        EXPECT_EQ(machine_.requests.back().prefilled, c.out) << label;
        EXPECT_EQ(machine_.requests.back().answered, c.result != FALSE) << label;
        CloseHandle(device);
    }
    EXPECT_EQ(machine_.requests.size(), std::size(cases));
}

TEST_F(SimHost, RequestsFailOnceTheDriverUnloadsUnderAnOpenFile) {
    AddDriver({sim::Interval{0, 1000}, sim::Interval{2000, sim::kForever}});
    HANDLE device = OpenDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DWORD oid = kRegionOid;
    DWORD word = 0;
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
    for (std::uint64_t at : {1000U, 2500U}) { // unloaded, then reloaded: the old file stays dead
        machine_.nowMs = at;
        EXPECT_FALSE(DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(kErrorDeviceNotConnected)) << at;
    }
    HANDLE fresh = OpenDevice();
    EXPECT_TRUE(DeviceIoControl(fresh, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_TRUE(CloseHandle(fresh));
    EXPECT_FALSE(DeviceIoControl(fresh, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- version, memory, time, process ----

TEST_F(SimHost, GetVersionExAAcceptsOnlyTheTwoRecordSizes) {
    machine_.version.major = 6;
    machine_.version.minor = 1;
    machine_.version.build = 7601;
    machine_.version.csdVersion = "Service Pack 1";
    machine_.version.servicePackMajor = 1;
    machine_.version.productType = VER_NT_SERVER;
    for (DWORD size : {148U, 156U, 150U, 0U, 276U}) {
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = size;
        BOOL const result = GetVersionExA(&info);
        bool const accepted = size == 148 || size == 156;
        EXPECT_EQ(result != FALSE, accepted) << size;
        EXPECT_EQ(info.dwMajorVersion, accepted ? 6U : 0U) << size;
        EXPECT_EQ(info.dwBuildNumber, accepted ? 7601U : 0U) << size;
        EXPECT_STREQ(info.szCSDVersion, accepted ? "Service Pack 1" : "") << size;
        EXPECT_EQ(info.wProductType, size == 156 ? VER_NT_SERVER : 0) << size; // the short record stops before it
        EXPECT_EQ(info.wServicePackMajor, size == 156 ? 1 : 0) << size;
        if (!accepted) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        }
    }
    machine_.version.getVersionFails = true;
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 0U);
}

TEST_F(SimHost, SystemMetricsSleepAndMemory) {
    machine_.version.serverR2 = 1;
    EXPECT_EQ(GetSystemMetrics(SM_SERVERR2), 1);
    EXPECT_EQ(GetSystemMetrics(0), 0);
    Sleep(200);
    Sleep(200);
    EXPECT_EQ(machine_.nowMs, 400U);

    auto *zeroed = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 8));
    auto *fresh = static_cast<unsigned char *>(LocalAlloc(LMEM_FIXED, 8));
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(zeroed, zeroed + 8), std::vector<unsigned char>(8, 0));
    EXPECT_NE(std::vector<unsigned char>(fresh, fresh + 8), std::vector<unsigned char>(8, 0));
    EXPECT_EQ(machine_.LiveBlockCount(), 2U);
    EXPECT_EQ(LocalFree(zeroed), nullptr);
    EXPECT_EQ(LocalFree(zeroed), zeroed); // freed twice
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    EXPECT_EQ(LocalFree(fresh), nullptr);
    EXPECT_EQ(machine_.LiveBlockCount(), 0U);
    EXPECT_EQ(LocalAlloc(LMEM_FIXED, 0x80000000U), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

TEST_F(SimHost, ExitProcessEndsTheRunAndNothingAfterItRuns) {
    bool ranAfterExit = false;
    sim::ProcessOutcome const outcome = sim::RunProcess(machine_, [&] {
        WriteStandardOutput("before\n", 7);
        Sleep(50);
        ExitProcess(3);
        ranAfterExit = true;
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 3U);
    EXPECT_EQ(outcome.endedAtMs, 50U);
    EXPECT_FALSE(ranAfterExit);
    EXPECT_EQ(machine_.standardOutput, "before\n");
    EXPECT_EQ(machine_.flushes, std::vector<size_t>{7});
    EXPECT_EQ(machine_.calls.back().operation, "ExitProcess");

    sim::ProcessOutcome const returned = sim::RunProcess(machine_, [] {});
    EXPECT_FALSE(returned.exited);
}

// ---- faults and the call log ----

TEST_F(SimHost, FaultsSelectByOperationSubjectAndCallNumber) {
    machine_.registry.CreateKey("SOFTWARE\\A");
    machine_.registry.CreateKey("SOFTWARE\\B");
    sim::Fault second;
    second.operation = "RegOpenKeyExA";
    second.subject = "software\\a";
    second.callNumber = 2;
    second.error = ERROR_ACCESS_DENIED;
    machine_.faults.push_back(second);
    std::vector<LSTATUS> results;
    for (const char *path : {"SOFTWARE\\A", "SOFTWARE\\B", "SOFTWARE\\A", "SOFTWARE\\A"}) {
        HKEY key = nullptr;
        results.push_back(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key));
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
    EXPECT_EQ(results, (std::vector<LSTATUS>{ERROR_SUCCESS, ERROR_SUCCESS, ERROR_ACCESS_DENIED, ERROR_SUCCESS}));
    EXPECT_EQ(machine_.faults[0].seen, 3);

    // An access filter lets the reads through and refuses only the write's open.
    sim::Fault write;
    write.operation = "RegOpenKeyExA";
    write.subject = "SOFTWARE\\B";
    write.access = KEY_ALL_ACCESS;
    write.error = ERROR_ACCESS_DENIED;
    machine_.faults.push_back(write);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\B", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\B", 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);

    AddDriver();
    sim::Fault open;
    open.operation = "CreateFileA";
    open.error = ERROR_ACCESS_DENIED;
    machine_.faults.push_back(open);
    EXPECT_EQ(OpenDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    sim::Fault memory;
    memory.operation = "LocalAlloc";
    memory.error = ERROR_NOT_ENOUGH_MEMORY;
    machine_.faults.push_back(memory);
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));

    sim::Fault lost;
    lost.operation = "WriteStandardOutput";
    lost.callNumber = 1;
    lost.error = ERROR_INVALID_HANDLE;
    machine_.faults.push_back(lost);
    WriteStandardOutput("lost", 4);
    WriteStandardOutput("kept", 4);
    EXPECT_EQ(machine_.standardOutput, "kept");
}

TEST_F(SimHost, CallLogRecordsReadableArgumentsAndResults) {
    machine_.registry.SetString("SYSTEM\\Env", "ARCH", "AMD64");
    machine_.nowMs = 600;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\env", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE buffer[128];
    DWORD size = sizeof buffer;
    RegQueryValueExA(key, "ARCH", nullptr, nullptr, buffer, &size);
    RegCloseKey(key);
    ASSERT_EQ(machine_.calls.size(), 3U);
    EXPECT_EQ(machine_.calls[0].atMs, 600U);
    EXPECT_EQ(machine_.calls[0].operation, "RegOpenKeyExA");
    EXPECT_EQ(machine_.calls[0].arguments, "HKEY_LOCAL_MACHINE, \"system\\\\env\", 0, KEY_READ");
    EXPECT_EQ(machine_.calls[0].result, "ERROR_SUCCESS, key 0x00000040");
    EXPECT_EQ(machine_.calls[1].arguments, "0x00000040 (HKLM\\SYSTEM\\Env), \"ARCH\", buffer of 128");
    EXPECT_EQ(machine_.calls[1].result, "ERROR_SUCCESS, size 6, \"AMD64\\x00\"");
    EXPECT_EQ(machine_.CountCalls("RegCloseKey"), 1U);
}

} // namespace
