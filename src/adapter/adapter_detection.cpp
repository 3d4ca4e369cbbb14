// adapter_detection.cpp - finding the present adapters the tool serves.

#include "adapter/adapter_detection.h"

#include <cstring>

#include "common/format.h"
#include "common/trace.h"
#include "host/host.h"
#include "host/version.h"

char MacFileName[kMacFileNameSize];
char DriverKeyPath[kDriverKeyPathSize];

namespace {

constexpr std::int32_t kNewerLayoutCode = 11;
constexpr char kNetClassName[] = "Net";
constexpr char kDriverClassRoot[] = "System\\CurrentControlSet\\Control\\Class";
constexpr char kNetClassGuid[] = "{4D36E972-E325-11CE-BFC1-08002bE10318}";
constexpr char kClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class";
constexpr char kOlderNetKey[] = "SYSTEM\\CurrentControlSet\\Services\\Class\\Net\\";
constexpr char kOlderIdentifierValue[] = "DeviceVxDs";
constexpr char kIdentifierValue[] = "NetCfgInstanceId";
constexpr char kDeviceFilePrefix[] = "\\\\.\\";
constexpr char kNtDevicePrefix[] = "\\Device\\";

constexpr host::DWORD kPropertyBufferSize = 256;
constexpr host::DWORD kDeviceNameDataSize = 256;
constexpr host::DWORD kInstanceIdDataSize = 128;
constexpr std::size_t kKeyPathSize = 256;
constexpr std::size_t kMessageSize = 1024;
constexpr host::DWORD kClassGuidCapacity = 3;
constexpr std::size_t kInstanceNumberLength = 4;

constexpr std::size_t kDevicePathSize = sizeof(AdapterRecord::DevicePath);
constexpr std::size_t kInstanceIdSize = sizeof(AdapterRecord::InstanceId);
constexpr std::size_t kNtDeviceNameSize = sizeof(AdapterRecord::NtDeviceName);
static_assert(kDevicePathSize == kMacFileNameSize, "the device path and MacFileName hold the same text");

// Takes a key path and value name under HKEY_LOCAL_MACHINE and a data buffer
// with its size. Returns true when the value was read, with the length of its
// text (bounded by the reported size, so a value without NUL ends there).
bool ReadRegistryText(const char *keyPath, const char *valueName, char *data, host::DWORD dataSize,
                      std::size_t *length) {
    host::HKEY key = nullptr;
    if (host::RegOpenKeyExA(host::HKEY_LOCAL_MACHINE, keyPath, 0, host::KEY_READ, &key) != host::ERROR_SUCCESS) {
        return false;
    }
    host::DWORD type = 0;
    host::DWORD size = dataSize;
    host::LSTATUS const status =
        host::RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<host::BYTE *>(data), &size);
    host::RegCloseKey(key);
    if (status != host::ERROR_SUCCESS) {
        return false;
    }
    *length = MeasureBoundedText(data, size < dataSize ? size : dataSize);
    return true;
}

// Takes a device set, one member, a property code and a 256-byte buffer.
// Returns nothing; the read's own result is not used, so a failed read
// leaves the buffer as it was.
void ReadDeviceProperty(host::HDEVINFO devices, host::SP_DEVINFO_DATA *member, host::DWORD property, char *buffer) {
    host::DWORD type = 0;
    host::DWORD requiredSize = 0;
    host::SetupDiGetDeviceRegistryPropertyA(devices, member, property, &type, reinterpret_cast<host::BYTE *>(buffer),
                                            kPropertyBufferSize, &requiredSize);
}

// Takes a character. Returns it with a-z turned into A-Z; nothing else
// changes (no code page's other letters).
char UpperCaseLetter(char letter) {
    return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

// Takes a text buffer and its size. Returns nothing; turns a-z into A-Z up to
// the first NUL, never beyond the buffer.
void UpperCaseText(char *text, std::size_t size) {
    for (std::size_t i = 0; i < size && text[i] != '\0'; ++i) {
        text[i] = UpperCaseLetter(text[i]);
    }
}

// Takes a text with its length and a NUL-terminated pattern. Returns true
// when the pattern occurs anywhere in the text.
bool ContainsPattern(const char *text, std::size_t length, const char *pattern) {
    std::size_t const patternLength = std::strlen(pattern);
    if (patternLength > length) {
        return false;
    }
    for (std::size_t start = 0; start + patternLength <= length; ++start) {
        if (std::memcmp(text + start, pattern, patternLength) == 0) {
            return true;
        }
    }
    return false;
}

// Takes two texts and a length. Returns true when their first `length`
// characters are equal, a-z and A-Z taken alike.
bool EqualIgnoringCase(const char *left, const char *right, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (UpperCaseLetter(left[i]) != UpperCaseLetter(right[i])) {
            return false;
        }
    }
    return true;
}

// Takes a driver key name and its length. Returns the length of its class
// part when the name is a class part and an instance part of exactly four
// characters, joined by the one backslash ("{4d36e972-...}\0007"); 0 for any
// other shape. The instance part is the InstanceNumber that the identifier
// is read under, so that identifier and driver key describe one device.
std::size_t MeasureDriverClassPart(const char *name, std::size_t length) {
    if (length < kInstanceNumberLength + 2) {
        return 0;
    }
    std::size_t const split = length - kInstanceNumberLength - 1;
    if (name[split] != '\\' || std::memchr(name, '\\', split) != nullptr ||
        std::memchr(name + split + 1, '\\', kInstanceNumberLength) != nullptr) {
        return 0;
    }
    return split;
}

// Takes a driver key name's class part, its length and the network class's
// GUID or name. Returns true when the part is that text, in any letter case.
bool IsNetClassPart(const char *classPart, std::size_t length, const char *netClass) {
    return length == std::strlen(netClass) && EqualIgnoringCase(classPart, netClass, length);
}

// Takes a version code, an instance number and a 64-byte device-path field.
// Returns GetAdapterDeviceName's result for the registry layout of that code.
bool ReadAdapterDeviceName(std::int32_t code, const char *instanceNumber, char *devicePath) {
    // Without an instance number the instance key is unknown.
    if (instanceNumber[0] == '\0') {
        return false;
    }
    char keyPath[kKeyPathSize];
    const char *valueName = kIdentifierValue;
    if (code < kNewerLayoutCode) {
        FormatText(keyPath, sizeof keyPath, "%s%s", kOlderNetKey, instanceNumber);
        valueName = kOlderIdentifierValue;
    } else {
        FormatText(keyPath, sizeof keyPath, "%s\\%s\\%s", kClassKey, kNetClassGuid, instanceNumber);
    }
    char data[kDeviceNameDataSize];
    std::size_t length = 0;
    if (!ReadRegistryText(keyPath, valueName, data, sizeof data, &length)) {
        return false;
    }
    // A cut identifier would name another adapter's device file: refused. An
    // empty one names "\\.\", which opens nothing, so the queries fail.
    if (length > kMacFileNameSize - sizeof kDeviceFilePrefix) {
        return false;
    }
    FormatText(devicePath, kDevicePathSize, "%s%.*s", kDeviceFilePrefix, static_cast<int>(length), data);
    FormatText(MacFileName, sizeof MacFileName, "%s%.*s", kDeviceFilePrefix, static_cast<int>(length), data);
    return true;
}

// Takes the device set, a matching member, the table entry it matched, the
// work record and the property buffer. Returns false, with neither module
// string touched, when the device's driver key name is not one whose
// instance key holds the identifier (see MeasureDriverClassPart; also of the
// network class); otherwise describes the device in the cleared work record,
// sets DriverKeyPath and MacFileName and returns true. After it the two
// strings describe one device, or none.
bool DescribeDevice(host::HDEVINFO devices, host::SP_DEVINFO_DATA *member, const AdapterRecord *entry,
                    AdapterRecord *work, char *property) {
    // Cleared so that no field carries an earlier device's text, above all
    // not the device path that is opened below.
    std::memset(work, 0, sizeof *work);
    CopyFieldText(work->HardwareIdPattern, sizeof work->HardwareIdPattern, entry->HardwareIdPattern,
                  sizeof entry->HardwareIdPattern);

    std::memset(property, 0, kPropertyBufferSize);
    ReadDeviceProperty(devices, member, host::SPDRP_FRIENDLYNAME, property);
    CopyFieldText(work->FriendlyName, sizeof work->FriendlyName, property, kPropertyBufferSize);
    if (property[0] == '\0') {
        ReadDeviceProperty(devices, member, host::SPDRP_DEVICEDESC, property);
    }
    CopyFieldText(work->Description, sizeof work->Description, property, kPropertyBufferSize);

    std::memset(property, 0, kPropertyBufferSize);
    ReadDeviceProperty(devices, member, host::SPDRP_DRIVER, property);
    // The buffer was cleared: a name stored without its NUL ends where its
    // bytes do, one that fills the buffer at its end.
    std::size_t const driverLength = MeasureBoundedText(property, kPropertyBufferSize);
    // A name of another shape would point the setting at the hive root, the
    // class root, a class key or another device's key: it has no class part,
    // so it is of no class, and the device takes no part (below).
    std::size_t const classLength = MeasureDriverClassPart(property, driverLength);
    bool const netClassGuid = IsNetClassPart(property, classLength, kNetClassGuid);
    bool const netClassName = IsNetClassPart(property, classLength, kNetClassName);
    char driverKeyPath[kDriverKeyPathSize];
    FormatText(driverKeyPath, sizeof driverKeyPath, "%s\\%.*s", kDriverClassRoot, static_cast<int>(driverLength),
               property);
    if (classLength != 0) {
        CopyFieldText(work->InstanceNumber, sizeof work->InstanceNumber, property + classLength + 1,
                      kInstanceNumberLength);
    }

    std::memset(property, 0, kPropertyBufferSize);
    ReadDeviceProperty(devices, member, host::SPDRP_LOCATION_INFORMATION, property);
    CopyFieldText(work->LocationInformation, sizeof work->LocationInformation, property, kPropertyBufferSize);

    std::memset(property, 0, kPropertyBufferSize);
    ReadDeviceProperty(devices, member, host::SPDRP_MFG, property);
    CopyFieldText(work->Manufacturer, sizeof work->Manufacturer, property, kPropertyBufferSize);

    // The code GetAdapterDeviceName would obtain, taken here so that the
    // layout also decides which class parts take part.
    std::int32_t code = 0;
    GetOSVersionCode(&code);
    // The identifier is read under the network class: the newer layout's key
    // of its GUID, the older layout's Services\Class\Net, which the GUID or
    // the class name names. A name of another class would pair it with
    // another class's key.
    if (!netClassGuid && (code >= kNewerLayoutCode || !netClassName)) {
        // Passed over, the device still costs the look-up GetAdapterInstanceId
        // makes, so that the version probe writes its failure lines as often
        // as for a device that takes part.
        GetOSVersionCode(&code);
        return false;
    }
    CopyFieldText(DriverKeyPath, sizeof DriverKeyPath, driverKeyPath, sizeof driverKeyPath);
    if (!ReadAdapterDeviceName(code, work->InstanceNumber, work->DevicePath)) {
        // An earlier device's file must not answer for this device's key:
        // with no file to ask, the queries fail and nothing is written.
        MacFileName[0] = '\0';
    }
    GetAdapterInstanceId(work->InstanceNumber, work->NtDeviceName, work->InstanceId);
    work->EntryValue1 = entry->EntryValue1;
    work->EntryValue2 = entry->EntryValue2;
    return true;
}

// Takes a device path. Returns true when the device file opens (it is closed
// again at once). An empty path names no device file and is not tried.
bool OpenDeviceFile(const char *devicePath) {
    if (devicePath[0] == '\0') {
        return false;
    }
    host::HANDLE const file = host::CreateFileA(devicePath, 0, host::FILE_SHARE_READ, nullptr, host::OPEN_EXISTING, 0,
                                                host::INVALID_HANDLE_VALUE);
    if (file == host::INVALID_HANDLE_VALUE) {
        return false;
    }
    host::CloseHandle(file);
    return true;
}

// Takes the described work record, the results list and its capacity.
// Returns nothing; when the device file opens, counts the adapter and stores
// the record while the list has room.
void KeepAvailableAdapter(const AdapterRecord *work, AdapterList *results, std::int32_t capacity) {
    if (!OpenDeviceFile(work->DevicePath)) {
        return;
    }
    if (results->Count < capacity) {
        CopyAdapterRecord(GetAdapterRoom(results, results->Count), work);
    }
    ++results->Count;
}

// Takes the device set, one member, the table, the work record, the property
// buffer and the results list with its capacity. Returns nothing; examines
// the member with every table entry its first hardware ID contains.
void ExamineMember(host::HDEVINFO devices, host::SP_DEVINFO_DATA *member, AdapterList *table, AdapterRecord *work,
                   char *property, AdapterList *results, std::int32_t capacity) {
    // A buffer of its own, cleared first: no earlier text takes part in the
    // comparison, and the property reads of a match do not overwrite it.
    char hardwareId[kPropertyBufferSize];
    std::memset(hardwareId, 0, sizeof hardwareId);
    ReadDeviceProperty(devices, member, host::SPDRP_HARDWAREID, hardwareId);
    UpperCaseText(hardwareId, sizeof hardwareId);
    std::size_t const length = MeasureBoundedText(hardwareId, sizeof hardwareId);
    for (std::int32_t index = 0; index < table->Count; ++index) {
        const AdapterRecord *const entry = GetAdapterRoom(table, index);
        if (ContainsPattern(hardwareId, length, entry->HardwareIdPattern)) {
            if (DescribeDevice(devices, member, entry, work, property)) {
                KeepAvailableAdapter(work, results, capacity);
            }
        }
    }
}

// Takes the network class GUID, the table and the results list with its
// capacity. Returns false when the device set cannot be obtained; otherwise
// walks every present member and returns true.
bool WalkNetClass(const host::GUID *netClass, AdapterList *table, AdapterList *results, std::int32_t capacity) {
    host::HDEVINFO const devices = host::SetupDiGetClassDevsA(netClass, nullptr, nullptr, host::DIGCF_PRESENT);
    if (devices == host::INVALID_HANDLE_VALUE) {
        return false;
    }
    char property[kPropertyBufferSize];
    AdapterRecord work;
    host::SP_DEVINFO_DATA member;
    std::memset(&member, 0, sizeof member);
    member.cbSize = sizeof member;
    for (host::DWORD index = 0; host::SetupDiEnumDeviceInfo(devices, index, &member); ++index) {
        ExamineMember(devices, &member, table, &work, property, results, capacity);
    }
    host::SetupDiDestroyDeviceInfoList(devices);
    return true;
}

} // namespace

std::int32_t DetectAdapter(AdapterRecord *record) {
    Trace("--> DetectAdapter()\n");
    AdapterList *list = AllocateAdapterList(1);
    if (list != nullptr && GetAvailableAdapters(list, 1) == ZOWL_ERROR_LIST_TOO_SMALL) {
        std::int32_t const found = list->Count;
        ReleaseAdapterList(list);
        list = AllocateAdapterList(found);
        if (list != nullptr) {
            GetAvailableAdapters(list, found);
        }
    }
    // A list that could not be allocated counts as no adapter found.
    std::int32_t const count = list != nullptr ? list->Count : 0;
    if (count >= 1) {
        CopyAdapterRecord(record, GetAdapterRoom(list, 0));
    } else {
        record->Description[0] = '\0';
        record->HardwareIdPattern[0] = '\0';
        record->DevicePath[0] = '\0';
        record->InstanceNumber[0] = '\0';
    }
    ReleaseAdapterList(list);
    Trace("<-- DetectAdapter()\n");
    return count;
}

std::int32_t GetAvailableAdapters(AdapterList *results, std::int32_t capacity) {
    Trace("--> GetAvailableAdapters()\n");
    char message[kMessageSize];
    std::memset(message, 0, sizeof message);
    AdapterList *const table = BuildSupportedDeviceTable();
    results->Count = 0;
    // Without a table nothing can match: the walk is skipped and no adapter
    // is reported.
    if (table != nullptr) {
        host::GUID classGuids[kClassGuidCapacity];
        std::memset(classGuids, 0, sizeof classGuids);
        host::DWORD guidCount = 0;
        if (!host::SetupDiClassGuidsFromNameA(kNetClassName, classGuids, kClassGuidCapacity, &guidCount)) {
            ReleaseAdapterList(table);
            Trace("<-- GetAvailableAdapters() : return ZOWL_ERROR_UNKNOWN\n");
            return ZOWL_ERROR_UNKNOWN;
        }
        // No GUID for the class name means no network class to walk.
        if (guidCount > 0 && !WalkNetClass(&classGuids[0], table, results, capacity)) {
            ReleaseAdapterList(table);
            Trace("<-- GetAvailableAdapters() : devs == INVALID_HANDLE_VALUE\n");
            return ZOWL_ERROR_NO_DEVICE_SET;
        }
        ReleaseAdapterList(table);
    }
    std::int32_t result = results->Count;
    if (result == 0) {
        Trace("GetAvailableAdapters() : No Available Adapter\n");
    } else if (result > capacity) {
        result = ZOWL_ERROR_LIST_TOO_SMALL;
    }
    FormatText(message, sizeof message, "<-- GetAvailableAdapters() :  Available adapter number = %d\n",
               static_cast<int>(result));
    Trace("%s", message);
    return result;
}

bool GetAdapterDeviceName(const char *instanceNumber, char *devicePath) {
    std::int32_t code = 0;
    GetOSVersionCode(&code);
    return ReadAdapterDeviceName(code, instanceNumber, devicePath);
}

bool GetAdapterInstanceId(const char *instanceNumber, char *ntDeviceName, char *instanceId) {
    std::int32_t code = 0;
    GetOSVersionCode(&code);
    if (code < kNewerLayoutCode) {
        return false; // the older layout keeps no instance identifier
    }
    if (instanceNumber[0] == '\0') {
        return false;
    }
    char keyPath[kKeyPathSize];
    FormatText(keyPath, sizeof keyPath, "%s\\%s\\%s", kClassKey, kNetClassGuid, instanceNumber);
    char data[kInstanceIdDataSize];
    std::size_t length = 0;
    if (!ReadRegistryText(keyPath, kIdentifierValue, data, sizeof data, &length)) {
        return false;
    }
    // Refused rather than cut, like the device name: a cut identifier is
    // another adapter's.
    if (length > kInstanceIdSize - 1) {
        return false;
    }
    CopyFieldText(instanceId, kInstanceIdSize, data, length);
    FormatText(ntDeviceName, kNtDeviceNameSize, "%s%.*s", kNtDevicePrefix, static_cast<int>(length), data);
    return true;
}
