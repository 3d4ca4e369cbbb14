// main_cycle.h - the tool's entry routine: up to 40 attempts to find the
// adapter, read its country region and, on region 1, switch on EDCCA.

#pragma once

#include "host/host.h"

constexpr int kMaxAttempts = 40;
constexpr host::DWORD kAttemptPauseMs = 200;
constexpr char kEdccaValueName[] = "EDCCAEnable";

// Takes nothing. Writes EDCCAEnable = "1" (REG_SZ) into the driver key named
// by DriverKeyPath. Returns 1 when the value was stored, 0 when the key could
// not be opened or the value not stored (each traced). The key is closed on
// every path.
int WriteEdccaSetting();

constexpr int kAttemptGoesOn = 0;
constexpr int kAttemptEnds = 1;

// Takes nothing. Makes one attempt: detects the adapter, asks its driver for
// the EEPROM byte and the region code, and decides on the code. Returns
// kAttemptEnds when the tool is done (region 2 or 9, or region 1 with the
// setting written), kAttemptGoesOn otherwise (no adapter, no decision, or a
// failed write).
int RunAttempt();

// The process entry after start-up (host/win32/entry.c on Windows). Its
// arguments are not used. It never returns: every end is ExitProcess(0).
extern "C" int EDCCA_WINAPI WinMain(host::HINSTANCE instance, host::HINSTANCE previousInstance, char *commandLine,
                                    int showState);
