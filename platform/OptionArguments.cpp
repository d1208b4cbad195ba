// OptionArguments: the arguments under the program's own name, for getopt_long.
#include "platform/OptionArguments.h"

#include <cstdlib>

namespace Platform {

OptionArguments::OptionArguments(int argc, char** argv, const char* name)
    : mArgs(argv, argv + argc) {
    // getopt_long permutes the vector but never writes the strings.
    mArgs[0] = const_cast<char*>(name);
    mArgs.push_back(nullptr);
#ifdef _WIN32
    // The runtime's getopt says its messages under __argv[0], not under the vector it reads.
    __argv[0] = mArgs[0];
#endif
}

}  // namespace Platform
