// Windows version code and the x64 probe, on the simulated host.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/version.h"
#include "machine/machine.h"
#include "support/tool_machine.h"

namespace {

constexpr char kOpenFail[] = "IsX64Platform() : Open Registry Key Fail!";
constexpr char kReadFail[] = "IsX64Platform() : Get Platform Type Fail!";

using support::kEnvironmentKey;
using support::SetArchitecture;

struct Probe {
    bool x64;
    std::string output;
};

Probe RunProbe(sim::Machine &machine) {
    sim::MachineScope scope(machine);
    bool const x64 = IsX64Platform();
    return {x64, machine.standardOutput};
}

struct Classified {
    std::int32_t result;
    std::int32_t code;
};

Classified Classify(sim::Machine &machine) {
    sim::MachineScope scope(machine);
    std::int32_t code = -12345;
    std::int32_t const result = GetOSVersionCode(&code);
    return {result, code};
}

// The operations of the call log, in order, but for the trace's writes.
std::vector<std::string> Operations(const sim::Machine &machine) {
    std::vector<std::string> names;
    for (const sim::CallRecord &call : machine.calls) {
        if (call.operation != sim::Operation::WriteStandardOutput) {
            names.emplace_back(sim::OperationName(call.operation));
        }
    }
    return names;
}

// ---------------------------------------------------------------------------
// IsX64Platform

// Only exactly "AMD64" is x64, and nothing is traced. A key that cannot be
// opened, or a value that cannot be read, is traced without a line feed at
// every call and taken for x86. Either way no key stays open, and the
// version code (the machine's Windows 8) takes the column.
enum class Spoiled { No, KeyMissing, OpenDenied, ValueAbsent, ReadError };

struct ArchitectureCase {
    const char *name;
    std::string raw = std::string("AMD64\0", 6); // the value's bytes exactly as stored
    host::DWORD type = host::REG_SZ;
    bool x64 = false;
    Spoiled spoiled = Spoiled::No;
    const char *trace = "";
};

class ArchitectureValue : public ::testing::TestWithParam<ArchitectureCase> {};

TEST_P(ArchitectureValue, OnlyExactlyAmd64IsX64) {
    const ArchitectureCase &c = GetParam();
    sim::Machine machine;
    SetArchitecture(machine, c.raw, c.type);
    switch (c.spoiled) {
    case Spoiled::No:
        break;
    case Spoiled::KeyMissing:
        machine.registry.DeleteKeyTree(kEnvironmentKey);
        break;
    case Spoiled::OpenDenied:
        machine.faults.push_back({sim::Operation::RegOpenKeyExA, kEnvironmentKey, 0, host::ERROR_ACCESS_DENIED});
        break;
    case Spoiled::ValueAbsent:
        machine.registry.FindKey(kEnvironmentKey)->DeleteValue("PROCESSOR_ARCHITECTURE");
        break;
    case Spoiled::ReadError:
        machine.faults.push_back(
            {sim::Operation::RegQueryValueExA, "PROCESSOR_ARCHITECTURE", 0, host::ERROR_GEN_FAILURE});
        break;
    }
    Probe const probe = RunProbe(machine);
    for (const sim::Fault &fault : machine.faults) {
        EXPECT_EQ(support::CountFailedCalls(machine, fault), 1u);
    }
    EXPECT_EQ(probe.x64, c.x64);
    EXPECT_EQ(probe.output, c.trace);
    std::vector<std::string> expected = {"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey"};
    if (c.spoiled == Spoiled::KeyMissing || c.spoiled == Spoiled::OpenDenied) {
        expected.resize(1);
    }
    EXPECT_EQ(Operations(machine), expected);
    EXPECT_EQ(support::CountKeyOpens(machine, kEnvironmentKey, host::KEY_READ), 1u);
    EXPECT_EQ(machine.OpenKeyCount(), 0u);
    Classified const got = Classify(machine);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.code, c.x64 ? 54 : 51);
    EXPECT_EQ(machine.standardOutput, std::string(c.trace) + c.trace);
    EXPECT_EQ(machine.OpenKeyCount(), 0u);
}

// clang-format off
const ArchitectureCase kArchitectures[] = {
    {.name = "Amd64WithNul", .x64 = true},
    {.name = "Amd64AsBinary", .type = host::REG_BINARY, .x64 = true},
    {.name = "Amd64Filling128Bytes", .raw = std::string("AMD64") + std::string(123, '\0'), .x64 = true},
    {.name = "LowerCase", .raw = std::string("amd64\0", 6)},
    {.name = "Prefix", .raw = std::string("AMD6\0", 5)},
    {.name = "NoBytes", .raw = ""},
    // 128 bytes and no NUL: the text ends at the buffer, never beyond it.
    {.name = "Full128BytesWithoutNul", .raw = std::string("AMD64") + std::string(123, 'x')},
    {.name = "KeyMissing", .spoiled = Spoiled::KeyMissing, .trace = kOpenFail},
    {.name = "OpenDenied", .spoiled = Spoiled::OpenDenied, .trace = kOpenFail},
    {.name = "ValueAbsent", .spoiled = Spoiled::ValueAbsent, .trace = kReadFail},
    {.name = "Value129Bytes", .raw = std::string("AMD64") + std::string(124, '\0'), .trace = kReadFail},
    {.name = "ReadError", .spoiled = Spoiled::ReadError, .trace = kReadFail},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Values, ArchitectureValue, ::testing::ValuesIn(kArchitectures), support::RowName);

// ---------------------------------------------------------------------------
// GetOSVersionCode

struct VersionCase {
    const char *name;
    host::DWORD major;
    host::DWORD minor;
    host::DWORD build = 0;
    host::DWORD platform = 2;
    host::BYTE product = host::VER_NT_WORKSTATION;
    int serverR2 = 0;
    bool x64 = false;
    bool fails = false; // GetVersionExA fails
    std::int32_t code;  // 0: the result is ZOWL_ERROR_UNKNOWN, else 1
};

constexpr host::BYTE kWork = host::VER_NT_WORKSTATION;
constexpr host::BYTE kDc = host::VER_NT_DOMAIN_CONTROLLER;
constexpr host::BYTE kServer = host::VER_NT_SERVER;

class VersionRecord : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionRecord, ClassifiesToItsCode) {
    const VersionCase &c = GetParam();
    sim::Machine machine;
    SetArchitecture(machine, c.x64 ? std::string("AMD64\0", 6) : std::string("x86\0", 4));
    machine.version.major = c.major;
    machine.version.minor = c.minor;
    machine.version.build = c.build;
    machine.version.platformId = c.platform;
    machine.version.productType = c.product;
    machine.version.serverR2 = c.serverR2;
    machine.version.getVersionFails = c.fails;
    Classified const got = Classify(machine);
    EXPECT_EQ(got.code, c.code);
    EXPECT_EQ(got.result, c.code == 0 ? ZOWL_ERROR_UNKNOWN : 1);
    // The probe runs first, on every call, even when the version is below 4;
    // the release-2 metric is asked for only from 5.2 on, within version 5.
    std::vector<std::string> expected = {"RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey", "GetVersionExA"};
    if (!c.fails && c.major == 5 && c.minor >= 2) {
        expected.push_back("GetSystemMetrics");
    }
    EXPECT_EQ(Operations(machine), expected);
    EXPECT_EQ(machine.standardOutput, "");
}

// Every one of the 24 codes, then the boundaries between rows.
// clang-format off
const VersionCase kAllCodes[] = {
    {.name = "Major3", .major = 3, .minor = 51, .build = 1057, .code = 0},
    {.name = "Win95", .major = 4, .minor = 0, .build = 950, .platform = 1, .code = 1},
    {.name = "Win98", .major = 4, .minor = 10, .build = 1998, .platform = 1, .code = 2},
    {.name = "Win98SE", .major = 4, .minor = 10, .build = 2222, .platform = 1, .code = 3},
    {.name = "WinMe", .major = 4, .minor = 90, .build = 3000, .platform = 1, .code = 4},
    {.name = "NT4", .major = 4, .minor = 0, .build = 1381, .code = 5},
    {.name = "Win2000Pro", .major = 5, .minor = 0, .build = 2195, .code = 11},
    {.name = "Win2000Server", .major = 5, .minor = 0, .build = 2195, .product = kServer, .code = 16},
    {.name = "WinXP", .major = 5, .minor = 1, .build = 2600, .code = 21},
    {.name = "XPx64", .major = 5, .minor = 2, .build = 3790, .x64 = true, .code = 24},
    {.name = "Server2003", .major = 5, .minor = 2, .build = 3790, .product = kServer, .code = 26},
    {.name = "Server2003x64", .major = 5, .minor = 2, .build = 3790, .product = kServer, .x64 = true, .code = 27},
    {.name = "Server2003R2", .major = 5, .minor = 2, .build = 3790, .product = kServer, .serverR2 = 1, .code = 28},
    {.name = "Server2003R2x64", .major = 5, .minor = 2, .build = 3790, .product = kServer, .serverR2 = 1, .x64 = true, .code = 29},
    {.name = "Vista", .major = 6, .minor = 0, .build = 6000, .code = 31},
    {.name = "Vistax64", .major = 6, .minor = 0, .build = 6000, .x64 = true, .code = 34},
    {.name = "Server2008", .major = 6, .minor = 0, .build = 6001, .product = kServer, .code = 36},
    {.name = "Server2008x64", .major = 6, .minor = 0, .build = 6001, .product = kServer, .x64 = true, .code = 37},
    {.name = "Win7", .major = 6, .minor = 1, .build = 7601, .code = 41},
    {.name = "Win7x64", .major = 6, .minor = 1, .build = 7601, .x64 = true, .code = 44},
    {.name = "Server2008R2", .major = 6, .minor = 1, .build = 7601, .product = kServer, .code = 48},
    {.name = "Server2008R2x64", .major = 6, .minor = 1, .build = 7601, .product = kServer, .x64 = true, .code = 49},
    {.name = "Win8", .major = 6, .minor = 2, .build = 9200, .code = 51},
    {.name = "Win8x64", .major = 6, .minor = 2, .build = 9200, .x64 = true, .code = 54},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(AllCodes, VersionRecord, ::testing::ValuesIn(kAllCodes), support::RowName);

// clang-format off
const VersionCase kBoundaries[] = {
    // Major version 4: minor and build bounds, platform, all unsigned.
    {.name = "Minor9Platform2", .major = 4, .minor = 9, .code = 5},
    {.name = "Build1999", .major = 4, .minor = 10, .build = 1999, .platform = 1, .code = 2},
    {.name = "Build2000", .major = 4, .minor = 10, .build = 2000, .platform = 1, .code = 3},
    {.name = "BuildAllOnes", .major = 4, .minor = 10, .build = 0xFFFFFFFFu, .platform = 1, .code = 3},
    {.name = "Minor89", .major = 4, .minor = 89, .build = 1000, .platform = 1, .code = 2},
    {.name = "Minor90", .major = 4, .minor = 90, .platform = 1, .code = 4},
    // Major version 5.
    {.name = "Win2000ProductAbove127", .major = 5, .minor = 0, .build = 2195, .product = 0x80, .code = 16},
    {.name = "XPIgnoresX64", .major = 5, .minor = 1, .build = 2600, .x64 = true, .code = 21},
    {.name = "Version52WorkstationX86", .major = 5, .minor = 2, .build = 3790, .code = 26},
    {.name = "Version52DcX64", .major = 5, .minor = 2, .build = 3790, .product = kDc, .x64 = true, .code = 27},
    {.name = "R2WorkstationX86", .major = 5, .minor = 2, .build = 3790, .serverR2 = 1, .code = 28},
    {.name = "Version53", .major = 5, .minor = 3, .x64 = true, .code = 24},
    {.name = "MinorAllOnes5", .major = 5, .minor = 0xFFFFFFFFu, .product = kServer, .serverR2 = 1, .code = 28},
    // Major version 6 and later.
    {.name = "Win7ProductAllOnes", .major = 6, .minor = 1, .build = 7601, .product = 0xFF, .code = 48},
    {.name = "Win81", .major = 6, .minor = 3, .build = 9600, .code = 51},
    {.name = "Win10Workstation", .major = 10, .minor = 0, .build = 19045, .code = 31},
    // Below major version 4, or no version at all.
    {.name = "Major0", .major = 0, .minor = 0, .platform = 0, .x64 = true, .code = 0},
    {.name = "VersionQueryFails", .major = 6, .minor = 1, .x64 = true, .fails = true, .code = 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Boundaries, VersionRecord, ::testing::ValuesIn(kBoundaries), support::RowName);

TEST(GetOSVersionCode, NothingIsCachedBetweenCalls) {
    sim::Machine machine;
    SetArchitecture(machine, std::string("AMD64\0", 6));
    machine.version.major = 6;
    machine.version.minor = 1;
    machine.version.productType = kWork;
    sim::MachineScope scope(machine);
    std::int32_t first = 0;
    GetOSVersionCode(&first);
    SetArchitecture(machine, std::string("x86\0", 4));
    std::int32_t second = 0;
    GetOSVersionCode(&second);
    machine.version.minor = 2;
    std::int32_t third = 0;
    GetOSVersionCode(&third);
    EXPECT_EQ(first, 44);
    EXPECT_EQ(second, 41);
    EXPECT_EQ(third, 51);
    EXPECT_EQ(machine.CountCalls(sim::Operation::RegOpenKeyExA), 3u);
    EXPECT_EQ(machine.CountCalls(sim::Operation::GetVersionExA), 3u);
}

} // namespace
