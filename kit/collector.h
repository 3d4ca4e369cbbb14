// collector.h - a collection: what the program sees of this machine, read
// through the calls it makes, for edcca-sim --replay. Files are handed to a
// sink, which the shell writes into the collection folder and a test keeps.
//
// Files: facts.txt (the version GetVersionExA gives under the program's
// manifest, the architecture, the ANSI code page, the network-class devices
// present or not with hardware IDs and driver key names, the driver keys'
// writability and security descriptors in SDDL, the rollback records), and
// REGEDIT4 exports, in the ANSI code page as the A calls give them:
// class.reg (the network class), enum.reg (the Enum key of every
// network-class device), environment.reg, and on the older layout
// class-net.reg and services-class-net.reg. An export past kMostExportBytes
// is left out and collection.txt says so.

#pragma once

#include <cstddef>

namespace kit {

constexpr std::size_t kMostExportBytes = 4U << 20U;

struct CollectionSink {
    void *context;
    // Each returns 1, or 0 when the file could not be written (the collector
    // then notes it and goes on with the next file).
    int (*begin)(void *context, const char *fileName);
    int (*append)(void *context, const char *bytes, std::size_t length);
    int (*end)(void *context, bool keep); // keep false: the file is left out, remove it
};

// Takes the sink, the text of collection.txt's first line (kit, time,
// computer, outcome, exit code) and the program's trace as it wrote it (to
// trace.txt byte for byte). Writes the collection. Returns 1, or 0 when a
// file could not be written.
int CollectMachine(const CollectionSink &sink, const char *summary, const char *trace, std::size_t traceLength);

} // namespace kit
