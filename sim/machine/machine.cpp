// machine.cpp - the simulated machine's timelines and call log (machine.h);
// what works on its seam state lives in sim/seam/host_state.cpp.

#include "machine/machine.h"

#include <algorithm>

namespace sim {

std::vector<DeviceInstance> DeviceInstances(const Registry &registry) {
    std::vector<DeviceInstance> instances;
    const RegistryKey *enumRoot = registry.FindKey("SYSTEM\\CurrentControlSet\\Enum");
    if (enumRoot == nullptr) {
        return instances;
    }
    for (const RegistryKey *bus : enumRoot->Subkeys()) {
        for (const RegistryKey *device : bus->Subkeys()) {
            for (const RegistryKey *instance : device->Subkeys()) {
                instances.push_back({bus->Name() + "\\" + device->Name() + "\\" + instance->Name(), instance});
            }
        }
    }
    return instances;
}

std::optional<Interval> SpanAt(const std::vector<Interval> &timeline, std::uint64_t t) {
    if (timeline.empty()) {
        return Interval{};
    }
    for (const Interval &span : timeline) {
        if (t >= span.fromMs && t < span.untilMs) {
            return span;
        }
    }
    return std::nullopt;
}

const std::vector<Interval> &PresenceOf(const Presence &presence, std::string_view path) {
    static const std::vector<Interval> kAlways;
    auto const found = presence.find(path);
    return found == presence.end() ? kAlways : found->second;
}

size_t Machine::CountCalls(Operation operation) const {
    return static_cast<size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const CallRecord &call) { return call.operation == operation; }));
}

} // namespace sim
