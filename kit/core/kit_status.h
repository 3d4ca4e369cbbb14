// kit_status.h - /status: what the machine holds now, judged as the program
// sees it (present adapters only); installed but absent ones listed apart.

#pragma once

#include "kit/core/kit_adapters.h"
#include "kit/core/kit_text.h"

namespace kit {

enum class StatusVerdict {
    AllHold,        // 0: every present adapter's driver key holds EDCCAEnable = "1"
    SomeLack,       // 3: a present adapter's driver key lacks it: a provisioning run helps
    NonePresent,    // 4: adapters are installed, none is plugged in
    NeverInstalled, // 5: no device of the adapter's ID was ever installed
};

// Takes the adapters. Returns the verdict.
StatusVerdict JudgeStatus(const AdapterList &adapters);
// Takes a verdict. Returns /status's exit code.
int StatusExitCode(StatusVerdict verdict);

// Takes the adapters and a text buffer. Appends /status's report: a line a
// present adapter ("0007: EDCCAEnable REG_SZ 1"), then a line an absent one
// ("0011: EDCCAEnable absent (installed, not plugged in)"), then the verdict's
// sentence. Returns the verdict.
StatusVerdict WriteStatusReport(const AdapterList &adapters, TextBuffer *out);

} // namespace kit
