// device_sets.h - the network-class device set and its members' friendly
// names, and a device file opened as the tool opens it; for the contract
// suite and the simulated host's own tests.

#pragma once

#include <string>
#include <vector>

#include "machine/host_extra.h"

namespace contract {

inline host::HDEVINFO NetDevices() {
    host::GUID guid{0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    return host::SetupDiGetClassDevsA(&guid, nullptr, nullptr, host::DIGCF_PRESENT);
}

// The friendly names of a set's members, in enumeration order.
inline std::vector<std::string> Members(host::HDEVINFO set) {
    std::vector<std::string> members;
    host::SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    for (host::DWORD i = 0; host::SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        host::BYTE buffer[64] = {};
        host::DWORD required = 0;
        host::SetupDiGetDeviceRegistryPropertyA(set, &data, host::SPDRP_FRIENDLYNAME, nullptr, buffer, sizeof buffer,
                                                &required);
        members.emplace_back(reinterpret_cast<char *>(buffer));
    }
    return members;
}

inline host::HANDLE OpenFile(const char *path) {
    return host::CreateFileA(path, 0, host::FILE_SHARE_READ, nullptr, host::OPEN_EXISTING, 0,
                             host::INVALID_HANDLE_VALUE);
}

} // namespace contract
