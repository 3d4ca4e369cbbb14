// kit_status.cpp - /status: the verdict on the machine's adapters and the
// report of it.

#include "kit/core/kit_status.h"

#include "kit/core/rollback_record.h"

namespace kit {
namespace {

// Takes an adapter and the report. Appends its line's text, without the line
// end: its record name (its instance ID without a driver key) and value.
void AppendAdapterValue(const Adapter &adapter, TextBuffer *out) {
    AppendText(out, adapter.recordName[0] != '\0' ? adapter.recordName : adapter.instanceId);
    AppendText(out, ": EDCCAEnable ");
    char record[kMostRecordBytes];
    AppendText(out, EncodeRecord(adapter.value, record) == 1 ? record : "(larger than the kit keeps)");
}

} // namespace

StatusVerdict JudgeStatus(const AdapterList &adapters) {
    if (adapters.count == 0) {
        return StatusVerdict::NeverInstalled;
    }
    bool anyPresent = false;
    bool anyLacks = false;
    for (std::size_t i = 0; i < adapters.count; ++i) {
        if (adapters.adapters[i].present) {
            anyPresent = true;
            anyLacks = anyLacks || !HoldsSetting(adapters.adapters[i].value);
        }
    }
    if (!anyPresent) {
        return StatusVerdict::NonePresent;
    }
    return anyLacks ? StatusVerdict::SomeLack : StatusVerdict::AllHold;
}

int StatusExitCode(StatusVerdict verdict) {
    switch (verdict) {
    case StatusVerdict::AllHold:
        return 0;
    case StatusVerdict::SomeLack:
        return 3;
    case StatusVerdict::NonePresent:
        return 4;
    case StatusVerdict::NeverInstalled:
        return 5;
    }
    return 5;
}

StatusVerdict WriteStatusReport(const AdapterList &adapters, TextBuffer *out) {
    long present = 0;
    long lacking = 0;
    for (std::size_t i = 0; i < adapters.count; ++i) {
        const Adapter &adapter = adapters.adapters[i];
        if (adapter.present) {
            ++present;
            lacking += HoldsSetting(adapter.value) ? 0 : 1;
            AppendAdapterValue(adapter, out);
            AppendText(out, "\r\n");
        }
    }
    for (std::size_t i = 0; i < adapters.count; ++i) {
        if (!adapters.adapters[i].present) {
            AppendAdapterValue(adapters.adapters[i], out);
            AppendText(out, " (installed, not plugged in)\r\n");
        }
    }
    StatusVerdict const verdict = JudgeStatus(adapters);
    switch (verdict) {
    case StatusVerdict::AllHold:
        AppendText(out, "Every present adapter's driver key holds EDCCAEnable = 1.\r\n");
        break;
    case StatusVerdict::SomeLack:
        AppendNumber(out, lacking);
        AppendText(out, " of ");
        AppendNumber(out, present);
        AppendText(out, " present adapters' driver keys lack EDCCAEnable = 1: run edcca.cmd.\r\n");
        break;
    case StatusVerdict::NonePresent:
        AppendText(out, "No adapter ");
        AppendText(out, kAdapterHardwareId);
        AppendText(out, " is plugged in; ");
        AppendNumber(out, static_cast<long>(adapters.count));
        AppendText(out, " installed ones are absent.\r\n");
        break;
    case StatusVerdict::NeverInstalled:
        AppendText(out, "No network device ");
        AppendText(out, kAdapterHardwareId);
        AppendText(out, " was ever installed: nothing to provision.\r\n");
        break;
    }
    return verdict;
}

} // namespace kit
