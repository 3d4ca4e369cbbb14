// kit_registry.h - the kit's registry and device work, through the kit's
// seam (kit/host/kit_host.h), so that it runs on the simulated host too.
// Every key and device set opened here is closed on every path.

#pragma once

#include "kit/core/kit_adapters.h"
#include "kit/core/kit_text.h"

namespace kit {

// Takes a list to fill. Lists every network-class device whose first
// hardware ID matches (SetupDi over the "Net" class, all devices, then the
// present ones), with its driver key and EDCCAEnable. Returns 1, or 0 when
// the class cannot be enumerated (the list is then empty).
int ListAdapters(AdapterList *adapters);

// Takes a record name and a buffer of kMostRecordBytes. Returns 1 when the
// rollback key holds a record of that name, with its text (empty when it is
// no REG_SZ this kit can read), else 0.
int ReadRollbackRecord(const char *recordName, char *record);

// Before the program runs: writes a record for every adapter PlanAhead says
// to (marking it in written[i]), each with a note. Returns 1, or 0 when one
// could not be written; the notes say which.
int WriteRecordsAhead(const AdapterList &adapters, bool written[kMostAdapters], TextBuffer *notes);

// After the program ran (or was ended): re-reads each adapter's value, keeps
// the records written ahead whose value changed and removes the others.
// Appends a note for each kept one.
void SettleRecordsAfter(const AdapterList &before, const bool written[kMostAdapters], TextBuffer *notes);

// /uninstall: puts back every record, removes those handled, then the
// marker. Appends a note for each. Returns Uninstalled or UninstallFailed.
Outcome RestoreRecordsAndRemoveMarker(TextBuffer *notes);

// Writes the marker's values in order. Returns 1, or 0 when one failed.
int WriteMarker(const MarkerValue *values, std::size_t count);

} // namespace kit
