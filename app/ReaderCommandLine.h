// ReaderCommandLine: the command line of ReadPLIXTrace. The reader takes no arguments but
// --help (a short usage on standard output) and --version; anything else is a bad command
// line. It is read first thing, before anything touches the partition or the trace log
// directory, so that a user who asks for help never starts a run (a run drains the queue).
//
// The facts the usage states that the manual and the README state too (the exit codes, the
// trace log directory, the idle pause's bounds) are made from the code's own constants here;
// a test checks the documents against the same constants.
//
// Main thread, once, before the run: getopt_long keeps its state process-wide.
#pragma once

#include <string>

class ReaderCommandLine {
public:
    // The one line said on standard error after a bad command line (with its line feed).
    static constexpr const char* USAGE_LINE = "Usage: ReadPLIXTrace [--help | --version]\n";

    // Reads the command line (argv[0] the program's path, argc >= 1). Empty (argc 1): false,
    // the reader runs. Otherwise true with *exitCode set, after: the usage on standard output
    // for --help (or -h), exit code 0; "ReadPLIXTrace VERSION" for --version, 0; for anything
    // else getopt's message (or one line naming an unexpected argument) and USAGE_LINE on
    // standard error, TraceReader::EXIT_USAGE. Long options may be abbreviated as getopt
    // allows. Touches no file but the standard streams; a help or version text that cannot be
    // written gives TraceReader::EXIT_START_REFUSED.
    static bool Handle(int argc, char** argv, int* exitCode);

    // The usage that --help prints, ending in a line feed.
    static std::string Usage();

    // The idle pause's bounds as the documents state them, from IdlePacer's constants:
    // "50 us, doubling up to 2 ms for 3 s after the last record, then up to 100 ms".
    static std::string IdlePauseBounds();

    // The exit statuses as the usage lists them, in two lines:
    // "Exit status: 0 ...; 1 ...;\n2 ...; 254 (-2) ...\n".
    static std::string ExitStatusText();
};
