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

#include <algorithm>
#include <cstring>
#include <iterator>

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
    auto const found = std::find_if(std::begin(kProperties), std::end(kProperties),
                                    [property](const auto &entry) { return entry.property == property; });
    return found == std::end(kProperties) ? nullptr : found->valueName;
}

// Takes an instance path. Returns its devnode number, numbered from 1 as
// instances are first seen, whatever the case of the path.
host::DWORD DevInstOf(Machine &machine, const std::string &instancePath) {
    auto &devInsts = machine.Internal().devInsts;
    return devInsts.try_emplace(UpperCase(instancePath), static_cast<host::DWORD>(devInsts.size() + 1)).first->second;
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
    host::LONG const fault =
        FireFault(machine, Operation::SetupDiClassGuidsFromNameA, {className == nullptr ? "" : className});
    if (fault != host::ERROR_SUCCESS || className == nullptr || (list == nullptr && capacity > 0)) {
        return FinishCall(machine, fault != host::ERROR_SUCCESS ? fault : host::ERROR_INVALID_PARAMETER);
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
    // ERROR_NOT_SUPPORTED: lists the simulated machine does not keep.
    host::LONG const fault = FireFault(machine, Operation::SetupDiGetClassDevsA, {guidText});
    host::LONG const error = fault != host::ERROR_SUCCESS                               ? fault
                             : (flags & ~(host::DIGCF_PRESENT | kDigcfOtherFlags)) != 0 ? host::ERROR_INVALID_FLAGS
                             : (flags & kDigcfOtherFlags) != 0 || (enumerator != nullptr && enumerator[0] != '\0')
                                 ? host::ERROR_NOT_SUPPORTED
                             : classGuid == nullptr ? host::ERROR_INVALID_PARAMETER
                                                    : host::ERROR_SUCCESS;
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
    host::LONG const fault = FireFault(machine, Operation::SetupDiEnumDeviceInfo, {member, std::to_string(index)});
    host::LONG const error = fault != host::ERROR_SUCCESS                    ? fault
                             : data == nullptr                               ? host::ERROR_INVALID_PARAMETER
                             : found == sets.end()                           ? host::ERROR_INVALID_HANDLE
                             : data->cbSize != sizeof(host::SP_DEVINFO_DATA) ? host::ERROR_INVALID_USER_BUFFER
                             : !inSet                                        ? host::ERROR_NO_MORE_ITEMS
                                                                             : host::ERROR_SUCCESS;
    if (error == host::ERROR_SUCCESS) {
        data->ClassGuid = found->second.members[index].classGuid;
        data->DevInst = found->second.members[index].devInst;
        data->Reserved = found->second.firstTag + index;
    }
    return FinishCall(machine, error);
}

host::BOOL GetDeviceRegistryProperty(Machine &machine, host::HDEVINFO setHandle, host::SP_DEVINFO_DATA *data,
                                     host::DWORD property, host::DWORD *type, host::BYTE *buffer,
                                     host::DWORD bufferSize, host::DWORD *requiredSize) {
    auto &sets = machine.Internal().deviceSets;
    auto found = sets.find(HandleValue(setHandle));
    const DeviceMember *device = found == sets.end() ? nullptr : MemberOf(found->second, data);
    std::string const member = device == nullptr ? "" : device->instancePath;
    host::LONG const fault =
        FireFault(machine, Operation::SetupDiGetDeviceRegistryPropertyA, {std::to_string(property), member});
    const char *valueName = PropertyValueName(property);
    RegistryKey *key = device == nullptr ? nullptr : machine.registry.FindKey(std::string(kEnumRoot) + "\\" + member);
    host::LONG const error = fault != host::ERROR_SUCCESS          ? fault
                             : found == sets.end()                 ? host::ERROR_INVALID_HANDLE
                             : device == nullptr                   ? host::ERROR_INVALID_PARAMETER
                             : buffer == nullptr && bufferSize > 0 ? host::ERROR_INVALID_DATA
                             : property >= kSpdrpMaximumProperty   ? host::ERROR_INVALID_REG_PROPERTY
                             : valueName == nullptr                ? host::ERROR_INVALID_DATA
                             : key == nullptr                      ? host::ERROR_NO_SUCH_DEVINST
                                                                   : host::ERROR_SUCCESS;
    if (error != host::ERROR_SUCCESS) {
        return FinishCall(machine, error);
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
    host::LONG const fault = FireFault(machine, Operation::SetupDiDestroyDeviceInfoList, {});
    return FinishCall(machine, fault != host::ERROR_SUCCESS ? fault
                               : machine.Internal().deviceSets.erase(HandleValue(setHandle)) == 0
                                   ? host::ERROR_INVALID_HANDLE
                                   : host::ERROR_SUCCESS);
}

host::BOOL GetDeviceInstanceId(Machine &machine, host::HDEVINFO setHandle, host::SP_DEVINFO_DATA *data, char *buffer,
                               host::DWORD bufferSize, host::DWORD *requiredSize) {
    auto &sets = machine.Internal().deviceSets;
    auto found = sets.find(HandleValue(setHandle));
    const DeviceMember *device = found == sets.end() ? nullptr : MemberOf(found->second, data);
    host::LONG const error = found == sets.end()                   ? host::ERROR_INVALID_HANDLE
                             : device == nullptr                   ? host::ERROR_INVALID_PARAMETER
                             : buffer == nullptr && bufferSize > 0 ? host::ERROR_INVALID_USER_BUFFER
                                                                   : host::ERROR_SUCCESS;
    if (error != host::ERROR_SUCCESS) {
        return FinishCall(machine, error);
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
    return sim::LogBoolCall(
        sim::Operation::SetupDiClassGuidsFromNameA, [&](sim::Machine &machine, sim::CallRecord &call) {
            call.className = className == nullptr ? "" : className;
            call.bufferSize = classGuidListSize;
            return sim::ClassGuidsFromName(machine, className, classGuidList, classGuidListSize, requiredSize, &call);
        });
}

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, const char *enumerator, void * /*parentWindow*/, DWORD flags) {
    sim::Machine &machine = sim::ActiveMachine();
    HDEVINFO const set = sim::GetClassDevs(machine, classGuid, enumerator, flags);
    sim::CallRecord call;
    call.classGuid = classGuid == nullptr ? "" : sim::GuidText(*classGuid);
    call.flags = flags;
    sim::LogCall(machine, sim::Operation::SetupDiGetClassDevsA, static_cast<LONG>(machine.LastError()), call);
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex, SP_DEVINFO_DATA *deviceInfoData) {
    return sim::LogBoolCall(sim::Operation::SetupDiEnumDeviceInfo, [&](sim::Machine &machine, sim::CallRecord &call) {
        call.structSize = deviceInfoData == nullptr ? 0 : deviceInfoData->cbSize;
        return sim::EnumDeviceInfo(machine, deviceInfoSet, memberIndex, deviceInfoData);
    });
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, DWORD property,
                                       DWORD *propertyRegDataType, BYTE *propertyBuffer, DWORD propertyBufferSize,
                                       DWORD *requiredSize) {
    return sim::LogBoolCall(
        sim::Operation::SetupDiGetDeviceRegistryPropertyA, [&](sim::Machine &machine, sim::CallRecord &call) {
            call.property = property;
            call.bufferSize = propertyBuffer == nullptr ? 0 : propertyBufferSize;
            BOOL const result =
                sim::GetDeviceRegistryProperty(machine, deviceInfoSet, deviceInfoData, property, propertyRegDataType,
                                               propertyBuffer, propertyBufferSize, requiredSize);
            call.returned = requiredSize == nullptr ? 0 : *requiredSize;
            return result;
        });
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
    return sim::LogBoolCall(
        sim::Operation::SetupDiDestroyDeviceInfoList,
        [&](sim::Machine &machine, sim::CallRecord &) { return sim::DestroyDeviceInfoList(machine, deviceInfoSet); });
}

// Not logged: no test holds it.
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO deviceInfoSet, SP_DEVINFO_DATA *deviceInfoData, char *instanceId,
                                 DWORD instanceIdSize, DWORD *requiredSize) {
    return sim::GetDeviceInstanceId(sim::ActiveMachine(), deviceInfoSet, deviceInfoData, instanceId, instanceIdSize,
                                    requiredSize);
}

} // namespace host
