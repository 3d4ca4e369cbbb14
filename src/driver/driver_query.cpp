// driver_query.cpp - NDIS query requests to the adapter's driver through the
// device file named by MacFileName.

#include "driver/driver_query.h"

#include "adapter/adapter_detection.h"
#include "common/trace.h"
#include "host/version.h"

namespace {

// Takes the older and the newer identifier of one query. Returns the one the
// running Windows calls for, from a version code obtained afresh.
host::DWORD ChooseOid(host::DWORD older, host::DWORD newer) {
    std::int32_t code = 0;
    GetOSVersionCode(&code);
    return code < kNewerOidCode ? older : newer;
}

} // namespace

int QueryOID(host::DWORD oid, void *outBuffer, host::DWORD outSize, host::DWORD *bytesReturned) {
    if (MacFileName[0] == '\0') {
        Trace("[VT][ZoWLAPI] QueryOID Get Mac file failed!");
        return 0;
    }
    host::HANDLE const device = host::CreateFileA(MacFileName, 0, host::FILE_SHARE_READ, nullptr, host::OPEN_EXISTING,
                                                  0, host::INVALID_HANDLE_VALUE);
    if (device == host::INVALID_HANDLE_VALUE) {
        Trace("[VT][ZoWLAPI] QueryOID create Mac file failed!");
        return 0;
    }
    host::DWORD identifier = oid;
    *bytesReturned = 0;
    host::BOOL const answered = host::DeviceIoControl(device, host::IOCTL_NDIS_QUERY_GLOBAL_STATS, &identifier,
                                                      sizeof identifier, outBuffer, outSize, bytesReturned, nullptr);
    if (!answered) {
        Trace("[VT][ZoWLAPI] QueryOID Failed!\n");
    }
    host::CloseHandle(device);
    return answered ? 1 : 0;
}

std::uint8_t QueryEepromByte() {
    host::DWORD const oid = ChooseOid(kOidEepromOlder, kOidEepromNewer);
    // Request word, offset, answer word. The answer word starts at 0 so that
    // a failed request traces 0 rather than whatever the stack held.
    host::DWORD request[3] = {kEepromReadRequest, kEepromOffset, 0};
    host::DWORD returned = 0;
    QueryOID(oid, request, sizeof request, &returned);
    std::uint8_t const value = static_cast<std::uint8_t>(request[2] & 0xFFU);
    Trace(" Offset 0x38 = 0x%x \n", static_cast<unsigned>(value));
    return value;
}

std::int32_t GetSupportCountryRegion() {
    host::DWORD const oid = ChooseOid(kOidCountryRegionOlder, kOidCountryRegionNewer);
    host::DWORD answer = 0;
    host::DWORD returned = 0;
    QueryOID(oid, &answer, sizeof answer, &returned);
    unsigned const region = (answer >> 8) & 0x7FU;
    unsigned const companion = answer & 0x7FU;
    Trace(" GetSupportCountryRegion Offset 0x38 = 0x%x , 0x39 = 0x%x \n", region, companion);
    return static_cast<std::int32_t>(region);
}
