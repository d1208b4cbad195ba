// escape_probe: a program whose standard input the key tests control, usually through a
// pseudo-terminal. It starts the Escape watch, prints "READY", then obeys one-byte commands
// read from a control file descriptor, so that every key-state call happens at a moment the
// test chose:
//   's'  let the watch settle on what was typed (GetSettledEscapeState) and print "ESC" or
//        "none"
//   'r'  return from main (status 0)
//   'e'  call exit(7) from a nested function
// End of the control input returns 3.
// Usage: escape_probe CONTROL_FD [pass-signals]
// With pass-signals a console control handler that declines every event is installed first,
// so that Ctrl+C or SIGTERM ends the probe by the signal's default action.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/ConsoleControl.h"
#include "platform/KeyState.h"

namespace {

// Hang guard of a step, well below the test's own.
constexpr uint32_t SETTLE_MS = 5000;

int DeclineEvent(uint32_t) { return 0; }

[[noreturn]] void ExitFromDeepInside() { std::exit(7); }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: escape_probe CONTROL_FD [pass-signals]\n");
        return 2;
    }
    const int control = std::atoi(argv[1]);
    if (argc > 2 && std::strcmp(argv[2], "pass-signals") == 0 &&
        !Platform::ConsoleControl::SetHandler(DeclineEvent)) {
        std::fprintf(stderr, "SetHandler failed\n");
        return 2;
    }
    Platform::KeyState::BeginEscapeWatch();
    std::printf("READY\n");
    std::fflush(stdout);
    char command = 0;
    while (read(control, &command, 1) == 1) {
        switch (command) {
            case 's':
                std::printf("%s\n", Platform::KeyState::GetSettledEscapeState(SETTLE_MS) != 0
                                        ? "ESC"
                                        : "none");
                std::fflush(stdout);
                break;
            case 'r':
                return 0;
            case 'e':
                ExitFromDeepInside();
            default:
                std::fprintf(stderr, "unknown command\n");
                return 2;
        }
    }
    return 3;
}
