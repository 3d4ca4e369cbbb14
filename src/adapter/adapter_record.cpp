// adapter_record.cpp - the adapter description record, results lists and the
// table of hardware-ID patterns the tool serves.

#include "adapter/adapter_record.h"

#include <cstring>

#include "host/host.h"

namespace {

// The largest capacity whose block size still fits a size_t.
constexpr std::size_t kMaxAdapterCapacity =
    (static_cast<std::size_t>(-1) - kAdapterListHeaderSize) / sizeof(AdapterRecord);

} // namespace

AdapterList *AllocateAdapterList(std::int32_t capacity) {
    if (capacity < 1 || static_cast<std::size_t>(capacity) > kMaxAdapterCapacity) {
        return nullptr;
    }
    std::size_t const bytes = kAdapterListHeaderSize + static_cast<std::size_t>(capacity) * sizeof(AdapterRecord);
    return static_cast<AdapterList *>(host::LocalAlloc(host::LMEM_FIXED | host::LMEM_ZEROINIT, bytes));
}

void ReleaseAdapterList(AdapterList *list) {
    if (list != nullptr) {
        host::LocalFree(list);
    }
}

AdapterRecord *GetAdapterRoom(AdapterList *list, std::int32_t index) {
    unsigned char *const rooms = reinterpret_cast<unsigned char *>(list) + kAdapterListHeaderSize;
    return reinterpret_cast<AdapterRecord *>(rooms + static_cast<std::size_t>(index) * sizeof(AdapterRecord));
}

AdapterList *BuildSupportedDeviceTable() {
    AdapterList *const table = AllocateAdapterList(1);
    if (table == nullptr) {
        return nullptr;
    }
    table->Count = 1;
    AdapterRecord *const entry = GetAdapterRoom(table, 0);
    CopyFieldText(entry->HardwareIdPattern, sizeof entry->HardwareIdPattern, kSupportedHardwareId,
                  sizeof kSupportedHardwareId);
    entry->EntryValue1 = kSupportedEntryValue1;
    entry->EntryValue2 = kSupportedEntryValue2;
    return table;
}

void CopyAdapterRecord(AdapterRecord *to, const AdapterRecord *from) { std::memcpy(to, from, sizeof(AdapterRecord)); }
