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
#include <string_view>
#include <vector>

#include "machine/host_extra.h"
#include "machine/registry.h"
#include "machine/text.h"

namespace sim {

constexpr std::uint64_t kForever = UINT64_MAX;

// A half-open span of virtual time [fromMs, untilMs).
struct Interval {
    std::uint64_t fromMs = 0;
    std::uint64_t untilMs = kForever;
};
// Takes a timeline and a time. Returns the span that holds the time (the
// whole of time for an empty timeline, which means "always"), or none.
std::optional<Interval> SpanAt(const std::vector<Interval> &timeline, std::uint64_t t);

// Device presence: a timeline by Enum instance path ("USB\\VID_..\\inst"), found in any case.
using Presence = std::map<std::string, std::vector<Interval>, LessIgnoringCase>;
// Takes the presence and an instance path in any case. Returns its timeline:
// empty (always) for one not listed.
const std::vector<Interval> &PresenceOf(const Presence &presence, std::string_view path);

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
    host::UINT codePage = 1252;    // GetACP: the ANSI code page every A call speaks
};

// The four query identifiers the tool sends, by Windows generation, and
// what each asks for: one table, for a scenario's shorthands (what to
// identifiers) and a driver's answer layout (identifier to what).
constexpr host::DWORD kOidEepromOlder = 0x0D710105;
constexpr host::DWORD kOidRegionOlder = 0x0D710107;
constexpr host::DWORD kOidEepromNewer = 0xFF0C0008;
constexpr host::DWORD kOidRegionNewer = 0xFF0C0003;
enum class Query { Eeprom, Region };
constexpr struct {
    host::DWORD oid;
    Query query;
} kQueryIdentifiers[] = {{kOidEepromOlder, Query::Eeprom},
                         {kOidRegionOlder, Query::Region},
                         {kOidEepromNewer, Query::Eeprom},
                         {kOidRegionNewer, Query::Region}};

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
};

// Makes an operation fail (one FaultOperation accepts, machine/text.h).
// Matches by operation and by a subject (key path, value name, file name or property code as decimal text),
// compared without regard to case; an empty subject matches every call. callNumber 0 fails every
// matching call, n fails only the n-th matching call (1-based).
struct Fault {
    Operation operation = Operation::RegOpenKeyExA;
    std::string subject;
    int callNumber = 0;
    host::LONG error = host::ERROR_GEN_FAILURE;
    host::DWORD access = 0; // RegOpenKeyExA only: nonzero matches just the opens asking for exactly these rights
    int seen = 0;           // matching calls so far
};

// One host call as the simulated host saw it, at the virtual time it was
// made: its operation, its status, and what it named, asked for and got, each
// in the field named for it (the fields that do not apply stay empty or 0).
struct CallRecord {
    std::uint64_t atMs = 0;
    Operation operation = Operation::RegOpenKeyExA;
    host::LONG status = 0; // ERROR_SUCCESS, or the error it failed with (for a lost write, why it was lost)
    std::string keyPath;   // the registry key below HKLM: as named to RegOpenKeyExA, else as the handle opened it
    std::string valueName;
    std::string fileName;     // CreateFileA's file; the file of a DeviceIoControl or CloseHandle handle
    std::string className;    // SetupDiClassGuidsFromNameA
    std::string classGuid;    // SetupDiGetClassDevsA, as "{...}"
    host::DWORD access = 0;   // rights or access asked for
    host::DWORD options = 0;  // RegOpenKeyExA's
    host::DWORD reserved = 0; // RegSetValueExA's
    host::DWORD share = 0;    // CreateFileA's share mode, disposition and flags and attributes
    host::DWORD disposition = 0;
    host::DWORD attributes = 0;
    host::DWORD flags = 0;      // SetupDiGetClassDevsA's DIGCF_ and LocalAlloc's LMEM_ flags
    host::DWORD structSize = 0; // the caller's cbSize or dwOSVersionInfoSize
    host::DWORD property = 0;   // SPDRP_ code
    host::DWORD ioControlCode = 0;
    host::DWORD bufferSize = 0; // the caller's buffer: data, property, class list, output
    host::DWORD returned = 0;   // the size the call reported back; GetLastError's error
    host::DWORD type = 0;       // RegSetValueExA's value type
    std::string data;           // bytes given: RegSetValueExA's data, WriteStandardOutput's text (arrived or lost)
    std::uint64_t bytes = 0;    // LocalAlloc's
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
    Presence presence;
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
    size_t CountCalls(Operation operation) const;

    // The calling thread's last error, as GetLastError would return it.
    host::DWORD LastError() const;

    // Implementation state for sim/seam/ (handle tables and the like).
    struct State;
    State &Internal();

  private:
    std::shared_ptr<State> state_;
};

// A device instance of a registry: the key
// SYSTEM\CurrentControlSet\Enum\<enumerator>\<device>\<instance>, and its path below Enum.
struct DeviceInstance {
    std::string path; // "USB\\VID_13B1&PID_003B\\00E04C3B0001"
    const RegistryKey *key = nullptr;
};
// Takes a registry. Returns its device instances in the order it enumerates them.
std::vector<DeviceInstance> DeviceInstances(const Registry &registry);

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
