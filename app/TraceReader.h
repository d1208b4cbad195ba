// TraceReader: the main routine of ReadPLIXTrace. Prints the banner, prunes the trace log
// directory, installs the trace log sink, attaches to the trace queue in "plixtrace" as its
// reader, installs the console control handler and then drains the queue: every record is
// printed to the console as it came, and its first line goes to the trace log. Runs until
// Ctrl+C, a closed terminal or Escape (exit code 0); a failed start gives exit code 1 and one
// line on stderr that names the partition and the reason.
//
// Runs on the process's main thread, once per process (the logging core is process-wide).
// ConsoleCtrlHandler runs on the platform's event thread and shares sStopRequested and a count of
// running handlers, which the main loop waits for before it ends the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Set by ConsoleCtrlHandler, never cleared; the read loop ends after the pass that sees it.
extern std::atomic<bool> sStopRequested;

// Console control handler: Ctrl+C prints "CTRL-C pressed\n", a closed console "windows is
// closed\n"; both request the stop (the flag first, then the message, which may block on a
// console nobody reads) and return TRUE (1). Every other event returns FALSE (0), so the
// platform's default handling ends the process.
int ConsoleCtrlHandler(uint32_t eventCode);

class TraceReader {
public:
    // The reader's exit codes; the usage, the manual and the README list them (and the failed
    // check's -2, PlixBase::ZUL_ASSERT_EXIT_STATUS).
    static constexpr int EXIT_ENDED = 0;          // the run ended in order, whatever stopped it
    static constexpr int EXIT_START_REFUSED = 1;  // the start failed: one line on stderr says why
    static constexpr int EXIT_USAGE = 2;          // a bad command line: nothing was touched

    // logDirectory: where the cleanup and the trace log sink work. Tests pass a directory of
    // their own.
    explicit TraceReader(std::string logDirectory);

    // The same directory spelled apart for the cleanup and the sink: the shipped program passes
    // TRACE_LOG_CLEANUP_DIRECTORY and TRACE_LOG_DIRECTORY.
    TraceReader(std::string cleanupDirectory, std::string sinkDirectory);

    // Runs the program from the banner to the end and returns its exit code (0 or 1). An
    // exception of the logging library or the communication layer ends it with one line on
    // stderr and exit code 1, after the partition has been released.
    int Run();

    // The program with its command line (see ReaderCommandLine): --help, --version and a bad
    // command line end here with their exit code, before anything is touched; no arguments
    // run the program as Run() does.
    int Run(int argc, char** argv);

private:
    int RunUnguarded();

    std::string mCleanupDirectory;
    std::string mSinkDirectory;
};
