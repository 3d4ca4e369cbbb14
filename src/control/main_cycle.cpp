// main_cycle.cpp - the tool's entry routine: up to 40 attempts to find the
// adapter, read its country region and, on region 1, switch on EDCCA.

#include "control/main_cycle.h"

#include <cstring>

#include "adapter/adapter_detection.h"
#include "adapter/adapter_record.h"
#include "common/format.h"
#include "common/trace.h"
#include "driver/driver_query.h"

namespace {

constexpr std::int32_t kRegionEnableEdcca = 1;
constexpr std::int32_t kRegionDeclineA = 2;
constexpr std::int32_t kRegionDeclineB = 9;
constexpr int kEdccaEnabled = 1;

// Takes nothing; never returns. Flushes standard output, which ExitProcess
// would otherwise drop when it is a file or a pipe, and ends with exit code 0.
[[noreturn]] void EndProcess() {
    host::FlushStandardOutput();
    host::ExitProcess(0);
}

} // namespace

int WriteEdccaSetting() {
    host::HKEY key = nullptr;
    // An empty path would open the hive itself and put the setting at its
    // root: it counts as a failed open.
    if (DriverKeyPath[0] == '\0' || host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, DriverKeyPath, 0,
                                                        host::KEY_ALL_ACCESS, &key) != host::ERROR_SUCCESS) {
        Trace("RegOpenKeyEx '%hs' failed\n", DriverKeyPath);
        return 0;
    }
    char value[16];
    FormatText(value, sizeof value, "%d", kEdccaEnabled);
    host::DWORD const valueSize = static_cast<host::DWORD>(std::strlen(value) + 1);
    host::LSTATUS const status = host::RegSetValueExA(key, kEdccaValueName, 0, host::REG_SZ,
                                                      reinterpret_cast<const host::BYTE *>(value), valueSize);
    if (status != host::ERROR_SUCCESS) {
        Trace("RegSetValueEx REGSTR_RADIO '%s' failed\n", value);
    }
    host::RegCloseKey(key);
    return status == host::ERROR_SUCCESS ? 1 : 0;
}

int RunAttempt() {
    AdapterRecord record;
    std::memset(&record, 0, sizeof record);
    if (DetectAdapter(&record) == 0) {
        Trace("Cannot find any adapter card !\n");
        return kAttemptGoesOn;
    }
    QueryEepromByte(); // its byte serves the trace only
    std::int32_t const region = GetSupportCountryRegion();
    if (region == kRegionDeclineB || region == kRegionDeclineA) {
        return kAttemptEnds;
    }
    if (region == kRegionEnableEdcca && WriteEdccaSetting() == 1) {
        return kAttemptEnds;
    }
    return kAttemptGoesOn;
}

extern "C" int EDCCA_WINAPI WinMain(host::HINSTANCE, host::HINSTANCE, char *, int) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        if (RunAttempt() == kAttemptEnds) {
            EndProcess();
        }
        host::Sleep(kAttemptPauseMs);
    }
    EndProcess();
}
