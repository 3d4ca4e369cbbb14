// kit_arguments.cpp - the kit's command line, read as msvcrt and
// CommandLineToArgvW split it into arguments.

#include "kit/core/kit_arguments.h"

#include <cstddef>

namespace kit {
namespace {

constexpr std::size_t kMostArgumentBytes = 16; // longer than every switch, with its NUL

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Takes where an argument begins (not a blank, not the end) and a buffer of
// kMostArgumentBytes. Copies the argument's text as far as it fits, setting
// *cut when it did not. Returns where the argument ends.
const char *ReadArgument(const char *at, char *text, bool *cut) {
    std::size_t length = 0;
    bool quoted = false;
    *cut = false;
    // Takes one character of the argument's text; keeps it while it fits.
    auto keep = [&](char c) {
        if (length + 1 < kMostArgumentBytes) {
            text[length++] = c;
        } else {
            *cut = true;
        }
    };
    while (*at != '\0' && (quoted || !IsBlank(*at))) {
        if (*at == '\\') {
            std::size_t slashes = 0;
            while (*at == '\\') {
                ++slashes;
                ++at;
            }
            if (*at != '"') {
                for (; slashes > 0; --slashes) {
                    keep('\\');
                }
                continue;
            }
            // Before a quote, backslashes pair off; an odd one makes it text.
            for (std::size_t pairs = slashes / 2; pairs > 0; --pairs) {
                keep('\\');
            }
            if (slashes % 2 == 1) {
                keep('"');
                ++at;
                continue;
            }
        }
        if (*at == '"') {
            // Inside quotes, a doubled quote is one quote of text (msvcrt
            // since 2008); else a quote opens or closes.
            if (quoted && at[1] == '"') {
                keep('"');
                at += 2;
                continue;
            }
            quoted = !quoted;
            ++at;
            continue;
        }
        keep(*at);
        ++at;
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
    bool cut = false;
    const char *at = arguments;
    while (IsBlank(*at)) {
        ++at;
    }
    if (*at == '\0') {
        return Command::Provision;
    }
    at = ReadArgument(at, first, &cut);
    while (IsBlank(*at)) {
        ++at;
    }
    // A second argument, even an empty one, is not ignored: it is wrong.
    if (*at != '\0' || cut) {
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
