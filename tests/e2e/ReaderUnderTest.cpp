// The reader with its trace log directory injected, for end-to-end tests:
//   reader_under_test DIRECTORY [--fail-handler]
// --fail-handler makes installing the console control handler fail.
#include <cstring>

#include "app/TraceReader.h"
#include "platform/ConsoleControl.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        return 2;
    }
    if (argc > 2 && std::strcmp(argv[2], "--fail-handler") == 0) {
        Platform::ConsoleControl::FailNextSetHandlerForTesting();
    }
    return TraceReader(argv[1]).Run();
}
