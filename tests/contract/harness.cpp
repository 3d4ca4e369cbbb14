// harness.cpp - counting, reporting and ending for the host-contract suite.

#include "harness.h"

#include <cstdio>

namespace contract {

namespace {

struct State {
    std::vector<Test> tests;
    std::string test;
    std::string label;
    int checks = 0;
    int failures = 0;
    std::vector<std::string> differences;
};

State &Global() {
    static State state;
    return state;
}

void Write(const std::string &text) { host::WriteStandardOutput(text.data(), text.size()); }

} // namespace

std::string Show(long long value) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%lld (0x%llX)", value, static_cast<unsigned long long>(value));
    return buffer;
}

std::string Show(const std::string &text) {
    std::string shown = "\"";
    for (char c : text) {
        char buffer[8];
        unsigned char const byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
            shown += buffer;
        } else {
            shown += c;
        }
    }
    return shown + "\"";
}

std::string Show(const Bytes &bytes) {
    std::string shown = "{";
    for (std::uint8_t byte : bytes) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, " %02X", byte);
        shown += buffer;
    }
    return shown + " }";
}

std::string Show(const void *pointer) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", pointer);
    return buffer;
}

bool Check(bool passed, const char *file, int line, const char *expression, const std::string &detail) {
    State &state = Global();
    ++state.checks;
    if (!passed) {
        ++state.failures;
        char where[64];
        std::snprintf(where, sizeof where, ":%d: ", line);
        std::string const base = file;
        Write("FAIL " + base.substr(base.find_last_of("/\\") + 1) + where + state.test +
              (state.label.empty() ? "" : " [" + state.label + "]") + ": " + expression +
              (detail.empty() ? "" : ": " + detail) + "\n");
    }
    return passed;
}

Case::Case(std::string label) : previous_(Global().label) { Global().label = std::move(label); }

Case::~Case() { Global().label = previous_; }

Registrar::Registrar(const char *name, void (*run)()) { Global().tests.push_back({name, run}); }

void NoteDifference(const char *difference, const char *evidence, bool checkedHere) {
    Global().differences.push_back(std::string(checkedHere ? "Windows behaviour checked here" : "not checked here") +
                                   ", Wine differs: " + difference + " (" + evidence + ")");
}

void RunAllAndExit(const char *hostName) {
    State &state = Global();
    for (const Test &test : state.tests) {
        state.test = test.name;
        int const before = state.failures;
        test.run();
        Write((state.failures == before ? "ok   " : "FAILED ") + state.test + "\n");
    }
    char summary[160];
    std::snprintf(summary, sizeof summary, "host contract on %s: %d checks in %d tests, %d failed\n", hostName,
                  state.checks, static_cast<int>(state.tests.size()), state.failures);
    for (const std::string &difference : state.differences) {
        Write(difference + "\n");
    }
    Write(summary);
    host::FlushStandardOutput();
    host::ExitProcess(state.failures == 0 ? 0 : 1);
}

} // namespace contract
