// kit_machine.cpp - the clock, the computer's name, standard output and
// security descriptors from SDDL.

#include "kit/win32/kit_shell.h"

#include <sddl.h>

namespace shell {

int MakeSecurityAttributes(SECURITY_ATTRIBUTES *attributes, const char *sddl) {
    attributes->nLength = sizeof *attributes;
    attributes->bInheritHandle = FALSE;
    attributes->lpSecurityDescriptor = nullptr;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                &attributes->lpSecurityDescriptor, nullptr) != 0
               ? 1
               : 0;
}

void AppendNow(kit::TextBuffer *out) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    kit::UtcTime const time = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    kit::AppendIsoTime(out, time);
}

void ReadComputerName(char *name) {
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (GetComputerNameA(name, &size) == 0) {
        name[0] = '\0';
    }
}

void WriteOutput(const char *text, std::size_t length) {
    HANDLE const output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) {
        return;
    }
    std::size_t start = 0;
    for (std::size_t at = 0; at <= length; ++at) {
        bool const loneFeed = at < length && text[at] == '\n' && (at == 0 || text[at - 1] != '\r');
        if (at < length && !loneFeed) {
            continue;
        }
        DWORD written = 0;
        if (at > start) {
            WriteFile(output, text + start, static_cast<DWORD>(at - start), &written, nullptr);
        }
        if (loneFeed) {
            WriteFile(output, "\r\n", 2, &written, nullptr);
        }
        start = at + 1;
    }
}

} // namespace shell
