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

// The positions of the named operations in the call log, in order.
std::vector<std::string> Operations(const sim::Machine &machine) {
    std::vector<std::string> names;
    for (const sim::CallRecord &call : machine.calls) {
        names.push_back(call.operation);
    }
    return names;
}

// ---------------------------------------------------------------------------
// IsX64Platform

struct ArchitectureCase {
    const char *name;
    std::string raw; // the value's bytes exactly as stored
    host::DWORD type;
    bool x64;
};

class ArchitectureValue : public ::testing::TestWithParam<ArchitectureCase> {};

TEST_P(ArchitectureValue, OnlyExactlyAmd64IsX64AndNothingIsTraced) {
    const ArchitectureCase &c = GetParam();
    sim::Machine machine;
    SetArchitecture(machine, c.raw, c.type);
    Probe const probe = RunProbe(machine);
    EXPECT_EQ(probe.x64, c.x64);
    EXPECT_EQ(probe.output, "");
    EXPECT_EQ(machine.OpenKeyCount(), 0u);
    ASSERT_EQ(machine.CountCalls("RegOpenKeyExA"), 1u);
    EXPECT_EQ(support::CountKeyOpens(machine, support::kEnvironmentKey, host::KEY_READ), 1u);
    EXPECT_EQ(machine.CountCalls("RegQueryValueExA"), 1u);
    EXPECT_EQ(machine.CountCalls("RegCloseKey"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ArchitectureValue,
    ::testing::Values(
        ArchitectureCase{"Amd64WithNul", std::string("AMD64\0", 6), host::REG_SZ, true},
        ArchitectureCase{"Amd64WithoutNul", "AMD64", host::REG_SZ, true},
        ArchitectureCase{"Amd64ThenNulThenBytes", std::string("AMD64\0x86\0", 10), host::REG_SZ, true},
        ArchitectureCase{"Amd64AsBinary", std::string("AMD64\0", 6), host::REG_BINARY, true},
        ArchitectureCase{"Amd64Filling128Bytes", std::string("AMD64") + std::string(123, '\0'), host::REG_SZ, true},
        ArchitectureCase{"LowerCase", std::string("amd64\0", 6), host::REG_SZ, false},
        ArchitectureCase{"TrailingBlank", std::string("AMD64 \0", 7), host::REG_SZ, false},
        ArchitectureCase{"LeadingBlank", std::string(" AMD64\0", 7), host::REG_SZ, false},
        ArchitectureCase{"Prefix", std::string("AMD6\0", 5), host::REG_SZ, false},
        ArchitectureCase{"Longer", std::string("AMD645\0", 7), host::REG_SZ, false},
        ArchitectureCase{"X86", std::string("x86\0", 4), host::REG_SZ, false},
        ArchitectureCase{"Ia64", std::string("IA64\0", 5), host::REG_SZ, false},
        ArchitectureCase{"Arm64", std::string("ARM64\0", 6), host::REG_SZ, false},
        ArchitectureCase{"Empty", std::string("\0", 1), host::REG_SZ, false},
        ArchitectureCase{"NoBytes", "", host::REG_SZ, false},
        // 128 bytes and no NUL: the text ends at the buffer, never beyond it.
        ArchitectureCase{"Full128BytesWithoutNul", std::string("AMD64") + std::string(123, 'x'), host::REG_SZ, false}),
    [](const ::testing::TestParamInfo<ArchitectureCase> &row) { return std::string(row.param.name); });

TEST(IsX64Platform, KeyThatCannotBeOpenedTracesAndGivesFalse) {
    sim::Machine machine;
    machine.registry.DeleteKeyTree(kEnvironmentKey);
    Probe const probe = RunProbe(machine);
    EXPECT_FALSE(probe.x64);
    EXPECT_EQ(probe.output, kOpenFail);
    EXPECT_EQ(machine.CountCalls("RegQueryValueExA"), 0u);
    EXPECT_EQ(machine.CountCalls("RegCloseKey"), 0u);
    EXPECT_EQ(machine.OpenKeyCount(), 0u);
}

TEST(IsX64Platform, DeniedOpenTracesAndGivesFalse) {
    sim::Machine machine;
    SetArchitecture(machine, std::string("AMD64\0", 6));
    machine.faults.push_back({"RegOpenKeyExA", kEnvironmentKey, 0, host::ERROR_ACCESS_DENIED});
    Probe const probe = RunProbe(machine);
    EXPECT_FALSE(probe.x64);
    EXPECT_EQ(probe.output, kOpenFail);
    EXPECT_EQ(machine.OpenKeyCount(), 0u);
}

TEST(IsX64Platform, ValueThatCannotBeReadTracesClosesTheKeyAndGivesFalse) {
    struct Case {
        const char *name;
        bool present;
        std::string raw;
        bool injectFault;
    };
    const Case cases[] = {
        {"absent", false, "", false},
        {"129 bytes", true, std::string("AMD64") + std::string(124, '\0'), false},
        {"read error", true, std::string("AMD64\0", 6), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::Machine machine;
        machine.registry.CreateKey(kEnvironmentKey);
        machine.registry.FindKey(kEnvironmentKey)->DeleteValue("PROCESSOR_ARCHITECTURE");
        if (c.present) {
            SetArchitecture(machine, c.raw);
        }
        if (c.injectFault) {
            machine.faults.push_back({"RegQueryValueExA", "PROCESSOR_ARCHITECTURE", 0, host::ERROR_GEN_FAILURE});
        }
        Probe const probe = RunProbe(machine);
        EXPECT_FALSE(probe.x64);
        EXPECT_EQ(probe.output, kReadFail);
        EXPECT_EQ(machine.CountCalls("RegCloseKey"), 1u);
        EXPECT_EQ(machine.OpenKeyCount(), 0u);
    }
}

TEST(IsX64Platform, FailureTracesHaveNoLineFeedAndRecurAtEachCall) {
    sim::Machine machine;
    machine.registry.DeleteKeyTree(kEnvironmentKey);
    sim::MachineScope scope(machine);
    IsX64Platform();
    IsX64Platform();
    EXPECT_EQ(machine.standardOutput, std::string(kOpenFail) + kOpenFail);
}

// ---------------------------------------------------------------------------
// GetOSVersionCode

struct VersionCase {
    const char *name;
    host::DWORD major;
    host::DWORD minor;
    host::DWORD build;
    host::DWORD platform;
    host::BYTE product;
    int serverR2;
    bool x64;
    std::int32_t code;
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
    Classified const got = Classify(machine);
    EXPECT_EQ(got.code, c.code);
    EXPECT_EQ(got.result, c.major < 4 ? ZOWL_ERROR_UNKNOWN : 1);
    // The release-2 metric is asked for only from 5.2 on, within version 5.
    bool const asksMetric = c.major == 5 && c.minor >= 2;
    EXPECT_EQ(machine.CountCalls("GetSystemMetrics"), asksMetric ? 1u : 0u);
    // The probe runs first, on every call, even when the version is below 4.
    std::vector<std::string> const ops = Operations(machine);
    ASSERT_GE(ops.size(), 4u);
    EXPECT_EQ(ops[0], "RegOpenKeyExA");
    EXPECT_EQ(ops[1], "RegQueryValueExA");
    EXPECT_EQ(ops[2], "RegCloseKey");
    EXPECT_EQ(ops[3], "GetVersionExA");
    EXPECT_EQ(machine.CountCalls("GetVersionExA"), 1u);
    EXPECT_EQ(machine.standardOutput, "");
}

// Every one of the 24 codes, then the boundaries between rows.
// clang-format off
const VersionCase kAllCodes[] = {
    {.name = "Major3", .major = 3, .minor = 51, .build = 1057, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 0},
    {.name = "Win95", .major = 4, .minor = 0, .build = 950, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 1},
    {.name = "Win98", .major = 4, .minor = 10, .build = 1998, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 2},
    {.name = "Win98SE", .major = 4, .minor = 10, .build = 2222, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 3},
    {.name = "WinMe", .major = 4, .minor = 90, .build = 3000, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 4},
    {.name = "NT4", .major = 4, .minor = 0, .build = 1381, .platform = 2, .product = kWork, .serverR2 = 0, .x64 = false,
     .code = 5},
    {.name = "Win2000Pro", .major = 5, .minor = 0, .build = 2195, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 11},
    {.name = "Win2000Server", .major = 5, .minor = 0, .build = 2195, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = false, .code = 16},
    {.name = "WinXP", .major = 5, .minor = 1, .build = 2600, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 21},
    {.name = "XPx64", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = true, .code = 24},
    {.name = "Server2003", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = false, .code = 26},
    {.name = "Server2003x64", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = true, .code = 27},
    {.name = "Server2003R2", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kServer, .serverR2 = 1,
     .x64 = false, .code = 28},
    {.name = "Server2003R2x64", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kServer, .serverR2 = 1,
     .x64 = true, .code = 29},
    {.name = "Vista", .major = 6, .minor = 0, .build = 6000, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 31},
    {.name = "Vistax64", .major = 6, .minor = 0, .build = 6000, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = true, .code = 34},
    {.name = "Server2008", .major = 6, .minor = 0, .build = 6001, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = false, .code = 36},
    {.name = "Server2008x64", .major = 6, .minor = 0, .build = 6001, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = true, .code = 37},
    {.name = "Win7", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 41},
    {.name = "Win7x64", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = true, .code = 44},
    {.name = "Server2008R2", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = false, .code = 48},
    {.name = "Server2008R2x64", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = true, .code = 49},
    {.name = "Win8", .major = 6, .minor = 2, .build = 9200, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 51},
    {.name = "Win8x64", .major = 6, .minor = 2, .build = 9200, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = true, .code = 54},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(AllCodes, VersionRecord, ::testing::ValuesIn(kAllCodes),
                         [](const ::testing::TestParamInfo<VersionCase> &row) { return std::string(row.param.name); });

// clang-format off
const VersionCase kBoundaries[] = {
    // Major version 4: minor and build bounds, platform, all unsigned.
    {.name = "Minor9Platform0", .major = 4, .minor = 9, .build = 0, .platform = 0, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 1},
    {.name = "Minor9Platform1", .major = 4, .minor = 9, .build = 0, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 1},
    {.name = "Minor9Platform2", .major = 4, .minor = 9, .build = 0, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 5},
    {.name = "PlatformAllOnes", .major = 4, .minor = 0, .build = 0, .platform = 0xFFFFFFFFu, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 5},
    {.name = "Build1999", .major = 4, .minor = 10, .build = 1999, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 2},
    {.name = "Build2000", .major = 4, .minor = 10, .build = 2000, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 3},
    {.name = "BuildUpperBitsSet", .major = 4, .minor = 10, .build = 0x00010000u, .platform = 1, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 3},
    {.name = "BuildUpperBitsLowPartSmall", .major = 4, .minor = 10, .build = 0x040A0001u, .platform = 1,
     .product = kWork, .serverR2 = 0, .x64 = false, .code = 3},
    {.name = "BuildAllOnes", .major = 4, .minor = 10, .build = 0xFFFFFFFFu, .platform = 1, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 3},
    {.name = "Minor89", .major = 4, .minor = 89, .build = 1000, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 2},
    {.name = "Minor90", .major = 4, .minor = 90, .build = 0, .platform = 1, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 4},
    {.name = "MinorAllOnes4", .major = 4, .minor = 0xFFFFFFFFu, .build = 0, .platform = 1, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 4},
    // Major version 5.
    {.name = "Win2000DomainController", .major = 5, .minor = 0, .build = 2195, .platform = 2, .product = kDc,
     .serverR2 = 0, .x64 = false, .code = 11},
    {.name = "Win2000ProductAbove127", .major = 5, .minor = 0, .build = 2195, .platform = 2, .product = 0x80,
     .serverR2 = 0, .x64 = false, .code = 16},
    {.name = "XPIgnoresX64", .major = 5, .minor = 1, .build = 2600, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = true, .code = 21},
    {.name = "Version52WorkstationX86", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 26},
    {.name = "Version52DcX86", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kDc, .serverR2 = 0,
     .x64 = false, .code = 26},
    {.name = "Version52DcX64", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kDc, .serverR2 = 0,
     .x64 = true, .code = 27},
    {.name = "Version52ProductZeroX64", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = 0,
     .serverR2 = 0, .x64 = true, .code = 27},
    {.name = "R2WorkstationX86", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kWork, .serverR2 = 1,
     .x64 = false, .code = 28},
    {.name = "R2WorkstationX64", .major = 5, .minor = 2, .build = 3790, .platform = 2, .product = kWork, .serverR2 = 7,
     .x64 = true, .code = 29},
    {.name = "Version53", .major = 5, .minor = 3, .build = 0, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = true, .code = 24},
    {.name = "MinorAllOnes5", .major = 5, .minor = 0xFFFFFFFFu, .build = 0, .platform = 2, .product = kServer,
     .serverR2 = 1, .x64 = false, .code = 28},
    // Major version 6 and later.
    {.name = "Win7DomainController", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = kDc,
     .serverR2 = 0, .x64 = false, .code = 41},
    {.name = "Win7DomainControllerX64", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = kDc,
     .serverR2 = 0, .x64 = true, .code = 44},
    {.name = "VistaDomainController", .major = 6, .minor = 0, .build = 6000, .platform = 2, .product = kDc,
     .serverR2 = 0, .x64 = false, .code = 31},
    {.name = "Win7ProductAllOnes", .major = 6, .minor = 1, .build = 7601, .platform = 2, .product = 0xFF, .serverR2 = 0,
     .x64 = false, .code = 48},
    {.name = "Win81", .major = 6, .minor = 3, .build = 9600, .platform = 2, .product = kWork, .serverR2 = 0,
     .x64 = false, .code = 51},
    {.name = "Win81x64", .major = 6, .minor = 3, .build = 9600, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = true, .code = 54},
    {.name = "Win10Workstation", .major = 10, .minor = 0, .build = 19045, .platform = 2, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 31},
    {.name = "Win10Workstationx64", .major = 10, .minor = 0, .build = 19045, .platform = 2, .product = kWork,
     .serverR2 = 0, .x64 = true, .code = 34},
    {.name = "Win10Server", .major = 10, .minor = 0, .build = 17763, .platform = 2, .product = kServer, .serverR2 = 0,
     .x64 = false, .code = 36},
    {.name = "Win10Serverx64", .major = 10, .minor = 0, .build = 17763, .platform = 2, .product = kServer,
     .serverR2 = 0, .x64 = true, .code = 37},
    {.name = "MajorAllOnes", .major = 0xFFFFFFFFu, .minor = 0, .build = 0, .platform = 2, .product = kWork,
     .serverR2 = 0, .x64 = false, .code = 31},
    {.name = "Win8IgnoresR2", .major = 6, .minor = 2, .build = 9200, .platform = 2, .product = kServer, .serverR2 = 1,
     .x64 = false, .code = 51},
    // Below major version 4.
    {.name = "Major0", .major = 0, .minor = 0, .build = 0, .platform = 0, .product = kWork, .serverR2 = 0, .x64 = true,
     .code = 0},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Boundaries, VersionRecord, ::testing::ValuesIn(kBoundaries),
                         [](const ::testing::TestParamInfo<VersionCase> &row) { return std::string(row.param.name); });

TEST(GetOSVersionCode, FailingVersionQueryGivesUnknownAndCodeZero) {
    sim::Machine machine;
    SetArchitecture(machine, std::string("AMD64\0", 6));
    machine.version.major = 6;
    machine.version.minor = 1;
    machine.version.getVersionFails = true;
    Classified const got = Classify(machine);
    EXPECT_EQ(got.result, ZOWL_ERROR_UNKNOWN);
    EXPECT_EQ(got.code, 0);
    EXPECT_EQ(machine.CountCalls("RegOpenKeyExA"), 1u);
    EXPECT_EQ(machine.CountCalls("GetSystemMetrics"), 0u);
}

// A probe that cannot open the key, or cannot read the value, takes the x86
// column, traces without a line feed and leaves no key open.
struct ProbeFailureCase {
    const char *name;
    bool keyMissing; // else the key is there without the value
    host::DWORD major, minor;
    std::int32_t code;
    const char *trace;
};

class ProbeFailure : public ::testing::TestWithParam<ProbeFailureCase> {};

TEST_P(ProbeFailure, TakesTheX86Column) {
    const ProbeFailureCase &c = GetParam();
    sim::Machine machine;
    if (c.keyMissing) {
        machine.registry.DeleteKeyTree(kEnvironmentKey);
    } else {
        machine.registry.CreateKey(kEnvironmentKey)->DeleteValue("PROCESSOR_ARCHITECTURE");
    }
    machine.version.major = c.major;
    machine.version.minor = c.minor;
    machine.version.productType = kWork;
    Classified const got = Classify(machine);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.code, c.code);
    EXPECT_EQ(machine.standardOutput, c.trace);
    EXPECT_EQ(machine.OpenKeyCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Probes, ProbeFailure,
    ::testing::Values(
        ProbeFailureCase{
            .name = "OpenFails", .keyMissing = true, .major = 6, .minor = 1, .code = 41, .trace = kOpenFail},
        ProbeFailureCase{
            .name = "ReadFails", .keyMissing = false, .major = 5, .minor = 2, .code = 26, .trace = kReadFail}),
    [](const ::testing::TestParamInfo<ProbeFailureCase> &row) { return std::string(row.param.name); });

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
    EXPECT_EQ(machine.CountCalls("RegOpenKeyExA"), 3u);
    EXPECT_EQ(machine.CountCalls("GetVersionExA"), 3u);
}

} // namespace
