// The simulated machine beyond what the host-contract suite (tests/contract)
// checks on both hosts: what changes with virtual time (presence, driver
// loads, answers), registry changes made behind an open handle, arguments on
// which Wine crashes (the simulated host refuses them), faults, the call log,
// heap accounting and the end of a simulated process.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract/device_sets.h"
#include "machine/machine.h"

namespace {

using namespace host;
using contract::Members;
using contract::NetDevices;

constexpr char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";
constexpr char kNetGuid[] = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kDevice[] = "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}";
constexpr DWORD kRegionOid = 0xFF0C0003;

class SimHost : public ::testing::Test {
  protected:
    SimHost() : scope_(machine_) {}

    // Adds a device instance of a class under Enum.
    void AddDevice(const std::string &instance, const std::string &classGuid) {
        std::string const key = std::string(kEnumRoot) + "\\" + instance;
        machine_.registry.SetString(key, "ClassGUID", classGuid);
    }

    void AddDriver(std::vector<sim::Interval> loaded = {}) {
        sim::Driver driver;
        driver.deviceName = kDevice;
        driver.loaded = std::move(loaded);
        sim::QueryAnswer region;
        region.word = 0x0100;
        driver.answers[kRegionOid].push_back(region);
        machine_.drivers.push_back(driver);
    }

    static HANDLE OpenDevice() { return contract::OpenFile((std::string("\\\\.\\") + kDevice).c_str()); }

    sim::Machine machine_;
    sim::MachineScope scope_;
};

// ---- registry, device sets, device files ----

// Wine 8 crashes on these; the simulated host refuses them with the error
// Windows documents.
TEST_F(SimHost, ArgumentsWineCrashesOnAreRefused) {
    machine_.registry.SetString("SOFTWARE\\Probe", "v", "x");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Probe", 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "bad", 0, REG_SZ, nullptr, 2), ERROR_NOACCESS);
    RegCloseKey(key);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(reinterpret_cast<HDEVINFO>(0x5555), 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HDEVINFO set = NetDevices();
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(machine_.OpenKeyCount() + machine_.OpenDeviceSetCount(), 0U);
}

TEST_F(SimHost, ADeviceSetIsASnapshotOfPresenceAtItsCreation) {
    for (const char *instance : {"PCI\\VEN_1\\A", "USB\\VID_1\\C"}) {
        AddDevice(instance, kNetGuid);
        machine_.registry.SetString(std::string(kEnumRoot) + "\\" + instance, "FriendlyName", instance);
    }
    machine_.presence["USB\\VID_1\\C"] = {sim::Interval{1000, 2000}};
    HDEVINFO early = NetDevices();
    machine_.nowMs = 1500;
    HDEVINFO later = NetDevices();
    machine_.nowMs = 2000;
    EXPECT_EQ(Members(early), (std::vector<std::string>{"PCI\\VEN_1\\A"}));
    EXPECT_EQ(Members(later), (std::vector<std::string>{"PCI\\VEN_1\\A", "USB\\VID_1\\C"}));
    EXPECT_EQ(machine_.OpenDeviceSetCount(), 2U);
    SetupDiDestroyDeviceInfoList(early);
    SetupDiDestroyDeviceInfoList(later);
    EXPECT_EQ(machine_.OpenDeviceSetCount(), 0U);
}

TEST_F(SimHost, DeviceFilesAndAnswersFollowTheClock) {
    AddDriver({sim::Interval{100, 500}});
    auto &region = machine_.drivers[0].answers[kRegionOid];
    sim::QueryAnswer failing;
    failing.atMs = 300;
    failing.kind = sim::QueryAnswer::Kind::Fail;
    failing.error = ERROR_GEN_FAILURE;
    region.push_back(failing);
    struct Case {
        std::uint64_t atMs;
        bool opens;
        BOOL answered;
    } const cases[] = {
        {99, false, FALSE}, {100, true, TRUE}, {299, true, TRUE}, {300, true, FALSE}, {500, false, FALSE}};
    for (const Case &c : cases) {
        machine_.nowMs = c.atMs;
        HANDLE device = OpenDevice();
        EXPECT_EQ(device != INVALID_HANDLE_VALUE, c.opens) << c.atMs;
        if (device == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << c.atMs;
            continue;
        }
        DWORD oid = kRegionOid;
        std::uint32_t word = 7;
        DWORD returned = 0;
        EXPECT_EQ(DeviceIoControl(device, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr),
                  c.answered)
            << c.atMs;
        ASSERT_FALSE(machine_.requests.empty());
        EXPECT_EQ(machine_.requests.back().atMs, c.atMs);
        EXPECT_EQ(machine_.requests.back().prefilled, std::vector<std::uint32_t>{7});
        EXPECT_EQ(machine_.requests.back().answered, c.answered != FALSE);
        CloseHandle(device);
    }
    EXPECT_EQ(machine_.requests.size(), 3U);
    EXPECT_EQ(machine_.OpenHandleCount(), 0U);
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
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)) << at;
    }
    HANDLE fresh = OpenDevice();
    EXPECT_TRUE(DeviceIoControl(fresh, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_TRUE(CloseHandle(fresh));
    EXPECT_FALSE(DeviceIoControl(fresh, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, &word, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- memory, version, process ----

TEST_F(SimHost, HeapBlocksAreCountedAndAFreedBlockIsNoLongerOne) {
    auto *fixed = static_cast<unsigned char *>(LocalAlloc(LMEM_FIXED, 8));
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(std::vector<unsigned char>(fixed, fixed + 8), std::vector<unsigned char>(8, 0xBA));
    EXPECT_EQ(machine_.LiveBlockCount(), 1U);
    EXPECT_EQ(LocalFree(fixed), nullptr);
    EXPECT_EQ(LocalFree(fixed), fixed); // freed twice
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(machine_.LiveBlockCount(), 0U);
    machine_.version.getVersionFails = true;
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 0U);
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

TEST_F(SimHost, CallLogRecordsEachCallsFields) {
    machine_.registry.SetString("SYSTEM\\Env", "ARCH", "AMD64");
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
    EXPECT_EQ(open.operation, "RegOpenKeyExA");
    EXPECT_EQ(open.path, "system\\env");
    EXPECT_EQ(open.access, static_cast<DWORD>(KEY_READ));
    EXPECT_EQ(open.status, ERROR_SUCCESS);
    EXPECT_EQ(query.path, "SYSTEM\\Env"); // the key as it was opened
    EXPECT_EQ(query.name, "ARCH");
    EXPECT_EQ(query.size, 128U);
    EXPECT_EQ(query.returned, 6U);
    EXPECT_EQ(machine_.CountCalls("RegCloseKey"), 1U);
}

} // namespace
