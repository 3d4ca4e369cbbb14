// host_contract.cpp - how each host operation behaves, as the tool and the
// simulated host rely on it: error codes, sizes, NUL handling, device sets,
// device files and driver answers, version, architecture value, Sleep.
//
// One source, two hosts: built against the simulated host (ctest, sim and
// sim-asan presets) and as a 32-bit Windows program over the forwarding
// layer, run under Wine (win32 preset). Both run on the machine of
// machine.json. Where Wine is known to differ from Windows, the Windows
// behaviour is checked on the simulated host only, named by
// WindowsBehaviourChecked.

#include <cstring>
#include <string>
#include <vector>

#include "device_sets.h"
#include "harness.h"

namespace {

using namespace host;
using contract::Bytes;
using contract::Case;
using contract::Members;
using contract::NetDevices;
using contract::OpenFile;

constexpr char kProbe[] = "SYSTEM\\EdccaContract\\Probe";
constexpr char kProduct[] = "SYSTEM\\EdccaContract\\Vendor\\Product";
constexpr char kNetGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kDeviceFile[] = "\\\\.\\{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}";
constexpr DWORD kRegionOid = 0xFF0C0003;
constexpr DWORD kEepromOid = 0xFF0C0008;
constexpr DWORD kFailingOid = 0xFF0C0010;
constexpr DWORD kShortOid = 0xFF0C0011;
constexpr BYTE kUntouched = 0xAA;

Bytes Data(const char *text, size_t length) { return Bytes(text, text + length); }

HKEY Open(const char *path, DWORD access) {
    HKEY key = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key), ERROR_SUCCESS);
    return key;
}

// A value's stored bytes, as a buffer larger than it reads them.
Bytes Stored(const char *path, const char *name) {
    HKEY key = Open(path, KEY_READ);
    BYTE buffer[64];
    DWORD size = sizeof buffer;
    LSTATUS const status = RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? Bytes(buffer, buffer + size) : Bytes();
}

std::string Join(const std::vector<std::string> &parts) {
    std::string joined;
    for (const std::string &part : parts) {
        joined += (joined.empty() ? "" : ", ") + part;
    }
    return joined;
}

// ---- registry ----

// Subkey forms, below the root and below an open key: letter case, doubled,
// trailing and leading backslashes. A key that opens is the one named: its
// value reads back through it and a value written through it lands in it, as
// the tool reads an identifier and writes its setting.
CONTRACT_TEST(RegOpenKeyExAResolvesPaths) {
    struct Row {
        bool belowOpenKey; // below SYSTEM\EdccaContract, else below HKEY_LOCAL_MACHINE
        const char *subKey;
        LSTATUS status;
    } const rows[] = {
        {false, "system\\EDCCACONTRACT\\vendor\\PRODUCT", ERROR_SUCCESS},
        {false, "SYSTEM\\EdccaContract\\Vendor\\Product\\", ERROR_SUCCESS},
        {false, "SYSTEM\\EdccaContract\\Vendor\\Product\\\\", ERROR_SUCCESS},
        {false, "SYSTEM\\\\EdccaContract\\Vendor\\\\\\Product", ERROR_SUCCESS},
        {false, "SYSTEM\\EdccaContract\\Missing\\", ERROR_FILE_NOT_FOUND},
        {false, "SYSTEM\\\\Missing", ERROR_FILE_NOT_FOUND},
        {false, "\\SYSTEM\\EdccaContract\\Vendor\\Product", ERROR_BAD_PATHNAME},
        {false, "\\\\SYSTEM\\EdccaContract\\Vendor\\Product", ERROR_BAD_PATHNAME},
        {false, "\\", ERROR_BAD_PATHNAME},
        {true, "Vendor\\Product\\", ERROR_SUCCESS},
        {true, "Vendor\\\\Product", ERROR_SUCCESS},
        {true, "\\Vendor\\Product", ERROR_BAD_PATHNAME},
        {true, "\\", ERROR_BAD_PATHNAME},
    };
    HKEY const parent = Open("SYSTEM\\EdccaContract", KEY_READ);
    for (const Row &row : rows) {
        Case const label((row.belowOpenKey ? "below SYSTEM\\EdccaContract: " : "") + std::string(row.subKey));
        HKEY key = reinterpret_cast<HKEY>(0x1234);
        LSTATUS const status =
            RegOpenKeyExA(row.belowOpenKey ? parent : HKEY_LOCAL_MACHINE, row.subKey, 0, KEY_ALL_ACCESS, &key);
        CHECK_EQ(status, row.status);
        if (status != ERROR_SUCCESS) {
            CHECK_EQ(key, static_cast<HKEY>(nullptr));
            continue;
        }
        BYTE buffer[16] = {};
        DWORD size = sizeof buffer;
        CHECK_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
        CHECK_EQ(Bytes(buffer, buffer + size), Data("Product", 8));
        DWORD const length = static_cast<DWORD>(std::strlen(row.subKey) + 1);
        CHECK_EQ(RegSetValueExA(key, "Written", 0, REG_SZ, reinterpret_cast<const BYTE *>(row.subKey), length),
                 ERROR_SUCCESS);
        CHECK_EQ(Stored(kProduct, "Written"), Data(row.subKey, length));
        CHECK_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    RegCloseKey(parent);
}

// A value name is a name, not a path: its backslashes are its own letters.
CONTRACT_TEST(RegQueryValueExANamesAreNotPaths) {
    HKEY const product = Open(kProduct, KEY_ALL_ACCESS);
    CHECK_EQ(RegSetValueExA(product, "a\\b", 0, REG_SZ, reinterpret_cast<const BYTE *>("ab"), 3), ERROR_SUCCESS);
    HKEY const vendor = Open("SYSTEM\\EdccaContract\\Vendor", KEY_READ);
    struct Row {
        HKEY key;
        const char *value;
        LSTATUS status;
    } const rows[] = {
        {product, "Name", ERROR_SUCCESS},          {vendor, "Product\\Name", ERROR_FILE_NOT_FOUND},
        {product, "\\Name", ERROR_FILE_NOT_FOUND}, {product, "Name\\", ERROR_FILE_NOT_FOUND},
        {product, "a\\b", ERROR_SUCCESS},          {product, "a\\\\b", ERROR_FILE_NOT_FOUND},
    };
    for (const Row &row : rows) {
        Case const label(row.value);
        DWORD size = 0;
        CHECK_EQ(RegQueryValueExA(row.key, row.value, nullptr, nullptr, nullptr, &size), row.status);
    }
    RegCloseKey(vendor);
    RegCloseKey(product);
}

CONTRACT_TEST(RegOpenKeyExAHandles) {
    HKEY key = nullptr;
    CHECK_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, &key), ERROR_SUCCESS);
    CHECK_EQ(key, HKEY_LOCAL_MACHINE);
    CHECK_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x4321), "SYSTEM", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
    // A subkey below an open key, and the handles closed in any order.
    HKEY parent = Open("SYSTEM\\EdccaContract", KEY_READ);
    HKEY child = nullptr;
    CHECK_EQ(RegOpenKeyExA(parent, "vendor", 0, KEY_READ, &child), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(parent), ERROR_INVALID_HANDLE);
    CHECK_EQ(RegCloseKey(child), ERROR_SUCCESS);
    CHECK_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

CONTRACT_TEST(RegSetValueExAStoresExactlyTheBytesGiven) {
    HKEY key = Open(kProbe, KEY_ALL_ACCESS);
    // A string given without its NUL is stored without one (the byte after
    // the count is not NUL, so no host may find one there).
    struct Row {
        const char *name;
        DWORD type;
        const char *data;
        DWORD size;
    } const rows[] = {
        {"nonul", REG_SZ, "abcX", 3},     {"nul", REG_SZ, "abc", 4}, {"ms", REG_MULTI_SZ, "ab\0c\0", 6},
        {"bin", REG_BINARY, "\1\2\3", 3}, {"empty", REG_SZ, "", 0},  {"old", REG_SZ, "new", 4},
    };
    for (const Row &row : rows) {
        Case const label(row.name);
        CHECK_EQ(RegSetValueExA(key, row.name, 0, row.type, reinterpret_cast<const BYTE *>(row.data), row.size),
                 ERROR_SUCCESS);
        CHECK_EQ(Stored(kProbe, row.name), Data(row.data, row.size));
    }
    RegCloseKey(key);
}

CONTRACT_TEST(RegQueryValueExAReportsSizesAndNul) {
    HKEY writer = Open(kProbe, KEY_ALL_ACCESS);
    RegSetValueExA(writer, "nonul", 0, REG_SZ, reinterpret_cast<const BYTE *>("abcX"), 3);
    RegSetValueExA(writer, "nul", 0, REG_SZ, reinterpret_cast<const BYTE *>("abc"), 4);
    RegSetValueExA(writer, "ms", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>("ab\0c\0"), 6);
    RegSetValueExA(writer, "bin", 0, REG_BINARY, reinterpret_cast<const BYTE *>("\1\2\3"), 3);
    RegSetValueExA(writer, "empty", 0, REG_SZ, reinterpret_cast<const BYTE *>(""), 0);
    RegCloseKey(writer);
    BYTE const x = kUntouched;
    struct Row {
        const char *value;
        bool withData;
        DWORD capacity;
        LSTATUS status;
        DWORD type;
        DWORD size;
        Bytes buffer; // the first 6 bytes after the call
    } const rows[] = {
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
    HKEY key = Open(kProbe, KEY_READ);
    for (const Row &row : rows) {
        Case const label(std::string(row.value) + ", capacity " + std::to_string(row.capacity));
        BYTE buffer[16];
        std::memset(buffer, x, sizeof buffer);
        DWORD type = 0xEE;
        DWORD size = row.capacity;
        CHECK_EQ(RegQueryValueExA(key, row.value, nullptr, &type, row.withData ? buffer : nullptr, &size), row.status);
        CHECK_EQ(type, row.type);
        CHECK_EQ(size, row.size);
        CHECK_EQ(Bytes(buffer, buffer + 6), row.buffer);
    }
    DWORD reserved = 0;
    DWORD size = 4;
    BYTE buffer[4];
    CHECK_EQ(RegQueryValueExA(key, "nul", &reserved, nullptr, buffer, &size), ERROR_INVALID_PARAMETER);
    CHECK_EQ(RegQueryValueExA(key, "nul", nullptr, nullptr, buffer, nullptr), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
    CHECK_EQ(RegQueryValueExA(key, "nul", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
}

CONTRACT_TEST(RegistryAccessRightsAreEnforced) {
    HKEY readOnly = Open(kProbe, KEY_READ);
    CHECK_EQ(RegSetValueExA(readOnly, "EDCCAEnable", 0, REG_SZ, reinterpret_cast<const BYTE *>("1"), 2),
             ERROR_ACCESS_DENIED);
    CHECK_EQ(Stored(kProbe, "EDCCAEnable"), Bytes());
    HKEY writeOnly = Open(kProbe, KEY_SET_VALUE);
    DWORD size = 0;
    CHECK_EQ(RegQueryValueExA(writeOnly, "old", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
    CHECK_EQ(RegSetValueExA(writeOnly, "EDCCAEnable", 0, REG_SZ, reinterpret_cast<const BYTE *>("1"), 2),
             ERROR_SUCCESS);
    CHECK_EQ(Stored(kProbe, "EDCCAEnable"), Data("1", 2));
    RegCloseKey(readOnly);
    RegCloseKey(writeOnly);
}

// The machine's architecture value, as the version code's x64 probe reads it.
CONTRACT_TEST(ArchitectureValue) {
    HKEY key = Open("System\\CurrentControlSet\\Control\\Session Manager\\Environment", KEY_READ);
    BYTE buffer[128];
    std::memset(buffer, kUntouched, sizeof buffer);
    DWORD size = sizeof buffer;
    DWORD type = 0;
    CHECK_EQ(RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, &type, buffer, &size), ERROR_SUCCESS);
    CHECK_EQ(type, REG_SZ);
    CHECK_EQ(size, 6U);
    CHECK_EQ(Bytes(buffer, buffer + 7), Bytes({'A', 'M', 'D', '6', '4', 0, kUntouched}));
    RegCloseKey(key);
}

// ---- setup classes and device sets ----

CONTRACT_TEST(ClassGuidsFromNameFillsUpToCapacityAndReportsAll) {
    struct Row {
        DWORD capacity;
        BOOL result;
        DWORD error;
        DWORD filled;
    } const rows[] = {{0, FALSE, ERROR_INSUFFICIENT_BUFFER, 0},
                      {1, FALSE, ERROR_INSUFFICIENT_BUFFER, 1},
                      {2, TRUE, ERROR_SUCCESS, 2},
                      {3, TRUE, ERROR_SUCCESS, 2}};
    for (const Row &row : rows) {
        Case const label("capacity " + std::to_string(row.capacity));
        GUID list[3] = {};
        DWORD required = 99;
        BOOL const result = SetupDiClassGuidsFromNameA("PROBE", row.capacity ? list : nullptr, row.capacity, &required);
        CHECK_EQ(result, row.result);
        if (result == FALSE) {
            CHECK_EQ(GetLastError(), row.error);
        }
        CHECK_EQ(required, 2U);
        for (DWORD i = 0; i < 3; ++i) {
            CHECK_EQ(list[i].Data4[7], i < row.filled ? i + 1 : 0U);
        }
    }
    GUID list[3] = {};
    DWORD required = 99;
    CHECK(SetupDiClassGuidsFromNameA("Net", list, 3, &required));
    CHECK_EQ(required, 1U);
    CHECK_EQ(list[0].Data1, 0x4D36E972U);
    CHECK(SetupDiClassGuidsFromNameA("Nothing", list, 3, &required));
    CHECK_EQ(required, 0U);
}

CONTRACT_TEST(ClassDevicesInRegistryOrderFilteredByClass) {
    HDEVINFO set = NetDevices();
    CHECK(set != INVALID_HANDLE_VALUE);
    CHECK_EQ(Join(Members(set)), std::string("PCI\\VEN_1\\A, USB\\VID_1\\C, USB\\VID_2\\B"));
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    CHECK(SetupDiEnumDeviceInfo(set, 0, &data));
    CHECK_EQ(data.ClassGuid.Data1, 0x4D36E972U);
    CHECK(SetupDiDestroyDeviceInfoList(set));

    if (contract::WindowsBehaviourChecked(
            "DIGCF_PRESENT",
            "Wine 8's setupapi lists every Enum device of the class, present or not (tests/wine/README.md)")) {
        contract::SetDevicePresent("USB\\VID_1\\C", false);
        HDEVINFO present = NetDevices();
        CHECK_EQ(Join(Members(present)), std::string("PCI\\VEN_1\\A, USB\\VID_2\\B"));
        SetupDiDestroyDeviceInfoList(present);
        contract::SetDevicePresent("USB\\VID_1\\C", true);
    }
}

CONTRACT_TEST(EnumDeviceInfoChecksItsArguments) {
    HDEVINFO set = NetDevices();
    struct Row {
        DWORD index;
        DWORD cbSize;
        bool nullData;
        BOOL result;
        LONG error;
    } const rows[] = {
        {0, 28, false, TRUE, ERROR_SUCCESS},
        {0, 0, false, FALSE, ERROR_INVALID_USER_BUFFER},
        {0, 32, false, FALSE, ERROR_INVALID_USER_BUFFER},
        {3, 28, false, FALSE, ERROR_NO_MORE_ITEMS},
        {0, 28, true, FALSE, ERROR_INVALID_PARAMETER},
    };
    for (const Row &row : rows) {
        Case const label("index " + std::to_string(row.index) + ", cbSize " + std::to_string(row.cbSize) +
                         (row.nullData ? ", no record" : ""));
        SP_DEVINFO_DATA data{};
        data.cbSize = row.cbSize;
        CHECK_EQ(SetupDiEnumDeviceInfo(set, row.index, row.nullData ? nullptr : &data), row.result);
        if (row.result == FALSE) {
            CHECK_EQ(GetLastError(), static_cast<DWORD>(row.error));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

CONTRACT_TEST(DevicePropertiesReadLikeRegistryValues) {
    HKEY key = Open("SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2\\B", KEY_ALL_ACCESS);
    CHECK_EQ(RegSetValueExA(key, "Mfg", 0, REG_SZ, reinterpret_cast<const BYTE *>("MfX"), 2), ERROR_SUCCESS);
    RegCloseKey(key);
    HDEVINFO set = NetDevices();
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    CHECK(SetupDiEnumDeviceInfo(set, 2, &data)); // USB\VID_2\B
    struct Row {
        DWORD property;
        DWORD capacity;
        BOOL result;
        LONG error;
        DWORD type;
        DWORD required;
        std::string buffer; // the first bytes after the call ('.' where untouched)
    } const rows[] = {
        {SPDRP_HARDWAREID, 64, TRUE, 0, REG_MULTI_SZ, 19, std::string("USB\\ID_A\0USB\\ID_B\0\0.", 20)},
        {SPDRP_HARDWAREID, 8, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_MULTI_SZ, 19, "........"},
        {SPDRP_HARDWAREID, 0, FALSE, ERROR_INSUFFICIENT_BUFFER, REG_MULTI_SZ, 19, "........"},
        {SPDRP_MFG, 2, TRUE, 0, REG_SZ, 2, "Mf......"},
        {SPDRP_MFG, 64, TRUE, 0, REG_SZ, 2, std::string("Mf\0.....", 8)},
        {SPDRP_DEVICEDESC, 64, TRUE, 0, REG_SZ, 5, std::string("Desc\0...", 8)},
        {SPDRP_DRIVER, 64, TRUE, 0, REG_SZ, 44, std::string(kNetGuid) + "\\0007"},
        {SPDRP_LOCATION_INFORMATION, 64, FALSE, ERROR_INVALID_DATA, REG_NONE, 64, "........"},
        {SPDRP_LOCATION_INFORMATION, 0, FALSE, ERROR_INVALID_DATA, REG_NONE, 0, "........"},
    };
    for (const Row &row : rows) {
        Case const label("property " + std::to_string(row.property) + ", capacity " + std::to_string(row.capacity));
        char buffer[64];
        std::memset(buffer, '.', sizeof buffer);
        DWORD type = 0xEE;
        DWORD required = 0xDD;
        CHECK_EQ(SetupDiGetDeviceRegistryPropertyA(set, &data, row.property, &type,
                                                   row.capacity ? reinterpret_cast<BYTE *>(buffer) : nullptr,
                                                   row.capacity, &required),
                 row.result);
        if (row.result == FALSE) {
            CHECK_EQ(GetLastError(), static_cast<DWORD>(row.error));
        }
        CHECK_EQ(type, row.type);
        CHECK_EQ(required, row.required);
        CHECK_EQ(std::string(buffer, row.buffer.size()), row.buffer);
    }
    BYTE buffer[8];
    DWORD required = 0xDD;
    CHECK(!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_DEVICEDESC, nullptr, nullptr, 4, &required));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    SP_DEVINFO_DATA bad = data;
    bad.cbSize = 20;
    CHECK(!SetupDiGetDeviceRegistryPropertyA(set, &bad, SPDRP_DEVICEDESC, nullptr, buffer, 8, nullptr));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetupDiDestroyDeviceInfoList(set);
}

// ---- device files and the driver ----

CONTRACT_TEST(CreateFileAOpensOnlyExistingDeviceFiles) {
    struct Row {
        const char *path;
        LONG error; // 0: opens
    } const rows[] = {
        {kDeviceFile, ERROR_SUCCESS},
        {"\\\\.\\{6a1c2f34-8b6e-4c0b-9d5a-3e7f21b4c9d0}", ERROR_SUCCESS},
        {"\\\\.\\{00000000-0000-0000-0000-000000000001}", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\", ERROR_INVALID_NAME},
        {"\\\\.\\NOSUCHDEV\\sub", ERROR_PATH_NOT_FOUND},
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const Row &row : rows) {
        Case const label(row.path);
        HANDLE handle = OpenFile(row.path);
        CHECK_EQ(handle == INVALID_HANDLE_VALUE, row.error != ERROR_SUCCESS);
        if (handle == INVALID_HANDLE_VALUE) {
            CHECK_EQ(GetLastError(), static_cast<DWORD>(row.error));
        } else {
            CHECK(CloseHandle(handle));
        }
    }
    CHECK(!CloseHandle(reinterpret_cast<HANDLE>(0x3334)));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

CONTRACT_TEST(DriverAnswersQueriesInTheirLayouts) {
    struct Row {
        DWORD code;
        DWORD oid;
        std::vector<std::uint32_t> out; // the caller's buffer, prefilled
        BOOL result;
        LONG error;
        DWORD returned;
        std::vector<std::uint32_t> after;
    } const rows[] = {
        // a failed request leaves the byte count as the caller set it (0x55)
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kRegionOid, {0}, TRUE, 0, 4, {0x0100}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {3, 0x38, 0x77}, TRUE, 0, 12, {3, 0x38, 0x1C}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {3, 0x39, 0}, TRUE, 0, 12, {3, 0x39, 0xFF}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {2, 0x38, 0}, FALSE, ERROR_INVALID_PARAMETER, 0x55, {2, 0x38, 0}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kEepromOid, {3, 0x38}, FALSE, ERROR_INSUFFICIENT_BUFFER, 0x55, {3, 0x38}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, 0x0D710107, {0}, FALSE, ERROR_NOT_SUPPORTED, 0x55, {0}},
        {0x00170006, kRegionOid, {0}, FALSE, ERROR_INVALID_FUNCTION, 0x55, {0}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kFailingOid, {0}, FALSE, ERROR_GEN_FAILURE, 0x55, {0}},
        {IOCTL_NDIS_QUERY_GLOBAL_STATS, kShortOid, {0xAAAAAAAA}, TRUE, 0, 1, {0xAAAAAA01}},
    };
    for (const Row &row : rows) {
        char oidText[16];
        std::snprintf(oidText, sizeof oidText, "0x%08X", static_cast<unsigned>(row.oid));
        Case const label(std::string("identifier ") + oidText + ", " + std::to_string(row.out.size() * 4) +
                         "-byte output");
        HANDLE device = OpenFile(kDeviceFile);
        std::vector<std::uint32_t> out = row.out;
        DWORD oid = row.oid;
        DWORD returned = 0x55;
        BOOL const result = DeviceIoControl(device, row.code, &oid, 4, out.data(), static_cast<DWORD>(out.size() * 4),
                                            &returned, nullptr);
        CHECK_EQ(result != FALSE, row.result != FALSE);
        if (result == FALSE) {
            CHECK_EQ(GetLastError(), static_cast<DWORD>(row.error));
        }
        CHECK_EQ(returned, row.returned);
        CHECK_EQ(out == row.after, true);
        CloseHandle(device);
    }
    HANDLE device = OpenFile(kDeviceFile);
    CloseHandle(device);
    DWORD oid = kRegionOid;
    DWORD word = 0;
    DWORD returned = 0;
    CHECK(!DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- version, memory, time ----

CONTRACT_TEST(GetVersionExAAcceptsOnlyTheTwoRecordSizes) {
    for (DWORD size : {148U, 156U, 150U, 0U, 276U}) {
        Case const label("size " + std::to_string(size));
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = size;
        BOOL const result = GetVersionExA(&info);
        bool const accepted = size == 148 || size == 156;
        CHECK_EQ(result != FALSE, accepted);
        CHECK_EQ(info.dwMajorVersion, accepted ? 6U : 0U);
        CHECK_EQ(info.dwMinorVersion, accepted ? 2U : 0U);
        CHECK_EQ(info.dwBuildNumber, accepted ? 9200U : 0U);
        CHECK_EQ(info.dwPlatformId, accepted ? 2U : 0U);
        CHECK_EQ(std::string(info.szCSDVersion), std::string());
        CHECK_EQ(info.wProductType, size == 156 ? VER_NT_WORKSTATION : 0); // the short record stops before it
        if (!accepted) {
            CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        }
    }
    CHECK_EQ(GetSystemMetrics(SM_SERVERR2), 0);

    if (contract::WindowsBehaviourChecked("product types of 6.1",
                                          "Wine 8 reports win7 as a server (3) and win2008r2 as a workstation (1) "
                                          "(tests/wine/README.md)")) {
        contract::SetWindowsVersion(6, 1, 7601, VER_NT_WORKSTATION, 0);
        OSVERSIONINFOEXA info{};
        info.dwOSVersionInfoSize = sizeof info;
        CHECK(GetVersionExA(&info));
        CHECK_EQ(info.dwMinorVersion, 1U);
        CHECK_EQ(info.wProductType, VER_NT_WORKSTATION);
    }
    if (contract::WindowsBehaviourChecked("SM_SERVERR2", "Wine 8's GetSystemMetrics(SM_SERVERR2) is always 0 "
                                                         "(tests/wine/README.md)")) {
        contract::SetWindowsVersion(5, 2, 3790, VER_NT_SERVER, 1);
        CHECK(GetSystemMetrics(SM_SERVERR2) != 0);
        contract::SetWindowsVersion(6, 2, 9200, VER_NT_WORKSTATION, 0);
    }
}

CONTRACT_TEST(LocalAllocZeroesOnRequest) {
    auto *zeroed = static_cast<unsigned char *>(LocalAlloc(LMEM_ZEROINIT, 8));
    auto *fixed = static_cast<unsigned char *>(LocalAlloc(LMEM_FIXED, 8));
    CHECK(zeroed != nullptr && fixed != nullptr);
    if (zeroed != nullptr) {
        CHECK_EQ(Bytes(zeroed, zeroed + 8), Bytes(8, 0));
    }
    CHECK_EQ(LocalFree(zeroed), static_cast<HLOCAL>(nullptr));
    CHECK_EQ(LocalFree(fixed), static_cast<HLOCAL>(nullptr));
    CHECK_EQ(LocalFree(nullptr), static_cast<HLOCAL>(nullptr));
    CHECK_EQ(LocalAlloc(LMEM_FIXED, 0x80000000U), static_cast<HLOCAL>(nullptr));
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

CONTRACT_TEST(SleepPausesAtLeastAsLongAsAsked) {
    std::uint64_t const start = contract::ElapsedMs();
    Sleep(200);
    std::uint64_t const first = contract::ElapsedMs();
    Sleep(200);
    std::uint64_t const second = contract::ElapsedMs();
    CHECK(first - start >= 200);
    CHECK(second - start >= 400);
}

} // namespace
