// kit_arguments.h - the kit's command line.

#pragma once

namespace kit {

enum class Command {
    Provision, // no argument
    Collect,   // /collect: provision, and collect whatever the outcome
    Uninstall, // /uninstall
    Status,    // /status
    Help,      // /? : the usage, exit code 0
    Wrong,     // anything else, an empty argument or a second one: the usage, exit code 87
};

constexpr int kWrongArgumentsExitCode = 87;

// Takes the command line after the program's name, as GetCommandLineA gives
// it (Windows' rules for quotes and backslashes). Returns the command.
// Switches are matched without regard to case.
Command ParseCommandLine(const char *arguments);

// Takes the whole command line as GetCommandLineA gives it. Returns where the
// arguments begin: past the program's name, which Windows reads apart (a
// quoted name ends at the next quote, else at the first blank; backslashes
// are text).
const char *SkipProgramName(const char *commandLine);

} // namespace kit
