// ToolExit: the exit codes of the command-line tools (rthpart, plixwrite) and the line of
// their usage that lists them; the manual pages list them too, and a test checks that they
// agree.
#pragma once

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
