// on_win32.cpp - the host-contract suite as a 32-bit Windows program over the
// forwarding layer (src/host/win32), run under Wine by the runner on the
// machine of machine.json. The values host_extra.h gives the further error
// codes are held to what the real functions return by the suite itself.

#include <cstdint>

#include "harness.h"

// kernel32, declared here: the SDK's macros would rewrite host_extra.h.
extern "C" {
__declspec(dllimport) unsigned long __stdcall GetLastError();
__declspec(dllimport) int __stdcall QueryPerformanceCounter(std::int64_t *count);
__declspec(dllimport) int __stdcall QueryPerformanceFrequency(std::int64_t *frequency);
}

namespace host {

DWORD GetLastError() { return static_cast<DWORD>(::GetLastError()); }

} // namespace host

namespace contract {

bool WindowsBehaviourChecked(const char *difference, const char *evidence) {
    NoteDifference(difference, evidence, false);
    return false;
}

// Never reached: only the simulated host checks what needs these.
void SetDevicePresent(const char *, bool) { CHECK(false); }
void SetWindowsVersion(host::DWORD, host::DWORD, host::DWORD, host::BYTE, int) { CHECK(false); }

std::uint64_t ElapsedMs() {
    std::int64_t now = 0;
    std::int64_t frequency = 1;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::uint64_t>(now) * 1000 / static_cast<std::uint64_t>(frequency);
}

} // namespace contract

int main() { contract::RunAllAndExit("Windows (32-bit, forwarding layer)"); }
