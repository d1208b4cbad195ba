// DiagLogger: the process-wide diagnostic logger of the communication library.
//
// Every report becomes one text line
//   "[LEVEL] [dd.mm.YYYY HH:MM:SS:mmm:uuu][function] [LINE: n] message"
// handed as one record to Boost.Log's trivial logger at severity 5 - level. The logger owns no
// sink: the line goes wherever the sinks of the logging core send records.
//
// The logger starts switched off, and the tool never switches it on: every Log call then
// formats its message, reads the clock and returns without output. SwitchOn is the one way to
// switch it on (tests, and a future operator option). Once an emission has failed with a
// standard exception, or after Shutdown, the logger stays silent for the rest of the process.
//
// Threads: no lock of its own. Log may be called from any thread; SwitchOn and Shutdown are
// meant for one thread while no other reports.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>

// Diagnostic levels: smaller is more severe.
constexpr int32_t DIAG_FATAL = 0;
constexpr int32_t DIAG_ERROR = 1;
constexpr int32_t DIAG_WARNING = 2;
constexpr int32_t DIAG_INFO = 3;
constexpr int32_t DIAG_DEBUG = 4;

// Formats like vprintf into a string, cut at its first NUL. When the formatter reports an
// error (or the length would overflow, or the buffer cannot be had) the result is the fixed
// text "Failed to log original message: StringPrintfVa failed because bufsize == 0".
// args is consumed.
std::string StringPrintfVa(const char* format, va_list args);

class DiagLogger {
public:
    // The logging configuration this system defines but never reads.
    static constexpr const char* CONFIG_FILE_PATH = "D:\\JubCs\\jubcsconfig.json";
    static constexpr const char* CONFIG_SECTION = "LoggingConfig";
    static constexpr const char* CONFIG_ENTRY = "FileLogger";
    static constexpr const char* DEFAULT_LEVEL_NAME = "ERROR";
    static constexpr const char* LOGGER_NAME = "JubDll";
    static constexpr const char* LOG_ROOT = "D:\\JubCs\\Logging\\";
    static constexpr int32_t DEFAULT_MAX_LEVEL = DIAG_ERROR;

    // The single logger, constructed with its defaults at the first call; destroyed at
    // process end (its destructor runs Shutdown).
    static DiagLogger& Instance();

    // Reports one line. level: DIAG_FATAL..DIAG_DEBUG (others produce no record); function:
    // the caller's fully qualified name, or null; line: the caller's source line. Never throws
    // for a failed emission and never reports a failure to its caller.
    void Log(int32_t level, const char* function, uint32_t line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

    // Switches the logger on: fills the level tables with the names FATAL, ERROR, WARNING,
    // INFO and DEBUG and emits every level up to maxLevelName (one of those names). Returns
    // false, and changes nothing, for an unknown name. After an emission failure or Shutdown
    // the logger stays silent all the same.
    bool SwitchOn(const std::string& maxLevelName);

    // End-of-process step, run by the destructor: when switched on, removes every sink of the
    // logging core (those of other parts of the program too) and switches the logger off.
    void Shutdown();

    // Whether reports may be emitted at all in this process.
    static bool LoggingActive();

    // Builds the line of one report (no terminator) from microseconds since 1970 (UTC).
    // Exposed for the logger's own tests; Log is the only other caller.
    std::string FormatLine(int32_t level, const char* function, uint32_t line,
                           int64_t microseconds, const std::string& message) const;

    DiagLogger(const DiagLogger&) = delete;
    DiagLogger& operator=(const DiagLogger&) = delete;

private:
    DiagLogger();
    ~DiagLogger();

    // Configuration kept but never read: the logger is constructed with the settings of the
    // system's logging configuration (see CONFIG_FILE_PATH) and carries them, yet the tool takes
    // no configuration and emits through the logging core's sinks only (SwitchOn is the one
    // switch). They stay so that the object holds what the system defines; nothing depends on
    // their values, and a change to them changes no output.
    std::string mLogPath;       // location of the logger's own log; not read
    std::string mLogName;       // carried with its default, not read
    int32_t mSettingA = 3;      // carried with its default, not read
    int32_t mSettingB = 512;    // carried with its default, not read
    int32_t mMaxLevel;          // highest level emitted
    bool mInitialized = false;  // switched on
    bool mFlag = true;          // carried with its default, not read
    std::map<std::string, int32_t> mLevelByName;  // filled by SwitchOn, not read by Log
    std::map<int32_t, std::string> mNameByLevel;  // the name at the head of each line
};
