// kit_arguments.cpp - the kit's command line, read as msvcrt and
// CommandLineToArgvW split it into arguments.

#include "kit/core/kit_arguments.h"

#include <cstddef>

namespace kit {
namespace {

// Longer than every switch: an argument cut to it is none of them.
constexpr std::size_t kMostArgumentBytes = 16;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Takes where an argument begins (not a blank, not the end) and a buffer of
// kMostArgumentBytes. Copies the argument's text as far as it fits. Returns
// where the argument ends.
// Backslashes are kept as text: Windows reads those before a quote apart, but
// whatever it makes of them, an argument holding one is no switch, and
// anything after the first argument makes the command line wrong.
const char *ReadArgument(const char *at, char *text) {
    std::size_t length = 0;
    bool quoted = false;
    for (; *at != '\0' && (quoted || !IsBlank(*at)); ++at) {
        char c = *at;
        if (c == '"' && !(quoted && at[1] == '"')) {
            quoted = !quoted;
            continue;
        }
        // Inside quotes a doubled quote is one quote of text.
        at += c == '"' ? 1 : 0;
        if (length + 1 < kMostArgumentBytes) {
            text[length++] = c;
        }
    }
    text[length] = '\0';
    return at;
}

// Takes two texts. Returns whether they are equal, a-z and A-Z taken alike.
bool EqualsIgnoringCase(const char *left, const char *right) {
    for (;; ++left, ++right) {
        char a = *left >= 'a' && *left <= 'z' ? static_cast<char>(*left - 'a' + 'A') : *left;
        char b = *right >= 'a' && *right <= 'z' ? static_cast<char>(*right - 'a' + 'A') : *right;
        if (a != b) {
            return false;
        }
        if (a == '\0') {
            return true;
        }
    }
}

} // namespace

const char *SkipProgramName(const char *commandLine) {
    const char *at = commandLine;
    if (*at == '"') {
        ++at;
        while (*at != '\0' && *at != '"') {
            ++at;
        }
        if (*at == '"') {
            ++at;
        }
    } else {
        while (*at != '\0' && !IsBlank(*at)) {
            ++at;
        }
    }
    return at;
}

Command ParseCommandLine(const char *arguments) {
    char first[kMostArgumentBytes];
    const char *at = arguments;
    while (IsBlank(*at)) {
        ++at;
    }
    if (*at == '\0') {
        return Command::Provision;
    }
    at = ReadArgument(at, first);
    while (IsBlank(*at)) {
        ++at;
    }
    // A second argument, even an empty one, is not ignored: it is wrong.
    if (*at != '\0') {
        return Command::Wrong;
    }
    if (EqualsIgnoringCase(first, "/collect")) {
        return Command::Collect;
    }
    if (EqualsIgnoringCase(first, "/uninstall")) {
        return Command::Uninstall;
    }
    if (EqualsIgnoringCase(first, "/status")) {
        return Command::Status;
    }
    if (EqualsIgnoringCase(first, "/?")) {
        return Command::Help;
    }
    return Command::Wrong;
}

} // namespace kit
