// The simulated machine beyond what the host-contract suite (tests/contract)
// and the example scenarios check: arguments on which Wine crashes (the
// simulated host refuses them), device sets made at a time, a driver that
// unloads under an open file, the accounting behind "left open", the faults
// of operations no example fails, the call log, the end of a process, and
// the kit's calls (kit/host/kit_host.h) as Windows answers them.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "contract/device_sets.h"
#include "machine/machine.h"
#include "machine/text.h"

namespace {

using namespace host;

constexpr char kDevice[] = "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}";

class SimHost : public ::testing::Test {
  protected:
    SimHost() : scope_(machine_) {
        sim::Driver driver;
        driver.deviceName = kDevice;
        driver.answers[0xFF0C0003].push_back(sim::QueryAnswer{});
        machine_.drivers.push_back(driver);
        machine_.registry.SetString("SYSTEM\\Env", "ARCH", "AMD64");
        for (const char *instance : {"PCI\\VEN_1\\A", "USB\\VID_1\\C"}) {
            std::string const key = std::string("SYSTEM\\CurrentControlSet\\Enum\\") + instance;
            machine_.registry.SetString(key, "ClassGUID", "{4D36E972-E325-11CE-BFC1-08002BE10318}");
            machine_.registry.SetString(key, "FriendlyName", instance);
        }
    }

    // A region query on an open device file; true when answered.
    static bool Query(HANDLE device) {
        DWORD oid = 0xFF0C0003;
        DWORD word = 0;
        DWORD returned = 0;
        return DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr) != FALSE;
    }

    static HANDLE OpenDevice() { return contract::OpenFile((std::string("\\\\.\\") + kDevice).c_str()); }

    sim::Machine machine_;
    sim::MachineScope scope_;
};

// Wine 8 crashes on these; the simulated host refuses them with the error
// Windows documents.
TEST_F(SimHost, ArgumentsWineCrashesOnAreRefused) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Env", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "bad", 0, REG_SZ, nullptr, 2), ERROR_NOACCESS);
    RegCloseKey(key);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(reinterpret_cast<HDEVINFO>(0x5555), 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HDEVINFO set = contract::NetDevices();
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SimHost, ADeviceSetHoldsTheDevicesPresentWhenItWasMade) {
    machine_.presence["USB\\VID_1\\C"] = {sim::Interval{1000, 2000}};
    HDEVINFO early = contract::NetDevices();
    machine_.nowMs = 1500;
    HDEVINFO later = contract::NetDevices();
    machine_.nowMs = 2000;
    EXPECT_EQ(contract::Members(early), (std::vector<std::string>{"PCI\\VEN_1\\A"}));
    EXPECT_EQ(contract::Members(later), (std::vector<std::string>{"PCI\\VEN_1\\A", "USB\\VID_1\\C"}));
    SetupDiDestroyDeviceInfoList(early);
    SetupDiDestroyDeviceInfoList(later);
}

TEST_F(SimHost, AFileOpenedWhileLoadedFailsOnceTheLoadEnds) {
    machine_.drivers[0].loaded = {sim::Interval{0, 1000}, sim::Interval{2000, sim::kForever}};
    HANDLE device = OpenDevice();
    EXPECT_TRUE(Query(device));
    for (std::uint64_t at : {1000U, 2500U}) { // unloaded, then reloaded: the old file stays dead
        machine_.nowMs = at;
        EXPECT_FALSE(Query(device));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << at;
    }
    HANDLE fresh = OpenDevice();
    EXPECT_TRUE(Query(fresh));
    CloseHandle(device);
    CloseHandle(fresh);
}

// What the examples' "leaves nothing open" rests on: each kind of object is
// counted while open and no longer once closed; a block freed twice is not
// freed again.
TEST_F(SimHost, OpenObjectsAreCountedUntilClosed) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Env", 0, KEY_READ, &key), ERROR_SUCCESS);
    HDEVINFO set = contract::NetDevices();
    HANDLE device = OpenDevice();
    auto *block = static_cast<unsigned char *>(LocalAlloc(LMEM_FIXED, 8));
    ASSERT_NE(block, nullptr);
    // Not zeroed: a tool that forgot LMEM_ZEROINIT would read garbage.
    EXPECT_EQ(std::vector<unsigned char>(block, block + 8), std::vector<unsigned char>(8, 0xBA));
    EXPECT_EQ(machine_.OpenObjects().size(), 4U);
    EXPECT_EQ((std::vector<size_t>{machine_.OpenKeyCount(), machine_.OpenDeviceSetCount(), machine_.OpenHandleCount(),
                                   machine_.LiveBlockCount()}),
              (std::vector<size_t>{1, 1, 1, 1}));
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
    CloseHandle(device);
    EXPECT_EQ(LocalFree(block), nullptr);
    EXPECT_EQ(LocalFree(block), block);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(machine_.OpenObjects().empty());
}

TEST_F(SimHost, ExitProcessEndsTheRunWithItsCode) {
    bool ranAfterExit = false;
    sim::ProcessOutcome const outcome = sim::RunProcess(machine_, [&] {
        WriteStandardOutput("before\n", 7);
        ExitProcess(3);
        ranAfterExit = true;
    });
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.exitCode, 3U);
    EXPECT_FALSE(ranAfterExit);
    EXPECT_EQ(machine_.standardOutput, "before\n");
    // An entry routine that returns is told apart (the judge's "Returned").
    EXPECT_FALSE(sim::RunProcess(machine_, [] {}).exited);
}

// Faults of operations that no example or scenario fails; selection by
// subject and call number is shared and shown by the examples.
TEST_F(SimHost, FaultsFailTheirOperationAsDocumented) {
    machine_.faults.push_back({sim::Operation::CreateFileA, "", 0, ERROR_ACCESS_DENIED});
    machine_.faults.push_back({sim::Operation::LocalAlloc, "", 0, ERROR_NOT_ENOUGH_MEMORY});
    machine_.faults.push_back({sim::Operation::WriteStandardOutput, "", 1, ERROR_INVALID_HANDLE});
    machine_.version.getVersionFails = true;
    EXPECT_EQ(OpenDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LocalAlloc(LMEM_ZEROINIT, 16), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    WriteStandardOutput("lost", 4);
    WriteStandardOutput("kept", 4);
    EXPECT_EQ(machine_.standardOutput, "kept");
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 0U);
}

TEST_F(SimHost, CallLogRecordsEachCallsFields) {
    machine_.nowMs = 600;
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\env", 0, KEY_READ, &key), ERROR_SUCCESS);
    BYTE buffer[128];
    DWORD size = sizeof buffer;
    RegQueryValueExA(key, "ARCH", nullptr, nullptr, buffer, &size);
    RegCloseKey(key);
    ASSERT_EQ(machine_.calls.size(), 3U);
    const sim::CallRecord &open = machine_.calls[0], &query = machine_.calls[1];
    EXPECT_EQ(open.atMs, 600U);
    EXPECT_EQ(open.operation, sim::Operation::RegOpenKeyExA);
    EXPECT_EQ(open.keyPath, "system\\env");
    EXPECT_EQ(open.access, static_cast<DWORD>(KEY_READ));
    EXPECT_EQ(open.status, ERROR_SUCCESS);
    EXPECT_EQ(query.keyPath, "SYSTEM\\Env"); // the key as it was opened
    EXPECT_EQ(query.valueName, "ARCH");
    EXPECT_EQ(query.bufferSize, 128U);
    EXPECT_EQ(query.returned, 6U);
    EXPECT_EQ(machine_.CountCalls(sim::Operation::RegCloseKey), 1U);
}

// The kit's calls, each row a short sequence and what it comes to: the
// status (by name) and what the call left behind.
TEST_F(SimHost, TheKitsCallsAnswerAsWindowsDoes) {
    machine_.registry.SetString("SYSTEM\\Kit\\Parent\\Child", "Name", "value");
    machine_.registry.SetString("SYSTEM\\Kit\\Leaf", "Long", "0123456789");
    machine_.registry.SetString("SYSTEM\\Kit\\Denied", "x", "1");
    machine_.faults.push_back({sim::Operation::RegOpenKeyExA, "SYSTEM\\Kit\\Denied", 0, ERROR_ACCESS_DENIED,
                               static_cast<DWORD>(KEY_ALL_ACCESS)});
    auto open = [](const char *path, DWORD access) {
        HKEY key = nullptr;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key);
        return key;
    };
    auto named = [](LSTATUS status) { return sim::ErrorName(status); };
    auto exists = [this](const char *path) { return machine_.registry.FindKey(path) != nullptr ? " kept" : " gone"; };
    auto security = [&](const char *path, DWORD parts) {
        HKEY key = open(path, KEY_READ);
        BYTE descriptor[256];
        DWORD size = 4; // too small first: the size needed comes back
        LSTATUS const small = RegGetKeySecurity(key, parts, descriptor, &size);
        std::string result = named(small) + (size > 4 ? " sized " : " unsized ");
        size = sizeof descriptor;
        char *text = nullptr;
        if (RegGetKeySecurity(key, parts, descriptor, &size) == ERROR_SUCCESS &&
            ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
            result += text;
            LocalFree(text);
        }
        RegCloseKey(key);
        return result;
    };
    struct Row {
        const char *what;
        std::function<std::string()> call;
        std::string result;
    } const rows[] = {
        {"a key with a subkey is not deleted",
         [&] {
             return named(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Kit\\Parent")) + exists("SYSTEM\\Kit\\Parent");
         },
         "ERROR_ACCESS_DENIED kept"},
        {"a leaf key is deleted, below an open key",
         [&] {
             HKEY kit = open("SYSTEM\\Kit\\Parent", KEY_READ);
             LSTATUS const status = RegDeleteKeyA(kit, "child");
             RegCloseKey(kit);
             return named(status) + exists("SYSTEM\\Kit\\Parent\\Child");
         },
         "ERROR_SUCCESS gone"},
        {"a missing key", [&] { return named(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Kit\\None")); },
         "ERROR_FILE_NOT_FOUND"},
        {"a key is created with its parents, then opened",
         [&] {
             std::string result;
             for (int i = 0; i < 2; ++i) {
                 HKEY key = nullptr;
                 DWORD disposition = 0;
                 LSTATUS const status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Kit\\New\\Deep", 0, nullptr, 0,
                                                        KEY_WRITE, nullptr, &key, &disposition);
                 result += named(status) + " " + std::to_string(disposition) + " ";
                 RegCloseKey(key);
             }
             return result + exists("SYSTEM\\Kit\\New\\Deep");
         },
         "ERROR_SUCCESS 1 ERROR_SUCCESS 2  kept"},
        {"a leading backslash",
         [&] {
             HKEY key = nullptr;
             return named(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\SYSTEM\\Kit", 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                          nullptr));
         },
         "ERROR_BAD_PATHNAME"},
        {"a subkey name one byte too long for the buffer, then past the last",
         [&] {
             HKEY kit = open("SYSTEM\\Kit", KEY_READ);
             char name[8];
             DWORD size = 4; // "Leaf" and no room for its NUL
             std::string result = named(RegEnumKeyExA(kit, 1, name, &size, nullptr, nullptr, nullptr, nullptr));
             result += " " + std::to_string(size) + " ";
             size = sizeof name;
             result += named(RegEnumKeyExA(kit, 1, name, &size, nullptr, nullptr, nullptr, nullptr)) + " " + name;
             size = sizeof name;
             result += " " + named(RegEnumKeyExA(kit, 9, name, &size, nullptr, nullptr, nullptr, nullptr));
             RegCloseKey(kit);
             return result;
         },
         "ERROR_MORE_DATA 4 ERROR_SUCCESS Leaf ERROR_NO_MORE_ITEMS"},
        {"enumerating subkeys without the right",
         [&] {
             HKEY kit = open("SYSTEM\\Kit", KEY_QUERY_VALUE);
             char name[8];
             DWORD size = sizeof name;
             LSTATUS const status = RegEnumKeyExA(kit, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
             RegCloseKey(kit);
             return named(status);
         },
         "ERROR_ACCESS_DENIED"},
        {"value data too large, its size asked, then read, then past the last",
         [&] {
             HKEY leaf = open("SYSTEM\\Kit\\Leaf", KEY_READ);
             char name[8];
             DWORD nameSize = sizeof name;
             BYTE data[16];
             DWORD size = 4;
             std::string result = named(RegEnumValueA(leaf, 0, name, &nameSize, nullptr, nullptr, data, &size));
             result += " " + std::to_string(size);
             nameSize = sizeof name;
             size = 0;
             result += " " + named(RegEnumValueA(leaf, 0, name, &nameSize, nullptr, nullptr, nullptr, &size));
             result += " " + std::to_string(size);
             nameSize = sizeof name;
             size = sizeof data;
             DWORD type = 0;
             result += " " + named(RegEnumValueA(leaf, 0, name, &nameSize, nullptr, &type, data, &size));
             result += " " + std::string(name) + " " + std::to_string(nameSize) + " " + sim::TypeName(type);
             nameSize = sizeof name;
             result += " " + named(RegEnumValueA(leaf, 1, name, &nameSize, nullptr, nullptr, nullptr, nullptr));
             RegCloseKey(leaf);
             return result;
         },
         "ERROR_MORE_DATA 11 ERROR_SUCCESS 11 ERROR_SUCCESS Long 4 REG_SZ ERROR_NO_MORE_ITEMS"},
        {"a value name too long for the buffer",
         [&] {
             HKEY leaf = open("SYSTEM\\Kit\\Leaf", KEY_READ);
             char name[4];
             DWORD nameSize = sizeof name;
             LSTATUS const status = RegEnumValueA(leaf, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
             RegCloseKey(leaf);
             return named(status);
         },
         "ERROR_MORE_DATA"},
        {"deleting a value: without the right, missing, present",
         [&] {
             HKEY leaf = open("SYSTEM\\Kit\\Leaf", KEY_READ);
             std::string result = named(RegDeleteValueA(leaf, "Long"));
             RegCloseKey(leaf);
             leaf = open("SYSTEM\\Kit\\Leaf", KEY_SET_VALUE);
             result += " " + named(RegDeleteValueA(leaf, "None"));
             result += " " + named(RegDeleteValueA(leaf, "long"));
             RegCloseKey(leaf);
             return result + (machine_.registry.FindValue("SYSTEM\\Kit\\Leaf", "Long") ? " kept" : " gone");
         },
         "ERROR_ACCESS_DENIED ERROR_FILE_NOT_FOUND ERROR_SUCCESS gone"},
        {"a handle to a deleted key",
         [&] {
             HKEY deep = open("SYSTEM\\Kit\\New\\Deep", KEY_READ);
             RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\Kit\\New\\Deep");
             char name[8];
             DWORD size = sizeof name;
             LSTATUS const status = RegEnumKeyExA(deep, 0, name, &size, nullptr, nullptr, nullptr, nullptr);
             RegCloseKey(deep);
             return named(status);
         },
         "ERROR_KEY_DELETED"},
        {"a key's security: Windows' driver-key default",
         [&] { return security("SYSTEM\\Kit\\Leaf", OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION); },
         "ERROR_INSUFFICIENT_BUFFER sized O:SYD:(A;CI;KR;;;BU)(A;CI;KA;;;BA)(A;CI;KA;;;SY)"},
        {"a key every write-open of which is refused: reading only",
         [&] {
             return security("SYSTEM\\Kit\\Denied",
                             OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
         },
         "ERROR_INSUFFICIENT_BUFFER sized O:SYG:SYD:(A;CI;KR;;;BU)(A;CI;KR;;;BA)(A;CI;KR;;;SY)"},
        {"a key's security without READ_CONTROL",
         [&] {
             HKEY leaf = open("SYSTEM\\Kit\\Leaf", KEY_QUERY_VALUE);
             BYTE descriptor[256];
             DWORD size = sizeof descriptor;
             LSTATUS const status = RegGetKeySecurity(leaf, DACL_SECURITY_INFORMATION, descriptor, &size);
             RegCloseKey(leaf);
             return named(status);
         },
         "ERROR_ACCESS_DENIED"},
        {"an instance ID: too small a buffer, then upper-cased",
         [&] {
             HDEVINFO set = contract::NetDevices();
             SP_DEVINFO_DATA member{};
             member.cbSize = sizeof member;
             SetupDiEnumDeviceInfo(set, 1, &member);
             char id[32];
             DWORD required = 0;
             BOOL const small = SetupDiGetDeviceInstanceIdA(set, &member, id, 4, &required);
             std::string result = std::to_string(small) + " " + sim::ErrorName(static_cast<LONG>(GetLastError())) +
                                  " " + std::to_string(required);
             SetupDiGetDeviceInstanceIdA(set, &member, id, sizeof id, nullptr);
             SetupDiDestroyDeviceInfoList(set);
             return result + " " + id;
         },
         "0 ERROR_INSUFFICIENT_BUFFER 12 USB\\VID_1\\C"},
        {"the code page", [&] { return std::to_string(GetACP()); }, "1252"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(row.call(), row.result) << row.what;
    }
    EXPECT_TRUE(machine_.OpenObjects().empty());
}

} // namespace
