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
INSTANTIATE_TEST_SUITE_P(AllCodes, VersionRecord,
                         ::testing::Values(VersionCase{"Major3", 3, 51, 1057, 2, kWork, 0, false, 0},
                                           VersionCase{"Win95", 4, 0, 950, 1, kWork, 0, false, 1},
                                           VersionCase{"Win98", 4, 10, 1998, 1, kWork, 0, false, 2},
                                           VersionCase{"Win98SE", 4, 10, 2222, 1, kWork, 0, false, 3},
                                           VersionCase{"WinMe", 4, 90, 3000, 1, kWork, 0, false, 4},
                                           VersionCase{"NT4", 4, 0, 1381, 2, kWork, 0, false, 5},
                                           VersionCase{"Win2000Pro", 5, 0, 2195, 2, kWork, 0, false, 11},
                                           VersionCase{"Win2000Server", 5, 0, 2195, 2, kServer, 0, false, 16},
                                           VersionCase{"WinXP", 5, 1, 2600, 2, kWork, 0, false, 21},
                                           VersionCase{"XPx64", 5, 2, 3790, 2, kWork, 0, true, 24},
                                           VersionCase{"Server2003", 5, 2, 3790, 2, kServer, 0, false, 26},
                                           VersionCase{"Server2003x64", 5, 2, 3790, 2, kServer, 0, true, 27},
                                           VersionCase{"Server2003R2", 5, 2, 3790, 2, kServer, 1, false, 28},
                                           VersionCase{"Server2003R2x64", 5, 2, 3790, 2, kServer, 1, true, 29},
                                           VersionCase{"Vista", 6, 0, 6000, 2, kWork, 0, false, 31},
                                           VersionCase{"Vistax64", 6, 0, 6000, 2, kWork, 0, true, 34},
                                           VersionCase{"Server2008", 6, 0, 6001, 2, kServer, 0, false, 36},
                                           VersionCase{"Server2008x64", 6, 0, 6001, 2, kServer, 0, true, 37},
                                           VersionCase{"Win7", 6, 1, 7601, 2, kWork, 0, false, 41},
                                           VersionCase{"Win7x64", 6, 1, 7601, 2, kWork, 0, true, 44},
                                           VersionCase{"Server2008R2", 6, 1, 7601, 2, kServer, 0, false, 48},
                                           VersionCase{"Server2008R2x64", 6, 1, 7601, 2, kServer, 0, true, 49},
                                           VersionCase{"Win8", 6, 2, 9200, 2, kWork, 0, false, 51},
                                           VersionCase{"Win8x64", 6, 2, 9200, 2, kWork, 0, true, 54}),
                         [](const ::testing::TestParamInfo<VersionCase> &row) { return std::string(row.param.name); });

INSTANTIATE_TEST_SUITE_P(Boundaries, VersionRecord,
                         ::testing::Values(
                             // Major version 4: minor and build bounds, platform, all unsigned.
                             VersionCase{"Minor9Platform0", 4, 9, 0, 0, kWork, 0, false, 1},
                             VersionCase{"Minor9Platform1", 4, 9, 0, 1, kWork, 0, false, 1},
                             VersionCase{"Minor9Platform2", 4, 9, 0, 2, kWork, 0, false, 5},
                             VersionCase{"PlatformAllOnes", 4, 0, 0, 0xFFFFFFFFu, kWork, 0, false, 5},
                             VersionCase{"Build1999", 4, 10, 1999, 1, kWork, 0, false, 2},
                             VersionCase{"Build2000", 4, 10, 2000, 1, kWork, 0, false, 3},
                             VersionCase{"BuildUpperBitsSet", 4, 10, 0x00010000u, 1, kWork, 0, false, 3},
                             VersionCase{"BuildUpperBitsLowPartSmall", 4, 10, 0x040A0001u, 1, kWork, 0, false, 3},
                             VersionCase{"BuildAllOnes", 4, 10, 0xFFFFFFFFu, 1, kWork, 0, false, 3},
                             VersionCase{"Minor89", 4, 89, 1000, 1, kWork, 0, false, 2},
                             VersionCase{"Minor90", 4, 90, 0, 1, kWork, 0, false, 4},
                             VersionCase{"MinorAllOnes4", 4, 0xFFFFFFFFu, 0, 1, kWork, 0, false, 4},
                             // Major version 5.
                             VersionCase{"Win2000DomainController", 5, 0, 2195, 2, kDc, 0, false, 11},
                             VersionCase{"Win2000ProductAbove127", 5, 0, 2195, 2, 0x80, 0, false, 16},
                             VersionCase{"XPIgnoresX64", 5, 1, 2600, 2, kWork, 0, true, 21},
                             VersionCase{"Version52WorkstationX86", 5, 2, 3790, 2, kWork, 0, false, 26},
                             VersionCase{"Version52DcX86", 5, 2, 3790, 2, kDc, 0, false, 26},
                             VersionCase{"Version52DcX64", 5, 2, 3790, 2, kDc, 0, true, 27},
                             VersionCase{"Version52ProductZeroX64", 5, 2, 3790, 2, 0, 0, true, 27},
                             VersionCase{"R2WorkstationX86", 5, 2, 3790, 2, kWork, 1, false, 28},
                             VersionCase{"R2WorkstationX64", 5, 2, 3790, 2, kWork, 7, true, 29},
                             VersionCase{"Version53", 5, 3, 0, 2, kWork, 0, true, 24},
                             VersionCase{"MinorAllOnes5", 5, 0xFFFFFFFFu, 0, 2, kServer, 1, false, 28},
                             // Major version 6 and later.
                             VersionCase{"Win7DomainController", 6, 1, 7601, 2, kDc, 0, false, 41},
                             VersionCase{"Win7DomainControllerX64", 6, 1, 7601, 2, kDc, 0, true, 44},
                             VersionCase{"VistaDomainController", 6, 0, 6000, 2, kDc, 0, false, 31},
                             VersionCase{"Win7ProductAllOnes", 6, 1, 7601, 2, 0xFF, 0, false, 48},
                             VersionCase{"Win81", 6, 3, 9600, 2, kWork, 0, false, 51},
                             VersionCase{"Win81x64", 6, 3, 9600, 2, kServer, 0, true, 54},
                             VersionCase{"Win10Workstation", 10, 0, 19045, 2, kWork, 0, false, 31},
                             VersionCase{"Win10Workstationx64", 10, 0, 19045, 2, kWork, 0, true, 34},
                             VersionCase{"Win10Server", 10, 0, 17763, 2, kServer, 0, false, 36},
                             VersionCase{"Win10Serverx64", 10, 0, 17763, 2, kServer, 0, true, 37},
                             VersionCase{"MajorAllOnes", 0xFFFFFFFFu, 0, 0, 2, kWork, 0, false, 31},
                             VersionCase{"Win8IgnoresR2", 6, 2, 9200, 2, kServer, 1, false, 51},
                             // Below major version 4.
                             VersionCase{"Major0", 0, 0, 0, 0, kWork, 0, true, 0}),
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
