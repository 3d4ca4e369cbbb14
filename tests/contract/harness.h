// harness.h - a small ok()-style harness for the host-contract suite.
//
// The suite (host_contract.cpp) is one source built twice: against the
// simulated host, and as a 32-bit Windows program over the forwarding layer
// that the win32 preset runs under Wine. Each check counts; a failed one
// prints its place, both values and the case it belongs to. Output goes
// through the seam's own standard output, and the program ends through
// ExitProcess, so its last line also proves that output written before
// ExitProcess arrives.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine/host_extra.h"

namespace contract {

using Bytes = std::vector<std::uint8_t>;

// Values as a failure message shows them.
std::string Show(long long value);
std::string Show(const std::string &text);
std::string Show(const Bytes &bytes);
std::string Show(const void *pointer);
inline std::string Show(const char *text) { return Show(std::string(text)); }
template <typename T> std::string Show(T *pointer) { return Show(static_cast<const void *>(pointer)); }
template <typename T> std::string Show(T value) { return Show(static_cast<long long>(value)); }

// Records one check; a failure prints where, what and the current case.
bool Check(bool passed, const char *file, int line, const char *expression, const std::string &detail);

template <typename A, typename B>
bool CheckEqual(const A &got, const B &wanted, const char *file, int line, const char *expression) {
    bool const passed = got == wanted;
    return Check(passed, file, line, expression,
                 passed ? std::string() : "got " + Show(got) + ", expected " + Show(wanted));
}

// The case a group of checks belongs to, shown with each failure in it.
class Case {
  public:
    explicit Case(std::string label);
    ~Case();
    Case(const Case &) = delete;
    Case &operator=(const Case &) = delete;

  private:
    std::string previous_;
};

// Where Wine is known to answer differently from Windows (tests/wine/README.md):
// returns true on the simulated host, which then checks the Windows
// behaviour; the Windows build, run under Wine, returns false. Both list the
// difference by name with its evidence in their report.
bool WindowsBehaviourChecked(const char *difference, const char *evidence);
void NoteDifference(const char *difference, const char *evidence, bool checkedHere);

// Machine changes the seam cannot make, for those Windows-only checks; only
// the simulated host implements them.
void SetDevicePresent(const char *instance, bool present);
void SetWindowsVersion(host::DWORD major, host::DWORD minor, host::DWORD build, host::BYTE productType, int serverR2);

// Milliseconds since an arbitrary origin, on the host's own clock (virtual on
// the simulated host).
std::uint64_t ElapsedMs();

struct Test {
    const char *name;
    void (*run)();
};
struct Registrar {
    Registrar(const char *name, void (*run)());
};

// Runs every test, writes the report and ends the process through
// ExitProcess: code 0 when every check passed, 1 otherwise.
[[noreturn]] void RunAllAndExit(const char *hostName);

} // namespace contract

#define CONTRACT_TEST(name)                                                                                            \
    static void name();                                                                                                \
    static const contract::Registrar name##Registrar(#name, name);                                                     \
    static void name()

#define CHECK(condition) contract::Check((condition), __FILE__, __LINE__, #condition, std::string())
#define CHECK_EQ(got, wanted) contract::CheckEqual((got), (wanted), __FILE__, __LINE__, #got " == " #wanted)
