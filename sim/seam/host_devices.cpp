// host_devices.cpp - device files and I/O control (kernel32) on the active
// simulated machine.
//
// A device file "\\.\<name>" exists while a driver serving <name> is loaded.
// The driver answers IOCTL_NDIS_QUERY_GLOBAL_STATS for the query identifiers
// it has answers for, in two layouts: the 12-byte EEPROM layout [request word
// (3), offset, answer word] for the EEPROM identifiers and for EEPROM-content
// answers, the 4-byte answer word for every other identifier. Failures are
// those an NDIS miniport's query produces: ERROR_INSUFFICIENT_BUFFER for an
// output smaller than the layout, ERROR_NOT_SUPPORTED for an identifier it
// does not know, ERROR_INVALID_PARAMETER for a malformed request.

#include <algorithm>
#include <cstring>

#include "seam/host_state.h"

namespace sim {
namespace {

constexpr host::DWORD kEepromReadRequest = 3;
constexpr host::DWORD kEepromLayoutBytes = 12;
constexpr host::DWORD kWordLayoutBytes = 4;
constexpr size_t kMaxRecordedWords = 64;
constexpr host::DWORD kCreateNew = 1;
constexpr host::DWORD kTruncateExisting = 5;

// The answer in force for an identifier at `now`: the latest whose time has come.
const QueryAnswer *AnswerAt(const Driver &driver, host::DWORD oid, std::uint64_t now) {
    auto found = driver.answers.find(oid);
    if (found == driver.answers.end()) {
        return nullptr;
    }
    const QueryAnswer *current = nullptr;
    for (const QueryAnswer &answer : found->second) {
        if (answer.atMs <= now && (current == nullptr || answer.atMs >= current->atMs)) {
            current = &answer;
        }
    }
    return current;
}

host::LONG OpenFile(Machine &machine, const char *fileName, host::DWORD disposition, host::HANDLE *handle) {
    std::string const name = fileName == nullptr ? "" : fileName;
    bool const devicePath = name.rfind("\\\\.\\", 0) == 0;
    std::string const deviceName = devicePath ? name.substr(4) : "";
    // The tool opens device files only; the machine has no others.
    host::LONG const fault = FireFault(machine, Operation::CreateFileA, {name, deviceName});
    host::LONG const refused = fault != host::ERROR_SUCCESS ? fault
                               : fileName == nullptr || disposition < kCreateNew || disposition > kTruncateExisting
                                   ? host::ERROR_INVALID_PARAMETER
                               : name.empty()                               ? host::ERROR_PATH_NOT_FOUND
                               : !devicePath                                ? host::ERROR_FILE_NOT_FOUND
                               : deviceName.empty()                         ? host::ERROR_INVALID_NAME
                               : deviceName.find('\\') != std::string::npos ? host::ERROR_PATH_NOT_FOUND
                                                                            : host::ERROR_SUCCESS;
    if (refused != host::ERROR_SUCCESS) {
        return refused;
    }
    for (size_t i = 0; i < machine.drivers.size(); ++i) {
        std::optional<Interval> const loaded = SpanAt(machine.drivers[i].loaded, machine.nowMs);
        if (EqualsIgnoreCase(machine.drivers[i].deviceName, deviceName) && loaded) {
            std::uintptr_t const value = machine.Internal().NewHandle();
            machine.Internal().files.emplace(value, FileHandle{name, i, loaded->fromMs});
            *handle = reinterpret_cast<host::HANDLE>(value);
            return host::ERROR_SUCCESS;
        }
    }
    return host::ERROR_FILE_NOT_FOUND;
}

// Reads the caller's output buffer as 32-bit words, for the request record.
std::vector<std::uint32_t> WordsOf(const void *buffer, host::DWORD size) {
    std::vector<std::uint32_t> words;
    if (buffer == nullptr) {
        return words;
    }
    for (size_t at = 0; at + 4 <= size && words.size() < kMaxRecordedWords; at += 4) {
        std::uint32_t word;
        std::memcpy(&word, static_cast<const unsigned char *>(buffer) + at, 4);
        words.push_back(word);
    }
    return words;
}

// The driver's side of one query: fills the output buffer or gives an error.
host::LONG AnswerQuery(const QueryAnswer *answer, host::DWORD oid, void *outBuffer, host::DWORD outSize,
                       host::DWORD *written) {
    if (answer == nullptr) {
        return host::ERROR_NOT_SUPPORTED;
    }
    if (answer->kind == QueryAnswer::Kind::Fail) {
        return answer->error;
    }
    bool eepromLayout = answer->kind == QueryAnswer::Kind::Eeprom;
    for (const auto &identifier : kQueryIdentifiers) {
        eepromLayout = eepromLayout || (identifier.oid == oid && identifier.query == Query::Eeprom);
    }
    host::DWORD const layout = eepromLayout ? kEepromLayoutBytes : kWordLayoutBytes;
    if (outSize < layout) {
        return host::ERROR_INSUFFICIENT_BUFFER;
    }
    std::uint32_t result[3] = {0, 0, 0};
    if (eepromLayout) {
        std::memcpy(result, outBuffer, 8);
        if (answer->kind == QueryAnswer::Kind::Eeprom) {
            if (result[0] != kEepromReadRequest) {
                return host::ERROR_INVALID_PARAMETER;
            }
            auto const byte = answer->eeprom.find(result[1]);
            result[2] = byte == answer->eeprom.end() ? 0xFFU : byte->second;
        } else {
            result[2] = answer->word;
        }
    } else {
        result[0] = answer->word;
    }
    host::DWORD const bytes = answer->answerBytes ? std::min(*answer->answerBytes, layout) : layout;
    std::memcpy(outBuffer, result, bytes);
    *written = bytes;
    return host::ERROR_SUCCESS;
}

// Takes DeviceIoControl's arguments and its call record, whose file it fills in.
host::BOOL IoControl(Machine &machine, host::HANDLE device, host::DWORD code, const void *inBuffer, host::DWORD inSize,
                     void *outBuffer, host::DWORD outSize, host::DWORD *bytesReturned, void *overlapped,
                     CallRecord *call) {
    auto &files = machine.Internal().files;
    auto found = files.find(HandleValue(device));
    host::DWORD oid = 0;
    if (inBuffer != nullptr && inSize >= 4) {
        std::memcpy(&oid, inBuffer, 4);
    }
    call->fileName = found == files.end() ? "" : found->second.fileName;
    std::string const deviceName = found == files.end() ? "" : machine.drivers[found->second.driver].deviceName;
    host::LONG const fault = FireFault(machine, Operation::DeviceIoControl, {call->fileName, deviceName, Hex(oid)});
    host::LONG const refused = fault != host::ERROR_SUCCESS                        ? fault
                               : found == files.end()                              ? host::ERROR_INVALID_HANDLE
                               : bytesReturned == nullptr && overlapped == nullptr ? host::ERROR_INVALID_PARAMETER
                                                                                   : host::ERROR_SUCCESS;
    if (refused != host::ERROR_SUCCESS) {
        return FinishCall(machine, refused);
    }
    const Driver &driver = machine.drivers[found->second.driver];
    // The words are taken before the answer overwrites them.
    DriverRequest request{machine.nowMs, driver.deviceName, code, oid, inSize, outSize, WordsOf(outBuffer, outSize)};

    host::LONG error;
    host::DWORD written = 0;
    std::optional<Interval> const loaded = SpanAt(driver.loaded, machine.nowMs);
    if (!loaded || loaded->fromMs != found->second.loadedFromMs) {
        error = host::ERROR_DEVICE_NOT_CONNECTED; // the driver went away under the open file
    } else if (code != host::IOCTL_NDIS_QUERY_GLOBAL_STATS) {
        error = host::ERROR_INVALID_FUNCTION;
    } else if (inBuffer == nullptr || inSize < 4) {
        error = host::ERROR_INVALID_PARAMETER;
    } else if (outBuffer == nullptr && outSize > 0) {
        error = host::ERROR_NOACCESS;
    } else {
        error = AnswerQuery(AnswerAt(driver, oid, machine.nowMs), oid, outBuffer, outSize, &written);
    }
    machine.requests.push_back(std::move(request));
    if (error != host::ERROR_SUCCESS) { // the byte count is left as it was, as Wine 8 leaves it
        return FinishCall(machine, error);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = written;
    }
    return host::TRUE;
}

host::BOOL CloseObject(Machine &machine, host::HANDLE object, CallRecord *call) {
    Machine::State &state = machine.Internal();
    auto file = state.files.find(HandleValue(object));
    auto key = state.keys.find(HandleValue(object));
    call->fileName = file != state.files.end() ? file->second.fileName : "";
    call->keyPath = key != state.keys.end() ? key->second.path : "";
    std::string const what = key != state.keys.end() ? "HKLM\\" + call->keyPath : call->fileName;
    if (host::LONG const fault = FireFault(machine, Operation::CloseHandle, {what})) {
        return FinishCall(machine, fault);
    }
    if (object == host::INVALID_HANDLE_VALUE) {
        return host::TRUE; // the current process's pseudo handle: closing it does nothing
    }
    if (file != state.files.end()) {
        state.files.erase(file);
        return host::TRUE;
    }
    if (key != state.keys.end()) {
        state.keys.erase(key); // registry keys are kernel handles too
        return host::TRUE;
    }
    return FinishCall(machine, host::ERROR_INVALID_HANDLE);
}

} // namespace
} // namespace sim

namespace host {

HANDLE CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode, void * /*securityAttributes*/,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE /*templateFile*/) {
    sim::Machine &machine = sim::ActiveMachine();
    HANDLE handle = INVALID_HANDLE_VALUE;
    LONG const error = sim::OpenFile(machine, fileName, creationDisposition, &handle);
    sim::SetLastError(machine, error);
    sim::CallRecord call;
    call.fileName = fileName == nullptr ? "" : fileName;
    call.access = desiredAccess;
    call.share = shareMode;
    call.disposition = creationDisposition;
    call.attributes = flagsAndAttributes;
    sim::LogCall(machine, sim::Operation::CreateFileA, error, call);
    return handle;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void *inBuffer, DWORD inBufferSize, void *outBuffer,
                     DWORD outBufferSize, DWORD *bytesReturned, void *overlapped) {
    return sim::LogBoolCall(sim::Operation::DeviceIoControl, [&](sim::Machine &machine, sim::CallRecord &call) {
        BOOL const result = sim::IoControl(machine, device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                           outBufferSize, bytesReturned, overlapped, &call);
        call.ioControlCode = ioControlCode;
        call.bufferSize = outBufferSize;
        call.returned = result != FALSE && bytesReturned != nullptr ? *bytesReturned : 0;
        return result;
    });
}

BOOL CloseHandle(HANDLE object) {
    return sim::LogBoolCall(sim::Operation::CloseHandle, [&](sim::Machine &machine, sim::CallRecord &call) {
        return sim::CloseObject(machine, object, &call);
    });
}

} // namespace host
