// kit_program.cpp - running EdccaProvision.exe from the kit's own folder,
// its standard output and error read into memory, within a time limit.

#include "kit/win32/kit_shell.h"

#include <cstring>

namespace shell {
namespace {

constexpr char kProgramName[] = "EdccaProvision.exe";
constexpr DWORD kPipeBytes = 64 * 1024;
constexpr DWORD kPollMs = 50;
constexpr DWORD kEndWaitMs = 5000;

// Takes the run. Writes the program's full path beside the kit into
// run->path. Returns 1, or 0 (with run->error) when it cannot be formed or
// is longer than MAX_PATH.
int FormProgramPath(ProgramRun *run) {
    DWORD const length = GetModuleFileNameA(nullptr, run->path, kMostPathBytes);
    if (length == 0 || length >= kMostPathBytes) {
        run->error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        run->path[length == 0 ? 0 : kMostPathBytes - 1] = '\0';
        return 0;
    }
    char *slash = std::strrchr(run->path, '\\');
    std::size_t const folder = slash == nullptr ? 0 : static_cast<std::size_t>(slash - run->path) + 1;
    if (folder == 0 || folder + sizeof kProgramName > kMostPathBytes) {
        run->error = ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    std::memcpy(run->path + folder, kProgramName, sizeof kProgramName);
    if (folder + sizeof kProgramName > MAX_PATH) {
        run->error = ERROR_FILENAME_EXCED_RANGE;
        return 0;
    }
    return 1;
}

// Takes the pipe's read end, the buffer and the run. Reads what the pipe
// holds now, without waiting; what does not fit is read and dropped, so
// that the program never blocks on a full pipe.
void DrainPipe(HANDLE pipe, char *trace, std::size_t capacity, ProgramRun *run) {
    char spill[4096];
    // Bounded, so that a program that writes without pause still meets its
    // time limit between two calls.
    for (DWORD read = 0; read < kPipeBytes;) {
        DWORD available = 0;
        if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) == 0 || available == 0) {
            return;
        }
        std::size_t const room = capacity - run->length;
        char *into = room > 0 ? trace + run->length : spill;
        DWORD const ask = room > 0 ? (available < room ? available : static_cast<DWORD>(room))
                                   : (available < sizeof spill ? available : static_cast<DWORD>(sizeof spill));
        DWORD got = 0;
        if (ReadFile(pipe, into, ask, &got, nullptr) == 0 || got == 0) {
            return;
        }
        if (room > 0) {
            run->length += got;
        }
        read += got;
    }
}

} // namespace

int RunProgram(ProgramRun *run, char *trace, std::size_t capacity, DWORD limitMs) {
    run->started = false;
    run->endedForTime = false;
    run->error = 0;
    run->exitCode = 0;
    run->length = 0;
    if (FormProgramPath(run) == 0) {
        return 0;
    }
    // Only the write end is inherited: the program's standard output and error.
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (CreatePipe(&readEnd, &writeEnd, &inherited, kPipeBytes) == 0) {
        run->error = GetLastError();
        return 0;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    // The command line names the program by its full path, quoted; nothing
    // is looked up in PATH or the current folder.
    char commandLine[kMostPathBytes + 3];
    std::size_t const pathLength = std::strlen(run->path);
    commandLine[0] = '"';
    std::memcpy(commandLine + 1, run->path, pathLength);
    commandLine[pathLength + 1] = '"';
    commandLine[pathLength + 2] = '\0';
    // The program inherits the pipe's write end only: the engine's own
    // standard handles, inheritable as the engine gave them, stay the kit's,
    // so that a program that outlives the kit holds no engine's pipe open.
    DWORD const standard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : standard) {
        HANDLE const handle = GetStdHandle(which);
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
        }
    }
    PROCESS_INFORMATION process;
    std::memset(&process, 0, sizeof process);
    BOOL const created = CreateProcessA(run->path, commandLine, nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                        nullptr, &startup, &process);
    run->error = created != 0 ? 0 : GetLastError();
    CloseHandle(writeEnd);
    if (created == 0) {
        CloseHandle(readEnd);
        return 0;
    }
    run->started = true;
    CloseHandle(process.hThread);
    DWORD const start = GetTickCount();
    for (;;) {
        DrainPipe(readEnd, trace, capacity, run);
        if (WaitForSingleObject(process.hProcess, kPollMs) == WAIT_OBJECT_0) {
            break;
        }
        if (GetTickCount() - start >= limitMs) {
            TerminateProcess(process.hProcess, ERROR_TIMEOUT);
            WaitForSingleObject(process.hProcess, kEndWaitMs);
            run->endedForTime = true;
            break;
        }
    }
    // The program has ended: what it wrote is in the pipe already.
    DrainPipe(readEnd, trace, capacity, run);
    GetExitCodeProcess(process.hProcess, &run->exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    return 1;
}

} // namespace shell
