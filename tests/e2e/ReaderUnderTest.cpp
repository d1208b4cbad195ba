// The reader with its trace log directory injected, for end-to-end tests:
//   reader_under_test DIRECTORY [--fail-handler] [READER ARGUMENTS...]
// --fail-handler makes installing the console control handler fail; the arguments after it go
// to the reader as its own command line.
#include <cstring>
#include <vector>

#include "app/TraceReader.h"
#include "platform/ConsoleControl.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    int first = 2;
    if (argc > 2 && std::strcmp(argv[2], "--fail-handler") == 0) {
        Platform::ConsoleControl::FailNextSetHandlerForTesting();
        first = 3;
    }
    std::vector<char*> readerArgs = {argv[0]};
    readerArgs.insert(readerArgs.end(), argv + first, argv + argc);
    readerArgs.push_back(nullptr);
    return TraceReader(argv[1]).Run(static_cast<int>(readerArgs.size() - 1), readerArgs.data());
}
