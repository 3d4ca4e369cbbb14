// kit_shell.h - the shell's Win32 work for kit_main.cpp: the lock, the
// program's run, the log folder and its files, the clock and the computer's
// name. Each routine closes what it opens on every path.

#pragma once

#include <windows.h>

#include <cstddef>

#include "kit/core/kit_text.h"

namespace shell {

constexpr char kKitVersion[] = "2.0.0";
constexpr std::size_t kMostPathBytes = 1024;

// Takes a procedure's name. Returns its address in kernel32 as the call
// type given, or nullptr where this Windows lacks it (the program loads on
// Windows XP, which lacks the calls of later versions).
template <typename Call> Call FindKernelCall(const char *name) {
    HMODULE const kernel = GetModuleHandleA("kernel32.dll");
    // Through void (*)(): the one function type any other may be cast from.
    return kernel == nullptr ? nullptr
                             : reinterpret_cast<Call>(reinterpret_cast<void (*)()>(GetProcAddress(kernel, name)));
}

// ---- kit_lock.cpp

// Takes the longest wait in milliseconds. Takes the kit's lock, waiting for
// another run to release it. Returns 1 with *waitedMs the time waited, or 0
// when the wait ran out (Busy).
int TakeLock(DWORD waitMs, DWORD *waitedMs);
// Releases the lock taken by TakeLock.
void ReleaseLock();

// ---- kit_program.cpp

struct ProgramRun {
    bool started;              // CreateProcess succeeded
    bool endedForTime;         // the time limit ran out and the program was ended
    DWORD error;               // GetLastError when it did not start
    DWORD exitCode;            // when it ended
    char path[kMostPathBytes]; // where it was looked for
    std::size_t length;        // bytes of trace
};

// Takes the run to fill, a buffer for the program's standard output and
// error and its size, and the time limit in milliseconds. Runs
// EdccaProvision.exe from the kit's own folder. Returns 1 when it started.
int RunProgram(ProgramRun *run, char *trace, std::size_t capacity, DWORD limitMs);

// ---- kit_files.cpp

struct LogFolder {
    char windows[MAX_PATH];          // GetSystemWindowsDirectoryA
    char logs[kMostPathBytes];       // <windows>\Logs
    char folder[kMostPathBytes];     // <windows>\Logs\EdccaProvision
    char log[kMostPathBytes];        // ...\log.txt
    char oldLog[kMostPathBytes];     // ...\log.1.txt
    char collection[kMostPathBytes]; // ...\collection
};

// Takes the folder record to fill. Returns 1, or 0 when the paths cannot be
// formed.
int MakeLogFolderPaths(LogFolder *folder);

// Takes the folder record. Checks <windows>\Logs, the log folder and every
// file the kit writes there; creates the folders that are missing. Returns
// 1, or 0 with *unsafePath the first one that is a link or has other links.
// A folder that could not be created is no refusal: writes into it fail.
int PrepareLogFolder(const LogFolder &folder, char *unsafePath);

// Takes the folder record and a whole log record. Moves log.txt to log.1.txt
// at 1 MB, then appends the record. Returns 1, or 0 when it was not written
// whole.
int AppendLogRecord(const LogFolder &folder, const char *record, std::size_t length);

// Takes the folder record. Moves collection to collection.1 and collection.1
// to collection.2, removing the oldest without following links, and makes a
// new collection folder. Returns 1, or 0 when it could not be made.
int MakeCollectionFolder(const LogFolder &folder);

// A sink writing the files of a collection into the collection folder.
struct CollectionFiles {
    const LogFolder *folder;
    HANDLE file;
    char path[kMostPathBytes];
    bool failed;
};
int BeginCollectionFile(void *context, const char *fileName);
int AppendCollectionFile(void *context, const char *bytes, std::size_t length);
int EndCollectionFile(void *context, bool keep);

// ---- kit_machine.cpp

// Takes a text buffer. Appends the current UTC time, ISO 8601.
void AppendNow(kit::TextBuffer *out);
// Takes a buffer of MAX_COMPUTERNAME_LENGTH + 1 bytes. Writes the computer's
// name ("" when Windows gives none).
void ReadComputerName(char *name);
// Takes text and its length. Writes it to standard output, a lone LF as CR LF.
// Takes security attributes to fill and an SDDL text. Returns 1 with its
// security descriptor in them, not inheritable (LocalFree it), or 0.
int MakeSecurityAttributes(SECURITY_ATTRIBUTES *attributes, const char *sddl);

void WriteOutput(const char *text, std::size_t length);

} // namespace shell
