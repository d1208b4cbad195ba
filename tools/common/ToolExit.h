// ToolExit: the exit codes of the command-line tools (rthpart, plixwrite), the line of their
// usage that lists them, and the two ways they say a failure; the manual pages list the codes
// too, and a test checks that they agree.
#pragma once

#include <cstdio>
#include <string>

constexpr int TOOL_EXIT_DONE = 0;
constexpr int TOOL_EXIT_FAILED = 1;  // the operation failed: one line on stderr says why
constexpr int TOOL_EXIT_USAGE = 2;   // a bad command line: the reason and the usage line

// "Exit status: 0 done, 1 <failed>, 2 bad command line.\n"
inline std::string ToolExitStatusLine(const char* failed) {
    return "Exit status: " + std::to_string(TOOL_EXIT_DONE) + " done, " +
           std::to_string(TOOL_EXIT_FAILED) + " " + failed + ", " +
           std::to_string(TOOL_EXIT_USAGE) + " bad command line.\n";
}

// One line "program: message" on standard error; returns status.
inline int ToolFail(const char* program, int status, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return status;
}

// A bad command line: the reason (none when getopt has said it) and usageLine (with its line
// feed) on standard error; returns TOOL_EXIT_USAGE.
inline int ToolUsageError(const char* program, const char* usageLine, const std::string& message) {
    if (!message.empty()) {
        ToolFail(program, TOOL_EXIT_USAGE, message);
    }
    std::fputs(usageLine, stderr);
    return TOOL_EXIT_USAGE;
}
