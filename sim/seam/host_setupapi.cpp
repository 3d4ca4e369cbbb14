// host_setupapi.cpp - the device-information set functions of the host seam
// (setupapi) on the active simulated machine.
//
// Devices live where Windows keeps them, so one .reg file describes a machine
// for the sim and for Wine: setup classes are the GUID-named keys under
// Control\Class with their "Class" value; device instances are the keys
// Enum\<enumerator>\<device>\<instance>, whose "ClassGUID" value names their
// class and whose values are the registry properties. Presence at the current
// virtual time comes from Machine::presence. BOOL functions set the last error
// to ERROR_SUCCESS when they succeed, as Windows' setupapi does.

#include <cstring>

#include "seam/host_state.h"

namespace sim {
namespace {

constexpr char kClassRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr char kEnumRoot[] = "SYSTEM\\CurrentControlSet\\Enum";

// The flags Windows knows besides DIGCF_PRESENT: the default interface, all
// classes, the current profile, device interfaces. The tool asks for none of
// them, so the simulated machine keeps no such lists.
constexpr host::DWORD kDigcfOtherFlags = 0x01 | 0x04 | 0x08 | 0x10;
constexpr host::DWORD kSpdrpMaximumProperty = 0x25;

// The text of a string value up to its first NUL, or "" when absent or not a string.
std::string ValueText(const RegistryKey &key, std::string_view name) {
    const RegistryValue *value = key.FindValue(name);
    return value == nullptr || !IsStringType(value->type) ? "" : TextOf(value);
}

// Registry value name of a device registry property the tool reads; null for
// the others, which the simulated machine does not keep.
const char *PropertyValueName(host::DWORD property) {
    const struct {
        host::DWORD property;
        const char *valueName;
    } kProperties[] = {{host::SPDRP_DEVICEDESC, "DeviceDesc"},
                       {host::SPDRP_HARDWAREID, "HardwareID"},
                       {host::SPDRP_DRIVER, "Driver"},
                       {host::SPDRP_MFG, "Mfg"},
                       {host::SPDRP_FRIENDLYNAME, "FriendlyName"},
                       {host::SPDRP_LOCATION_INFORMATION, "LocationInformation"}};
    for (const auto &entry : kProperties) {
        if (entry.property == property) {
            return entry.valueName;
        }
    }
    return nullptr;
}

host::DWORD DevInstOf(Machine &machine, const std::string &instancePath) {
    auto &devInsts = machine.Internal().devInsts;
    std::string const key = UpperCase(instancePath);
    auto found = devInsts.find(key);
    if (found != devInsts.end()) {
        return found->second;
    }
    auto const devInst = static_cast<host::DWORD>(devInsts.size() + 1);
    devInsts.emplace(key, devInst);
    return devInst;
}

// Finds the member an SP_DEVINFO_DATA names; null when it names none of the set.
const DeviceMember *MemberOf(const DeviceSet &set, const host::SP_DEVINFO_DATA *data) {
    if (data == nullptr || data->cbSize != sizeof(host::SP_DEVINFO_DATA)) {
        return nullptr;
    }
    host::DWORD const index = data->Reserved - set.firstTag;
    if (data->Reserved < set.firstTag || index >= set.members.size()) {
        return nullptr;
    }
    return &set.members[index];
}

// Takes SetupDiClassGuidsFromNameA's arguments and its call record, whose count found it fills in.
host::BOOL ClassGuidsFromName(Machine &machine, const char *className, host::GUID *list, host::DWORD capacity,
                              host::DWORD *requiredSize, CallRecord *call) {
    if (host::LONG const fault =
            FireFault(machine, Operation::SetupDiClassGuidsFromNameA, {className == nullptr ? "" : className})) {
        return FinishCall(machine, fault);
    }
    if (className == nullptr || (list == nullptr && capacity > 0)) {
        return FinishCall(machine, host::ERROR_INVALID_PARAMETER);
    }
    host::DWORD count = 0;
    if (RegistryKey *classes = machine.registry.FindKey(kClassRoot)) {
        for (RegistryKey *classKey : classes->Subkeys()) {
            host::GUID guid{};
            if (!ParseGuidText(classKey->Name(), &guid) ||
                !EqualsIgnoreCase(ValueText(*classKey, "Class"), className)) {
                continue;
            }
            if (count < capacity) {
                list[count] = guid;
            }
            ++count;
        }
    }
    call->returned = count;
    if (requiredSize != nullptr) {
        *requiredSize = count;
    }
    return FinishCall(machine, capacity < count ? host::ERROR_INSUFFICIENT_BUFFER : host::ERROR_SUCCESS);
}

host::HDEVINFO GetClassDevs(Machine &machine, const host::GUID *classGuid, const char *enumerator, host::DWORD flags) {
    std::string const guidText = classGuid == nullptr ? "" : GuidText(*classGuid);
    if (host::LONG const fault = FireFault(machine, Operation::SetupDiGetClassDevsA, {guidText})) {
        SetLastError(machine, fault);
        return host::INVALID_HANDLE_VALUE;
    }
    host::LONG error = host::ERROR_SUCCESS;
    if ((flags & ~(host::DIGCF_PRESENT | kDigcfOtherFlags)) != 0) {
        error = host::ERROR_INVALID_FLAGS;
    } else if ((flags & kDigcfOtherFlags) != 0 || (enumerator != nullptr && enumerator[0] != '\0')) {
        error = host::ERROR_NOT_SUPPORTED; // lists the simulated machine does not keep
    } else if (classGuid == nullptr) {
        error = host::ERROR_INVALID_PARAMETER;
    }
    if (error != host::ERROR_SUCCESS) {
        SetLastError(machine, error);
        return host::INVALID_HANDLE_VALUE;
    }
    // The instances of the class, in enumeration order; with DIGCF_PRESENT
    // only those present now.
    bool const presentOnly = (flags & host::DIGCF_PRESENT) != 0;
    Machine::State &state = machine.Internal();
    DeviceSet set;
    for (const DeviceInstance &instance : DeviceInstances(machine.registry)) {
        host::GUID guid{};
        if (ParseGuidText(ValueText(*instance.key, "ClassGUID"), &guid) &&
            std::memcmp(&guid, classGuid, sizeof guid) == 0 &&
            (!presentOnly || SpanAt(PresenceOf(machine.presence, instance.path), machine.nowMs))) {
            set.members.push_back(DeviceMember{instance.path, guid, DevInstOf(machine, instance.path)});
        }
    }
    set.serial = state.nextDeviceSetSerial++;
    set.firstTag = state.nextMemberTag;
    state.nextMemberTag += static_cast<std::uint32_t>(set.members.size());
    std::uintptr_t const value = 0x00A00000U + static_cast<std::uintptr_t>(set.serial) * 0x1000U;
    state.deviceSets.emplace(value, std::move(set));
    SetLastError(machine, host::ERROR_SUCCESS);
    return reinterpret_cast<host::HDEVINFO>(value);
}

host::BOOL EnumDeviceInfo(Machine &machine, host::HDEVINFO setHandle, host::DWORD index, host::SP_DEVINFO_DATA *data) {
    auto &sets = machine.Internal().deviceSets;
    auto found = sets.find(HandleValue(setHandle));
    bool const inSet = found != sets.end() && index < found->second.members.size();
    std::string const member = inSet ? found->second.members[index].instancePath : "";
    if (host::LONG const fault =
            FireFault(machine, Operation::SetupDiEnumDeviceInfo, {member, std::to_string(index)})) {
        return FinishCall(machine, fault);
    }
    if (data == nullptr) {
        return FinishCall(machine, host::ERROR_INVALID_PARAMETER);
    }
    if (found == sets.end()) {
        return FinishCall(machine, host::ERROR_INVALID_HANDLE);
    }
    if (data->cbSize != sizeof(host::SP_DEVINFO_DATA)) {
        return FinishCall(machine, host::ERROR_INVALID_USER_BUFFER);
    }
    const DeviceSet &set = found->second;
    if (index >= set.members.size()) {
        return FinishCall(machine, host::ERROR_NO_MORE_ITEMS);
    }
    data->ClassGuid = set.members[index].classGuid;
    data->DevInst = set.members[index].devInst;
    data->Reserved = set.firstTag + index;
    return FinishCall(machine, host::ERROR_SUCCESS);
}

host::BOOL GetDeviceRegistryProperty(Machine &machine, host::HDEVINFO setHandle, host::SP_DEVINFO_DATA *data,
                                     host::DWORD property, host::DWORD *type, host::BYTE *buffer,
                                     host::DWORD bufferSize, host::DWORD *requiredSize) {
    auto &sets = machine.Internal().deviceSets;
    auto found = sets.find(HandleValue(setHandle));
    const DeviceMember *device = found == sets.end() ? nullptr : MemberOf(found->second, data);
    std::string const member = device == nullptr ? "" : device->instancePath;
    if (host::LONG const fault =
            FireFault(machine, Operation::SetupDiGetDeviceRegistryPropertyA, {std::to_string(property), member})) {
        return FinishCall(machine, fault);
    }
    if (found == sets.end()) {
        return FinishCall(machine, host::ERROR_INVALID_HANDLE);
    }
    if (device == nullptr) {
        return FinishCall(machine, host::ERROR_INVALID_PARAMETER);
    }
    if (buffer == nullptr && bufferSize > 0) {
        return FinishCall(machine, host::ERROR_INVALID_DATA);
    }
    if (property >= kSpdrpMaximumProperty) {
        return FinishCall(machine, host::ERROR_INVALID_REG_PROPERTY);
    }
    const char *valueName = PropertyValueName(property);
    if (valueName == nullptr) {
        return FinishCall(machine, host::ERROR_INVALID_DATA);
    }
    RegistryKey *key = machine.registry.FindKey(std::string(kEnumRoot) + "\\" + device->instancePath);
    if (key == nullptr) {
        return FinishCall(machine, host::ERROR_NO_SUCH_DEVINST);
    }
    // The property is read as RegQueryValueExA reads it: the same sizes, the
    // same NUL appended when there is room.
    host::DWORD size = buffer == nullptr ? 0 : bufferSize;
    if (type != nullptr) {
        *type = host::REG_NONE;
    }
    host::LSTATUS const status = QueryValueA(*key, valueName, type, buffer, &size, bufferSize);
    if (requiredSize != nullptr) {
        *requiredSize = size;
    }
    if (status == host::ERROR_FILE_NOT_FOUND) {
        return FinishCall(machine, host::ERROR_INVALID_DATA);
    }
    if (status == host::ERROR_MORE_DATA || bufferSize == 0) {
        return FinishCall(machine, host::ERROR_INSUFFICIENT_BUFFER);
    }
    return FinishCall(machine, status);
}

host::BOOL DestroyDeviceInfoList(Machine &machine, host::HDEVINFO setHandle) {
    if (host::LONG const fault = FireFault(machine, Operation::SetupDiDestroyDeviceInfoList, {})) {
        return FinishCall(machine, fault);
    }
    if (machine.Internal().deviceSets.erase(HandleValue(setHandle)) == 0) {
        return FinishCall(machine, host::ERROR_INVALID_HANDLE);
    }
    return FinishCall(machine, host::ERROR_SUCCESS);
}

host::BOOL GetDeviceInstanceId(Machine &machine, host::HDEVINFO setHandle, host::SP_DEVINFO_DATA *data, char *buffer,
                               host::DWORD bufferSize, host::DWORD *requiredSize) {
    auto &sets = machine.Internal().deviceSets;
    auto found = sets.find(HandleValue(setHandle));
    if (found == sets.end()) {
        return FinishCall(machine, host::ERROR_INVALID_HANDLE);
    }
    const DeviceMember *device = MemberOf(found->second, data);
    if (device == nullptr) {
        return FinishCall(machine, host::ERROR_INVALID_PARAMETER);
    }
    if (buffer == nullptr && bufferSize > 0) {
        return FinishCall(machine, host::ERROR_INVALID_USER_BUFFER);
    }
    // The configuration manager keeps instance IDs upper-cased, whatever the
    // case of the Enum keys' names.
    std::string const id = UpperCase(device->instancePath);
    auto const required = static_cast<host::DWORD>(id.size() + 1);
    if (requiredSize != nullptr) {
        *requiredSize = required;
    }
    if (buffer == nullptr || bufferSize < required) {
        return FinishCall(machine, host::ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, id.c_str(), required);
    return FinishCall(machine, host::ERROR_SUCCESS);
}

} // namespace
} // namespace sim

namespace host {

BOOL SetupDiClassGuidsFromNameA(const char *className, GUID *classGuidList, DWORD classGuidListSize,
                                DWORD *requiredSize) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    BOOL const result =
        sim::ClassGuidsFromName(machine, className, classGuidList, classGuidListSize, requiredSize, &call);
    call.className = className == nullptr ? "" : className;
    call.bufferSize = classGuidListSize;
    sim::LogCall(machine, sim::Operation::SetupDiClassGuidsFromNameA, sim::CallStatus(machine, result), call);
    return result;
}

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, const char *enumerator, void * /*parentWindow*/, DWORD flags) {
    sim::Machine &machine = sim::ActiveMachine();
    HDEVINFO const set = sim::GetClassDevs(machine, classGuid, enumerator, flags);
    sim::CallRecord call;
    call.classGuid = classGuid == nullptr ? "" : sim::GuidText(*classGuid);
    call.flags = flags;
    sim::LogCall(machine, sim::Operation::SetupDiGetClassDevsA,
                 sim::CallStatus(machine, set != INVALID_HANDLE_VALUE ? TRUE : FALSE), call);
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, SP_DEVINFO_DATA *deviceInfoData) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.structSize = deviceInfoData == nullptr ? 0 : deviceInfoData->cbSize;
    BOOL const result = sim::EnumDeviceInfo(machine, deviceInfoSet, memberIndex, deviceInfoData);
    sim::LogCall(machine, sim::Operation::SetupDiEnumDeviceInfo, sim::CallStatus(machine, result), call);
    return result;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, DWORD property,
                                       DWORD *propertyRegDataType, BYTE *propertyBuffer, DWORD propertyBufferSize,
                                       DWORD *requiredSize) {
    sim::Machine &machine = sim::ActiveMachine();
    sim::CallRecord call;
    call.property = property;
    call.bufferSize = propertyBuffer == nullptr ? 0 : propertyBufferSize;
    BOOL const result =
        sim::GetDeviceRegistryProperty(machine, deviceInfoSet, deviceInfoData, property, propertyRegDataType,
                                       propertyBuffer, propertyBufferSize, requiredSize);
    call.returned = requiredSize == nullptr ? 0 : *requiredSize;
    sim::LogCall(machine, sim::Operation::SetupDiGetDeviceRegistryPropertyA, sim::CallStatus(machine, result), call);
    return result;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    sim::Machine &machine = sim::ActiveMachine();
    BOOL const result = sim::DestroyDeviceInfoList(machine, deviceInfoSet);
    sim::LogCall(machine, sim::Operation::SetupDiDestroyDeviceInfoList, sim::CallStatus(machine, result));
    return result;
}

// Not logged: no test holds it.
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, char *instanceId,
                                 DWORD instanceIdSize, DWORD *requiredSize) {
    return sim::GetDeviceInstanceId(sim::ActiveMachine(), deviceInfoSet, deviceInfoData, instanceId, instanceIdSize,
                                    requiredSize);
}

} // namespace host
