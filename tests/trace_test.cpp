// Trace lines: formatted bytes on standard output, cut at the line buffer.

#include <gtest/gtest.h>

#include <string>

#include "common/trace.h"
#include "machine/machine.h"

namespace {

TEST(Trace, WritesTheFormattedBytesAsTheyStand) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    Trace("IsX64Platform() : Open Registry Key Fail!");
    Trace("<-- GetAvailableAdapters() :  Available adapter number = %d\n", -10);
    Trace(" Offset 0x38 = 0x%x \n", 0xABu);
    EXPECT_EQ(machine.standardOutput, "IsX64Platform() : Open Registry Key Fail!"
                                      "<-- GetAvailableAdapters() :  Available adapter number = -10\n"
                                      " Offset 0x38 = 0xab \n");
    EXPECT_EQ(machine.CountCalls(sim::Operation::WriteStandardOutput), 3u);
}

TEST(Trace, NarrowStringWithHsPrintsThePath) {
    sim::Machine machine;
    sim::MachineScope scope(machine);
    const char path[] = "System\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007";
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#endif
    Trace("RegOpenKeyEx '%hs' failed\n", path);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    EXPECT_EQ(machine.standardOutput, std::string("RegOpenKeyEx '") + path + "' failed\n");
}

// An empty line writes nothing at all.
TEST(Trace, LongLineIsCutAtTheBufferLessOne) {
    struct Case {
        size_t length;
        size_t written;
    };
    const Case cases[] = {{0, 0}, {1022, 1022}, {1023, 1023}, {1024, 1023}, {5000, 1023}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        sim::Machine machine;
        sim::MachineScope scope(machine);
        std::string const text(c.length, 'w');
        Trace("%s", text.c_str());
        EXPECT_EQ(machine.standardOutput, std::string(c.written, 'w'));
        EXPECT_EQ(machine.CountCalls(sim::Operation::WriteStandardOutput), c.length == 0 ? 0u : 1u);
    }
}

} // namespace
