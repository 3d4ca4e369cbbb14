// fuzz_reg_import.cpp - the .reg importer on any bytes.
//
// Beyond the sanitizers it checks the importer's promises: a failed import
// leaves the registry exactly as it was and names a line inside the text; a
// successful one exports to text that imports again to the same registry.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "reg_file.h"
#include "registry.h"

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
    std::string const before = sim::ExportRegText(registry);

    sim::RegImportError error;
    if (!sim::ImportRegBytes(registry, bytes, "fuzz.reg", &error)) {
        if (sim::ExportRegText(registry) != before) {
            Fail("a failed import changed the registry", error.ToString());
        }
        if (error.line < 0 || error.message.empty()) {
            Fail("a failed import gave no usable message", error.ToString());
        }
        return 0;
    }

    std::string const exported = sim::ExportRegText(registry);
    sim::Registry reimported;
    sim::RegImportError again;
    if (!sim::ImportRegBytes(reimported, exported, "export.reg", &again)) {
        Fail("exported text does not import", again.ToString() + "\n" + exported);
    }
    if (sim::ExportRegText(reimported) != exported) {
        Fail("export does not round-trip", exported);
    }
    return 0;
}
