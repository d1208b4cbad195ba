// console_host: runs a program inside the console window it was started in, for the console-key
// test (ConsoleKeysTest.sh), which types into that window from outside:
//   console_host TITLE WORKDIR PROGRAM [ARGUMENT...]
// Sets the console's title to TITLE (so that the window can be found by it), waits until the
// file WORKDIR\go exists (so that keys can be pressed before the program starts), then starts
// PROGRAM attached to this console with its standard output and error in WORKDIR\program.stdout
// and WORKDIR\program.stderr, waits for it and writes its exit code in decimal to
// WORKDIR\program.exitcode. Ctrl+C reaches both processes; this one ignores it.
#include <windows.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/windows/ChildProcess.h"

namespace {

BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    const std::string work = argv[2];
    SetConsoleTitleA(argv[1]);
    SetConsoleCtrlHandler(KeepRunning, TRUE);
    while (GetFileAttributesA((work + "\\go").c_str()) == INVALID_FILE_ATTRIBUTES) {
        Sleep(20);
    }
    try {
        PlixTest::ChildProcess program(argv[3], std::vector<std::string>(argv + 4, argv + argc),
                                       "", work, "program");
        if (!program.Wait(INFINITE)) {
            return 3;
        }
        std::ofstream(work + "\\program.exitcode") << program.ExitCode();
    } catch (...) {
        return 4;
    }
    return 0;
}
