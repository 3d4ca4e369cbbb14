// detect_bench.cpp - one detection over 1, 1,000 and 100,000 present
// network-class devices with one match, on the simulated host.
//
// BM_DetectAdapter runs the tool's DetectAdapter. BM_HostCallsOnly makes the
// very same host calls (checked against the tool's call log before timing)
// with no logic around them, so the difference is the tool's own work.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "adapter/adapter_detection.h"
#include "host/host.h"
#include "machine/machine.h"
#include "runner/run_tool.h"

namespace {

constexpr char kNetClass[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr char kIdentifier[] = "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}";

// A 64-bit Windows 10 machine with `devices` present Net devices, the one in
// the middle being the adapter with a running driver.
std::unique_ptr<sim::Machine> MakeMachine(int devices) {
    auto machine = std::make_unique<sim::Machine>();
    sim::Registry &registry = machine->registry;
    registry.SetString(kEnvironment, "PROCESSOR_ARCHITECTURE", "AMD64");
    registry.SetString(kNetClass, "Class", "Net");
    registry.SetString(std::string(kNetClass) + "\\0007", "NetCfgInstanceId", kIdentifier);
    std::string const hardwareIds("PCI\\VEN_8086&DEV_100E&SUBSYS_001E8086\0PCI\\VEN_8086&DEV_100E\0\0", 61);
    std::string const adapterIds("USB\\VID_13B1&PID_003B&REV_0001\0USB\\VID_13B1&PID_003B\0\0", 54);
    for (int i = 0; i < devices; ++i) {
        bool const adapter = i == devices / 2;
        char key[128];
        std::snprintf(key, sizeof key, "SYSTEM\\CurrentControlSet\\Enum\\%s\\%06d",
                      adapter ? "USB\\VID_13B1&PID_003B" : "PCI\\VEN_8086&DEV_100E", i);
        const std::string &ids = adapter ? adapterIds : hardwareIds;
        registry.SetValue(key, "HardwareID", host::REG_MULTI_SZ, {ids.begin(), ids.end()});
        registry.SetString(key, "ClassGUID", "{4d36e972-e325-11ce-bfc1-08002be10318}");
        registry.SetString(key, "DeviceDesc", adapter ? "USB Wireless-N Network Adapter" : "Intel(R) PRO/1000");
        registry.SetString(key, "Mfg", "Vendor");
        char driver[64];
        std::snprintf(driver, sizeof driver, "{4d36e972-e325-11ce-bfc1-08002be10318}\\%04d", adapter ? 7 : 100 + i);
        registry.SetString(key, "Driver", driver);
    }
    sim::Driver driver;
    driver.deviceName = kIdentifier;
    machine->drivers.push_back(driver);
    return machine;
}

// The host calls DetectAdapter makes, without its logic: its trace lines,
// the two heap blocks, the class walk, one hardware-ID read per device, and
// for the one match its further property reads, the version probe and
// instance key twice, and its device file.
int MakeHostCallsOnly(int devices) {
    auto probeVersion = [] {
        host::HKEY key = nullptr;
        host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE,
                            "System\\CurrentControlSet\\Control\\Session Manager\\Environment", 0, host::KEY_READ,
                            &key);
        host::BYTE data[128];
        host::DWORD type = 0;
        host::DWORD size = sizeof data;
        host::RegQueryValueExA(key, "PROCESSOR_ARCHITECTURE", nullptr, &type, data, &size);
        host::RegCloseKey(key);
        host::OSVERSIONINFOEXA info;
        std::memset(&info, 0, sizeof info);
        info.dwOSVersionInfoSize = sizeof info;
        host::GetVersionExA(&info);
    };
    auto readInstanceKey = [](host::DWORD dataSize) {
        host::HKEY key = nullptr;
        host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002bE10318}\\0007",
                            0, host::KEY_READ, &key);
        host::BYTE data[256];
        host::DWORD type = 0;
        host::DWORD size = dataSize;
        host::RegQueryValueExA(key, "NetCfgInstanceId", nullptr, &type, data, &size);
        host::RegCloseKey(key);
    };
    auto write = [](const char *text) { host::WriteStandardOutput(text, std::strlen(text)); };
    write("--> DetectAdapter()\n");
    host::HLOCAL const list = host::LocalAlloc(host::LMEM_ZEROINIT, 4 + 1300);
    write("--> GetAvailableAdapters()\n");
    host::HLOCAL const table = host::LocalAlloc(host::LMEM_ZEROINIT, 4 + 1300);
    host::GUID guids[3];
    host::DWORD required = 0;
    host::SetupDiClassGuidsFromNameA("Net", guids, 3, &required);
    host::HDEVINFO const set = host::SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, host::DIGCF_PRESENT);
    host::SP_DEVINFO_DATA member;
    member.cbSize = sizeof member;
    char buffer[256];
    host::DWORD type = 0;
    int found = 0;
    for (host::DWORD index = 0; host::SetupDiEnumDeviceInfo(set, index, &member); ++index) {
        host::SetupDiGetDeviceRegistryPropertyA(set, &member, host::SPDRP_HARDWAREID, &type,
                                                reinterpret_cast<host::BYTE *>(buffer), sizeof buffer, &required);
        if (static_cast<int>(index) != devices - 1) { // the USB bus enumerates after PCI
            continue;
        }
        for (host::DWORD property : {host::SPDRP_FRIENDLYNAME, host::SPDRP_DEVICEDESC, host::SPDRP_DRIVER,
                                     host::SPDRP_LOCATION_INFORMATION, host::SPDRP_MFG}) {
            host::SetupDiGetDeviceRegistryPropertyA(set, &member, property, &type,
                                                    reinterpret_cast<host::BYTE *>(buffer), sizeof buffer, &required);
        }
        probeVersion();
        readInstanceKey(256);
        probeVersion();
        readInstanceKey(128);
        host::HANDLE const file =
            host::CreateFileA("\\\\.\\{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}", 0, host::FILE_SHARE_READ, nullptr,
                              host::OPEN_EXISTING, 0, host::INVALID_HANDLE_VALUE);
        host::CloseHandle(file);
        ++found;
    }
    host::SetupDiDestroyDeviceInfoList(set);
    host::LocalFree(table);
    write("<-- GetAvailableAdapters() :  Available adapter number = 1\n");
    host::LocalFree(list);
    write("<-- DetectAdapter()\n");
    return found;
}

std::map<std::string, size_t> CountOperations(const sim::Machine &machine) {
    std::map<std::string, size_t> counts;
    for (const sim::CallRecord &call : machine.calls) {
        ++counts[sim::OperationName(call.operation)];
    }
    return counts;
}

// The baseline is only a baseline if it makes the calls the tool makes.
bool SameCallsAsTool(int devices) {
    auto toolMachine = MakeMachine(devices);
    auto loopMachine = MakeMachine(devices);
    {
        sim::MachineScope scope(*toolMachine);
        sim::ResetToolState();
        AdapterRecord record;
        std::memset(&record, 0, sizeof record);
        if (DetectAdapter(&record) != 1) {
            std::fprintf(stderr, "%s", toolMachine->standardOutput.c_str());
            return false;
        }
    }
    {
        sim::MachineScope scope(*loopMachine);
        MakeHostCallsOnly(devices);
    }
    auto const tool = CountOperations(*toolMachine);
    auto const loop = CountOperations(*loopMachine);
    if (tool != loop) {
        for (const auto &[operation, count] : tool) {
            std::fprintf(stderr, "%s: tool %zu, baseline %zu\n", operation.c_str(), count,
                         loop.count(operation) ? loop.at(operation) : size_t{0});
        }
    }
    return tool == loop;
}

void BM_DetectAdapter(benchmark::State &state) {
    int const devices = static_cast<int>(state.range(0));
    auto machine = MakeMachine(devices);
    sim::MachineScope scope(*machine);
    sim::ResetToolState();
    for ([[maybe_unused]] auto _ : state) {
        AdapterRecord record;
        std::memset(&record, 0, sizeof record);
        benchmark::DoNotOptimize(DetectAdapter(&record));
        state.PauseTiming();
        machine->calls.clear();
        machine->standardOutput.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * devices);
}

void BM_HostCallsOnly(benchmark::State &state) {
    int const devices = static_cast<int>(state.range(0));
    if (!SameCallsAsTool(devices)) {
        state.SkipWithError("the baseline's host calls differ from the tool's");
        return;
    }
    auto machine = MakeMachine(devices);
    sim::MachineScope scope(*machine);
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(MakeHostCallsOnly(devices));
        state.PauseTiming();
        machine->calls.clear();
        machine->standardOutput.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * devices);
}

BENCHMARK(BM_DetectAdapter)->Arg(1)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HostCallsOnly)->Arg(1)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    // Google Benchmark's own library, as Debian builds it (without NDEBUG),
    // warns that it "was built as DEBUG"; the code measured is not.
    benchmark::AddCustomContext("edcca build type", EDCCA_BUILD_TYPE);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
