// collection.h - a collection folder: what the deployment kit gathered on a
// Windows machine where the tool decided nothing, read to replay the run.
//
// The folder holds trace.txt (the tool's standard output as written on
// Windows), facts.txt (Name=Value lines: the version, which devices are
// present) and regedit exports (*.reg). Two kits wrote them: 1.2.0's command
// file (the version as WMI and ver name it, Present= lines from
// Win32_PnPEntity) and 2.0.0's EdccaKit.exe (kit/collector.cpp: "Collector="
// first, the version as GetVersionExA gave it to a program manifested as the
// tool is, Device=, DriverKey= and Rollback= lines with %XX escapes). Any
// fault is reported as "folder/file: field: what was expected", like a
// scenario's. A collection the program cannot have written whole (a trace
// cut, foreign or of a run no program makes; an export left out or cut) is
// refused the same way: its replay would judge a machine it does not hold.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace sim {

constexpr std::uintmax_t kCollectionFileLimit = 16U << 20U; // bytes, each file

// An adapter's driver key as a 2.0.0 collection found it: opened for writing
// as the tool opens it ("writable", "denied" with the error, "missing").
struct CollectedDriverKey {
    std::string name; // "{4d36e972-...}\0007"
    std::string state;
    host::LONG error = 0;
    std::string sddl; // "" when it could not be read
};

// A device instance of the collected registry and whether it is present.
struct DevicePresence {
    std::string path; // "USB\\VID_13B1&PID_003B\\00E04C3B0001"
    bool present = false;
};

// A 2.0.0 Rollback= line: EDCCAEnable as it was before the program's write.
struct CollectedRollback {
    std::string name;    // the record name ("0007")
    std::string text;    // the record text ("absent", "REG_SZ 0", ...)
    std::string keyPath; // its driver key under HKLM when the collected registry holds it, else ""
};

struct Collection {
    std::string folder;
    std::string trace;                   // trace.txt with CR LF turned into LF
    std::vector<std::string> regFiles;   // the *.reg names, in byte order: the import order
    VersionInfo version;                 // what the tool's GetVersionExA sees
    std::string recordedVersion;         // facts' Version as written ("10.0.19045")
    std::vector<std::string> notes;      // report lines: the version as recorded and seen, and presence
    std::vector<DevicePresence> devices; // every device instance of the collected registry
    // 2.0.0's collector only (collector empty for 1.2.0's).
    std::string collector;                          // "EdccaKit 2.0.0"
    std::vector<CollectedDriverKey> driverKeys;     // DriverKey= lines
    std::vector<CollectedRollback> rollbackRecords; // Rollback= lines
};

// Takes a folder. Returns true with *collection filled when the folder holds
// a readable collection; false with *error naming the file and field.
bool ReadCollection(const std::string &folder, Collection *collection, std::string *error);

} // namespace sim
