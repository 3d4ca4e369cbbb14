// fuzz_scenario.cpp - the scenario loader on any bytes.
//
// A scenario either loads whole, with an error left empty, or fails with a
// message that names the file. A loaded one must build a machine.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/scenario.h"
#include "machine/machine.h"

namespace {

// The one .reg file a fuzzed scenario may name; every other name is missing.
bool ReadFuzzFile(const std::string &path, std::string *bytes) {
    if (path != "machine.reg") {
        return false;
    }
    *bytes = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fuzz]\r\n\"Value\"=\"text\"\r\n";
    return true;
}

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string const text(reinterpret_cast<const char *>(data), size);
    sim::Scenario scenario;
    std::string error;
    if (!sim::LoadScenarioText(text, "fuzz.json", ReadFuzzFile, &scenario, &error)) {
        if (error.rfind("fuzz.json", 0) != 0) {
            Fail("a rejected scenario's message does not name its file", error);
        }
        return 0;
    }
    if (!error.empty()) {
        Fail("a loaded scenario reported an error", error);
    }
    sim::Machine machine;
    sim::BuildMachine(scenario, machine);
    return 0;
}
