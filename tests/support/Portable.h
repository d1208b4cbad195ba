// Portable: the few process services tests need whose spelling differs between POSIX and Windows
// (mingw-w64), so that the unit suites build for both.
#pragma once

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace PlixTest {

// exit(-2), the status of the fatal assertion, as a death test's parent sees it: the low eight
// bits of a POSIX wait status, the whole 32-bit exit code on Windows.
#ifdef _WIN32
constexpr int FATAL_EXIT_CODE = -2;
#else
constexpr int FATAL_EXIT_CODE = 254;
#endif

inline void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

// Makes the runtime's local time use the time zone tz ("UTC", for example).
inline void UseTimeZone(const char* tz) {
    SetEnvironment("TZ", tz);
#ifdef _WIN32
    _tzset();
#else
    tzset();
#endif
}

inline int ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

// A name for this run of the test program, for files and partitions a test shares with its
// death-test children: made by the program's first process and inherited through the
// environment. (On Windows a death-test child is a new process that runs the test from its
// start, so a name made from its own process id would not be the parent's.)
inline std::string RunTag() {
    static const std::string tag = [] {
        const char* inherited = std::getenv("PLIX_TEST_RUN_TAG");
        std::string made = inherited != nullptr ? inherited : std::to_string(ProcessId());
        SetEnvironment("PLIX_TEST_RUN_TAG", made.c_str());
        return made;
    }();
    return tag;
}

// A path for a file named name in the system's directory for temporary files.
inline std::string TempFilePath(const std::string& name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

}  // namespace PlixTest
