// OptionArguments: a program's arguments ready for getopt_long, under the program's own name,
// so that getopt's messages ("rthpart: unrecognized option '--x'") start with the name every
// other line of the program starts with, whatever path started it. The C library's getopt
// takes the name from the argv it is given on POSIX and from the runtime's own argument vector
// on Windows; this sets both. Main thread, before any other thread looks at the arguments.
#pragma once

#include <vector>

namespace Platform {

class OptionArguments {
public:
    // argv as main received it (argc >= 1); name lives as long as the process (a literal).
    OptionArguments(int argc, char** argv, const char* name);

    // argc entries, argv[0] the name, then a null pointer. getopt_long may permute them.
    char** Argv() { return mArgs.data(); }

private:
    std::vector<char*> mArgs;
};

}  // namespace Platform
