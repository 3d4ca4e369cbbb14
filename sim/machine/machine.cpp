// machine.cpp - the simulated machine's timelines and call log (machine.h);
// what works on its seam state lives in sim/seam/host_state.cpp.

#include "machine/machine.h"

namespace sim {

bool InTimeline(const std::vector<Interval> &timeline, std::uint64_t t) {
    if (timeline.empty()) {
        return true;
    }
    for (const Interval &span : timeline) {
        if (span.Contains(t)) {
            return true;
        }
    }
    return false;
}

size_t Machine::CountCalls(const std::string &operation) const {
    size_t count = 0;
    for (const CallRecord &call : calls) {
        if (call.operation == operation) {
            ++count;
        }
    }
    return count;
}

} // namespace sim
