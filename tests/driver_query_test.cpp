// The driver query channel: requests sent through MacFileName's device file
// and the decoding of the two answers.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/driver_query.h"
#include "support/tool_machine.h"

namespace {

using support::kGuidA;

// The query identifiers as the driver knows them, written out here rather
// than taken from the code under test.
constexpr host::DWORD kEepromOlder = 0x0D710105;
constexpr host::DWORD kRegionOlder = 0x0D710107;
constexpr host::DWORD kEepromNewer = 0xFF0C0008;
constexpr host::DWORD kRegionNewer = 0xFF0C0003;

constexpr char kNoMacFile[] = "[VT][ZoWLAPI] QueryOID Get Mac file failed!";
constexpr char kNoDevice[] = "[VT][ZoWLAPI] QueryOID create Mac file failed!";
constexpr char kQueryFailed[] = "[VT][ZoWLAPI] QueryOID Failed!\n";

std::string RegionLine(unsigned region, unsigned companion) {
    char line[128];
    std::snprintf(line, sizeof line, " GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n", region, companion);
    return line;
}

std::string EepromLine(unsigned value) {
    char line[64];
    std::snprintf(line, sizeof line, " Offset 0x38 = 0x%x \n", value);
    return line;
}

class DriverQuery : public ::testing::Test {
  protected:
    void SetUp() override {
        support::SetWindows7x64(machine);
        support::SetToolStrings(support::DeviceFile(kGuidA), "");
    }
    void TearDown() override { support::ResetToolState(); }

    // The request log must show the device file opened and closed around
    // every request.
    void ExpectEveryHandleClosed() {
        EXPECT_EQ(machine.CountCalls(sim::Operation::CloseHandle), machine.CountCalls(sim::Operation::CreateFileA));
        EXPECT_EQ(machine.OpenHandleCount(), 0u);
        EXPECT_EQ(machine.OpenKeyCount(), 0u);
    }

    // Makes the main cycle's two requests in turn on the machine.
    struct Answers {
        std::uint8_t eeprom;
        std::int32_t region;
    };
    Answers QueryBoth() {
        sim::MachineScope scope(machine);
        std::uint8_t const eeprom = QueryEepromByte();
        return Answers{eeprom, GetSupportCountryRegion()};
    }

    sim::Machine machine;
};

// ---------------------------------------------------------------------------
// Decoding of the country-region word

struct MaskCase {
    std::uint32_t word;
    unsigned region;
    unsigned companion;
};

class RegionWord : public DriverQuery, public ::testing::WithParamInterface<MaskCase> {};

TEST_P(RegionWord, RegionIsBits8To14AndCompanionBits0To6) {
    const MaskCase &c = GetParam();
    machine.drivers.push_back(support::MakeDriver(kGuidA, c.word));
    EXPECT_EQ(QueryBoth().region, static_cast<std::int32_t>(c.region));
    EXPECT_EQ(machine.standardOutput, EepromLine(0x5A) + RegionLine(c.region, c.companion));
    ExpectEveryHandleClosed();
}

INSTANTIATE_TEST_SUITE_P(Masks, RegionWord,
                         ::testing::Values(MaskCase{0x00000001u, 0, 1}, // bit 0 only
                                           MaskCase{0x00000080u, 0, 0}, // bit 7 ignored
                                           MaskCase{0x00000180u, 1, 0}, // bit 7 beside region 1
                                           MaskCase{0x00007F7Fu, 0x7F, 0x7F}, MaskCase{0x0000FFFFu, 0x7F, 0x7F},
                                           MaskCase{0xFFFF0000u, 0, 0}, // above bit 15 ignored
                                           MaskCase{0xFFFF8180u, 1, 0}, // everything ignored but region 1
                                           MaskCase{0x00010100u, 1, 0}, // bit 16 does not carry into region
                                           MaskCase{0x00000000u, 0, 0}));

// ---------------------------------------------------------------------------
// Identifiers by version code and the requests sent

struct ThresholdCase {
    const char *name;
    host::DWORD major;
    host::DWORD minor;
    host::BYTE product = host::VER_NT_WORKSTATION;
    int serverR2 = 0;
    bool x64 = false;
    host::DWORD eepromOid;
    host::DWORD regionOid;
};

class QueryIdentifiers : public DriverQuery, public ::testing::WithParamInterface<ThresholdCase> {};

TEST_P(QueryIdentifiers, ChosenByTheVersionCodeOfEachRequest) {
    const ThresholdCase &c = GetParam();
    support::SetArchitecture(machine, support::Sz(c.x64 ? "AMD64" : "x86"));
    machine.version.major = c.major;
    machine.version.minor = c.minor;
    machine.version.productType = c.product;
    machine.version.serverR2 = c.serverR2;
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x0100, 0xA7));
    auto const [eeprom, region] = QueryBoth();
    EXPECT_EQ(eeprom, 0xA7);
    EXPECT_EQ(region, 1);
    EXPECT_EQ(machine.standardOutput, EepromLine(0xA7) + RegionLine(1, 0));
    ASSERT_EQ(machine.requests.size(), 2u);
    const sim::DriverRequest &first = machine.requests[0];
    EXPECT_EQ(first.deviceName, kGuidA);
    EXPECT_EQ(first.ioControlCode, 0x00170002u);
    EXPECT_EQ(first.oid, c.eepromOid);
    EXPECT_EQ(first.inSize, 4u);
    EXPECT_EQ(first.outSize, 12u);
    EXPECT_EQ(first.prefilled, (std::vector<std::uint32_t>{3, 0x38, 0}));
    const sim::DriverRequest &second = machine.requests[1];
    EXPECT_EQ(second.oid, c.regionOid);
    EXPECT_EQ(second.inSize, 4u);
    EXPECT_EQ(second.outSize, 4u);
    EXPECT_EQ(second.prefilled, (std::vector<std::uint32_t>{0}));
    // The version code is obtained afresh for each request.
    EXPECT_EQ(machine.CountCalls(sim::Operation::GetVersionExA), 2u);
    EXPECT_EQ(support::CountDeviceOpens(machine, support::DeviceFile(kGuidA)), 2u);
    ExpectEveryHandleClosed();
}

// clang-format off
const ThresholdCase kThresholds[] = {
    // Windows Server 2003 R2 x64, the highest code below 31; Vista x86, the lowest from 31 on; no classified
    // version; Windows XP; Windows 8 x64.
    {.name = "Code29", .major = 5, .minor = 2, .product = host::VER_NT_SERVER, .serverR2 = 1, .x64 = true,
     .eepromOid = kEepromOlder, .regionOid = kRegionOlder},
    {.name = "Code31", .major = 6, .minor = 0, .eepromOid = kEepromNewer, .regionOid = kRegionNewer},
    {.name = "Code0", .major = 3, .minor = 51, .eepromOid = kEepromOlder, .regionOid = kRegionOlder},
    {.name = "Code21", .major = 5, .minor = 1, .eepromOid = kEepromOlder, .regionOid = kRegionOlder},
    {.name = "Code54", .major = 6, .minor = 2, .x64 = true, .eepromOid = kEepromNewer, .regionOid = kRegionNewer},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Thresholds, QueryIdentifiers, ::testing::ValuesIn(kThresholds), support::RowName);

TEST(QueryOID, ReportsWhetherTheDriverAnsweredAndTheBytesReturned) {
    sim::Machine machine;
    support::SetWindows7x64(machine);
    machine.drivers.push_back(support::MakeDriver(kGuidA, 0x12345678));
    support::SetToolStrings(support::DeviceFile(kGuidA), "");
    sim::MachineScope scope(machine);
    host::DWORD word = 0;
    host::DWORD returned = 99;
    EXPECT_EQ(QueryOID(kRegionNewer, &word, sizeof word, &returned), 1);
    EXPECT_EQ(word, 0x12345678u);
    EXPECT_EQ(returned, 4u);
    returned = 99;
    EXPECT_EQ(QueryOID(0x01010101u, &word, sizeof word, &returned), 0);
    EXPECT_EQ(returned, 0u);
    ASSERT_EQ(machine.requests.size(), 2u);
    EXPECT_EQ(machine.requests[1].oid, 0x01010101u);
    // No device file to send through: 0, and nothing returned.
    machine.drivers.clear();
    returned = 99;
    EXPECT_EQ(QueryOID(kRegionNewer, &word, sizeof word, &returned), 0);
    support::ResetToolState();
    EXPECT_EQ(QueryOID(kRegionNewer, &word, sizeof word, &returned), 0);
    EXPECT_EQ(returned, 99u);
    EXPECT_EQ(machine.standardOutput, std::string(kQueryFailed) + kNoDevice + kNoMacFile);
    EXPECT_EQ(machine.requests.size(), 2u);
    EXPECT_EQ(machine.OpenHandleCount(), 0u);
}

} // namespace
