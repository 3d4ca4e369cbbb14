// adapter_record.h - the adapter description record, results lists and the
// table of hardware-ID patterns the tool serves.

#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bounded_text.h"

// One adapter, or one supported-device entry. Texts are 8-bit, NUL-terminated
// and at most their width less one characters. Always copied whole.
struct AdapterRecord {
    char Description[64];       // friendly name, else the device description
    char HardwareIdPattern[64]; // the table pattern the hardware ID contained
    char InstanceNumber[8];     // last four characters of the driver key name
    char FriendlyName[256];
    char DevicePath[64];    // "\\.\" and the instance identifier
    char InstanceId[64];    // NetCfgInstanceId
    char NtDeviceName[256]; // "\Device\" and the instance identifier
    char LocationInformation[256];
    char Manufacturer[256];
    std::int32_t EntryValue1; // carried from the matching table entry
    std::int32_t EntryValue2;
    std::uint8_t Reserved[4];
};
static_assert(sizeof(AdapterRecord) == 1300, "AdapterRecord is 1300 bytes");

// A block of a signed 32-bit count followed directly by room for a number of
// records; the capacity is not stored in the block but passed beside it. A
// block of capacity n is 4 + n * 1300 bytes. In a results list the count may
// exceed the capacity; only the first rooms hold records.
struct AdapterList {
    std::int32_t Count;
};
constexpr std::size_t kAdapterListHeaderSize = sizeof(std::int32_t);
static_assert(alignof(AdapterRecord) <= kAdapterListHeaderSize, "records follow the count unpadded");

// The pattern of the one supported device, and its entry's two integers.
constexpr char kSupportedHardwareId[] = "USB\\VID_13B1&PID_003B";
constexpr std::int32_t kSupportedEntryValue1 = 5;
constexpr std::int32_t kSupportedEntryValue2 = 0;

// Takes a capacity of 1 or more. Returns a zeroed list block from the host's
// local heap (count 0), or null when the capacity is out of range or the
// allocation fails.
AdapterList *AllocateAdapterList(std::int32_t capacity);

// Takes a list from AllocateAdapterList, or null. Returns nothing; the block
// is given back to the host's local heap.
void ReleaseAdapterList(AdapterList *list);

// Takes a list and a room index below its capacity. Returns that room.
AdapterRecord *GetAdapterRoom(AdapterList *list, std::int32_t index);

// Takes nothing. Returns a freshly allocated supported-device table (count 1,
// one entry with the pattern and the two integers), or null when the
// allocation fails. Released with ReleaseAdapterList.
AdapterList *BuildSupportedDeviceTable();

// Takes a destination and a source record. Returns nothing; copies the
// record whole, all 1300 bytes.
void CopyAdapterRecord(AdapterRecord *to, const AdapterRecord *from);
