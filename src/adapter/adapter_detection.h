// adapter_detection.h - finding the present adapters the tool serves.
//
// Detection walks the present members of the "Net" device class, describes
// each one whose first hardware ID contains a supported pattern, keeps those
// whose driver's device file opens, and sets the two module-level strings
// through which the rest of the tool reaches the adapter.

#pragma once

#include <cstddef>
#include <cstdint>

#include "adapter/adapter_record.h"

// Result of GetAvailableAdapters when the device set cannot be obtained.
constexpr std::int32_t ZOWL_ERROR_NO_DEVICE_SET = -7;
// Result of GetAvailableAdapters when more adapters were found than fit.
constexpr std::int32_t ZOWL_ERROR_LIST_TOO_SMALL = -10;

constexpr std::size_t kMacFileNameSize = 64;
// Room for the class key path, a backslash and a 255-character driver name.
constexpr std::size_t kDriverKeyPathSize = 512;

// "\\.\" and the instance identifier of the last matching device examined
// (one whose driver key name takes part): the device file the driver queries
// open. Empty until then, and emptied when that device's identifier cannot
// be read or does not fit, so that it always names the device of
// DriverKeyPath, or none.
extern char MacFileName[kMacFileNameSize];
// "System\CurrentControlSet\Control\Class\" and the driver key name of the
// last matching device examined, under HKEY_LOCAL_MACHINE. Empty until then;
// never cleared.
extern char DriverKeyPath[kDriverKeyPathSize];

// Takes the caller's record. Returns the count of available adapters, 0 or
// more. With 1 or more the record holds the first one's description; with 0
// its Description, HardwareIdPattern, DevicePath and InstanceNumber are
// emptied and the rest left alone.
std::int32_t DetectAdapter(AdapterRecord *record);

// Takes a results list and its capacity. Sets the list's count to the number
// of available adapters and stores the first `capacity` records. Returns that
// number; ZOWL_ERROR_LIST_TOO_SMALL when it exceeds the capacity;
// ZOWL_ERROR_UNKNOWN or ZOWL_ERROR_NO_DEVICE_SET (count 0) when the class or
// the device set cannot be looked up.
std::int32_t GetAvailableAdapters(AdapterList *results, std::int32_t capacity);

// Takes a device's four-character instance number and a 64-byte device-path
// field. Returns true when the instance identifier was read (the registry
// layout chosen by the version code) and both the field and MacFileName now
// hold "\\.\" and it; false otherwise, with neither touched.
bool GetAdapterDeviceName(const char *instanceNumber, char *devicePath);

// Takes a device's instance number, a 256-byte NT-device-name field and a
// 64-byte instance-identifier field. Returns true when NetCfgInstanceId was
// read (newer registry layout only) and both fields were set; false
// otherwise, with neither touched.
bool GetAdapterInstanceId(const char *instanceNumber, char *ntDeviceName, char *instanceId);
