// collection.h - a collection folder: what the deployment kit gathered on a
// Windows machine where the tool decided nothing, read to replay the run.
//
// The folder holds trace.txt (the tool's standard output as written on
// Windows), facts.txt (Name=Value lines: the version, which matching devices
// are present) and regedit exports (*.reg). Any fault is reported as
// "folder/file: field: what was expected", like a scenario's.

#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "machine/machine.h"

namespace sim {

constexpr std::uintmax_t kCollectionFileLimit = 16U << 20U; // bytes, each file

struct Collection {
    std::string folder;
    std::string trace;                 // trace.txt with CR LF turned into LF
    std::vector<std::string> regFiles; // the *.reg names, in byte order: the import order
    VersionInfo version;               // what the tool's GetVersionExA sees
    std::string recordedVersion;       // facts' Version as written ("10.0.19045")
    bool versionCapped = false;        // a Windows newer than 8 reports 6.2 build 9200
    bool productTypeAssumed = false;   // ProductType was empty
    bool presenceAssumed = false;      // Presence=assumed: every device counts as present
    // Every device instance of the collected registry (Enum\<enumerator>\<device>\<instance>) and
    // whether it is present.
    std::vector<std::pair<std::string, bool>> devices;
};

// Takes a folder. Returns true with *collection filled when the folder holds
// a readable collection; false with *error naming the file and field.
bool ReadCollection(const std::string &folder, Collection *collection, std::string *error);

} // namespace sim
