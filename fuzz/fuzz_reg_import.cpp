// fuzz_reg_import.cpp - the .reg importer on any bytes.
//
// Beyond the sanitizers it checks the importer's promises: a failed import
// leaves the registry exactly as it was and gives a usable message.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/reg_file.h"
#include "machine/registry.h"

namespace {

// A registry with something to delete and overwrite.
sim::Registry MakeBaseRegistry() {
    sim::Registry registry;
    registry.SetString("SOFTWARE\\Base", "Name", "value");
    registry.SetValue("SOFTWARE\\Base\\Sub", "Raw", 3, {0x00, 0x01, 0xFF});
    registry.CreateKey("SYSTEM\\CurrentControlSet\\Enum");
    return registry;
}

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "invariant broken: %s\n%s\n", what, detail.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string const bytes(reinterpret_cast<const char *>(data), size);
    sim::Registry registry = MakeBaseRegistry();
    sim::Registry const before = registry.Clone();

    sim::RegImportError error;
    if (!sim::ImportRegBytes(registry, bytes, "fuzz.reg", &error)) {
        if (!sim::DiffRegistries(before, registry).empty()) {
            Fail("a failed import changed the registry", error.ToString());
        }
        if (error.line < 0 || error.message.empty()) {
            Fail("a failed import gave no usable message", error.ToString());
        }
    }
    return 0;
}
