// machine.h - a simulated Windows machine behind the host seam.
//
// The machine holds the registry, the version information, the device
// presence timeline, the drivers with their device files and answers, a
// virtual clock, injected faults, a log of every host call, and the process's
// standard output. sim/seam/ implements every function of src/host/host.h
// against the machine made active with MachineScope.

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/registry.h"
#include "machine/host_extra.h"

namespace sim {

constexpr std::uint64_t kForever = UINT64_MAX;

// A half-open span of virtual time [fromMs, untilMs).
struct Interval {
    std::uint64_t fromMs = 0;
    std::uint64_t untilMs = kForever;
    bool Contains(std::uint64_t t) const { return t >= fromMs && t < untilMs; }
};
// An empty timeline means "always".
bool InTimeline(const std::vector<Interval> &timeline, std::uint64_t t);

struct VersionInfo {
    host::DWORD major = 6;
    host::DWORD minor = 2;
    host::DWORD build = 9200;
    host::DWORD platformId = 2;
    host::BYTE productType = host::VER_NT_WORKSTATION;
    int serverR2 = 0;             // GetSystemMetrics(SM_SERVERR2)
    bool getVersionFails = false; // GetVersionExA fills nothing and fails (ERROR_GEN_FAILURE)
    std::string csdVersion;       // szCSDVersion, e.g. "Service Pack 1"; at most 127 characters
    host::WORD servicePackMajor = 0;
    host::WORD servicePackMinor = 0;
    host::WORD suiteMask = 0x0100; // VER_SUITE_SINGLEUSERTS, as a workstation reports it
};

// The four query identifiers the tool sends, by Windows generation.
constexpr host::DWORD kOidEepromOlder = 0x0D710105;
constexpr host::DWORD kOidRegionOlder = 0x0D710107;
constexpr host::DWORD kOidEepromNewer = 0xFF0C0008;
constexpr host::DWORD kOidRegionNewer = 0xFF0C0003;

// What a driver answers to one query identifier from a point in time on.
struct QueryAnswer {
    std::uint64_t atMs = 0;
    enum class Kind {
        Word,   // a 32-bit answer word (country region: written to the 4-byte buffer)
        Eeprom, // EEPROM contents: the byte at the requested offset goes to word 3
        Fail,   // DeviceIoControl fails with `error`
    } kind = Kind::Word;
    std::uint32_t word = 0;
    std::map<std::uint32_t, std::uint8_t> eeprom; // offset -> byte; absent offsets read 0xFF
    host::LONG error = host::ERROR_GEN_FAILURE;
    std::optional<host::DWORD> answerBytes; // answer fewer bytes than the layout (a short answer)
};

struct Driver {
    std::string deviceName;       // the name behind "\\.\", e.g. "{GUID}"; matched without regard to case
    std::vector<Interval> loaded; // when the device file exists; empty = always
    std::map<std::uint32_t, std::vector<QueryAnswer>> answers; // by query identifier, ordered by atMs
};

// A request as the driver saw it.
struct DriverRequest {
    std::uint64_t atMs = 0;
    std::string deviceName;
    host::DWORD ioControlCode = 0;
    host::DWORD oid = 0; // first input word (0 when the input is shorter)
    host::DWORD inSize = 0;
    host::DWORD outSize = 0;
    std::vector<std::uint32_t> prefilled; // the output buffer's words as the caller filled them
    bool answered = false;
    host::DWORD bytesReturned = 0;
};

// Makes an operation fail. Matches by operation name (the Win32 name), by a
// subject (key path, value name, file name or property code as decimal text),
// compared without regard to case; an empty subject matches every call. callNumber 0 fails every
// matching call, n fails only the n-th matching call (1-based).
struct Fault {
    std::string operation;
    std::string subject;
    int callNumber = 0;
    host::LONG error = host::ERROR_GEN_FAILURE;
    host::DWORD access = 0; // RegOpenKeyExA only: nonzero matches just the opens asking for exactly these rights
    int seen = 0;           // matching calls so far
};

// What a call named, asked for and got, as fields (those that apply to it;
// the others stay empty or 0), so that a check does not depend on the
// readable text.
struct CallFields {
    std::string path;       // the key below HKLM (as named, or as opened for a handle), device file or class name
    std::string name;       // the registry value
    host::DWORD access = 0; // rights or access asked for
    host::DWORD share = 0;  // CreateFileA's share mode
    host::DWORD disposition = 0;
    host::DWORD flags = 0;    // flags and attributes, SetupDiGetClassDevsA's flags, options, the reserved word
    host::DWORD size = 0;     // size given: buffer, cbSize, list length, allocation, data; Sleep's milliseconds
    host::DWORD returned = 0; // size the call reported back
    host::DWORD property = 0; // SPDRP_ code
    host::DWORD type = 0;     // registry type written
    std::string data;         // bytes written
    host::LONG status = 0;    // ERROR_SUCCESS, or the error the call failed with
};

struct CallRecord : CallFields {
    std::uint64_t atMs = 0;
    std::string operation; // Win32 name
    std::string arguments; // readable, e.g. "HKLM\\System\\...", KEY_READ
    std::string result;    // readable, e.g. "0", "ERROR_FILE_NOT_FOUND", "handle 3"
};

// How the simulated process ended.
struct ProcessOutcome {
    bool exited = false; // ended through ExitProcess
    host::UINT exitCode = 0;
    std::uint64_t endedAtMs = 0;
};

class Machine {
  public:
    Machine();

    Registry registry;
    VersionInfo version;
    std::map<std::string, std::vector<Interval>>
        presence; // by Enum instance path ("USB\\VID_..\\inst"), upper-cased keys
    std::vector<Driver> drivers;
    std::vector<Fault> faults;

    std::uint64_t nowMs = 0;
    bool realTime = false; // Sleep also sleeps for real

    std::vector<CallRecord> calls;
    std::vector<DriverRequest> requests;
    std::string standardOutput;  // every byte the process wrote
    std::vector<size_t> flushes; // standardOutput's length at each flush (ExitProcess flushes too)
    std::function<void(const char *, size_t)> echoOutput; // optional: streams output as written

    // Audit of what is open right now.
    size_t OpenKeyCount() const;
    size_t OpenHandleCount() const;
    size_t OpenDeviceSetCount() const;
    size_t LiveBlockCount() const;
    std::vector<std::string> OpenObjects() const; // readable, for reports

    // Calls of one operation in the log.
    size_t CountCalls(const std::string &operation) const;

    // The calling thread's last error, as GetLastError would return it.
    host::DWORD LastError() const;

    // Implementation state for sim/seam/ (handle tables and the like).
    struct State;
    State &Internal();

  private:
    std::shared_ptr<State> state_;
};

// Makes a machine the one the host seam works on, for the scope's lifetime.
class MachineScope {
  public:
    explicit MachineScope(Machine &machine);
    ~MachineScope();
    MachineScope(const MachineScope &) = delete;
    MachineScope &operator=(const MachineScope &) = delete;

  private:
    Machine *previous_;
};
Machine &ActiveMachine(); // aborts with a message when none is active

// Runs an entry routine as the simulated process: returns when the routine
// calls ExitProcess (exited = true) or returns on its own (exited = false).
ProcessOutcome RunProcess(Machine &machine, const std::function<void()> &entry);

} // namespace sim
