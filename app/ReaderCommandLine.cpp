// ReaderCommandLine: --help, --version and the refusal of every other argument.
#include "app/ReaderCommandLine.h"

#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/IdlePacer.h"
#include "app/TraceLogSink.h"
#include "app/TraceReader.h"
#include "diag/ZulAssertEnd.h"
#include "oscom/PartitionRules.h"
#include "platform/OptionArguments.h"

namespace {

// A duration in microseconds in its largest whole unit: "50 us", "2 ms", "3 s".
std::string Duration(uint32_t us) {
    if (us % 1000000 == 0) {
        return std::to_string(us / 1000000) + " s";
    }
    if (us % 1000 == 0) {
        return std::to_string(us / 1000) + " ms";
    }
    return std::to_string(us) + " us";
}

// The trace log files as a path pattern: <directory>/plix_NN.log.
std::string TraceLogFiles() {
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    return std::string(TRACE_LOG_DIRECTORY) + separator + "plix_NN.log";
}

// The broken invariant's exit status as the parent sees it.
std::string BrokenInvariantStatus() {
#ifdef _WIN32
    return std::to_string(PlixBase::ZUL_ASSERT_EXIT_STATUS);
#else
    return std::to_string(static_cast<uint8_t>(PlixBase::ZUL_ASSERT_EXIT_STATUS)) + " (" +
           std::to_string(PlixBase::ZUL_ASSERT_EXIT_STATUS) + ")";
#endif
}

}  // namespace

std::string ReaderCommandLine::IdlePauseBounds() {
    return Duration(IdlePacer::FIRST_SLEEP_US) + ", doubling up to " +
           Duration(IdlePacer::ALERT_PAUSE_US) + " for " + Duration(IdlePacer::ALERT_WINDOW_US) +
           " after the last record, then up to " + Duration(IdlePacer::MAX_PAUSE_US);
}

std::string ReaderCommandLine::ExitStatusText() {
    return "Exit status: " + std::to_string(TraceReader::EXIT_ENDED) + " the run ended in order; " +
           std::to_string(TraceReader::EXIT_START_REFUSED) +
           " the start was refused (stderr says why);\n" + std::to_string(TraceReader::EXIT_USAGE) +
           " bad command line; " + BrokenInvariantStatus() +
           " a check of the shared memory failed.\n";
}

std::string ReaderCommandLine::Usage() {
    std::string text = USAGE_LINE;
    text += "Prints the trace records that real-time software writes into the queue of partition\n";
    text += std::string("\"") + ZulOsCom::PLIX_TRACE_PARTITION + "\", each as it comes, and ";
    text += "logs the first line of each in\n";
    text += TraceLogFiles() + ". Takes no other arguments, reads no configuration.\n\n";
    text += "Idle pause (an empty queue is looked at again after):\n  " + IdlePauseBounds() +
            "\n  (writers that use the writer library end the longer ones at once).\n";
#ifdef _WIN32
    text += "Stop it with Ctrl+C, Escape, or by closing its window.\n\n";
#else
    text += "Stop it with Ctrl+C or Escape (or SIGTERM, or by closing its terminal).\n\n";
#endif
    text += ExitStatusText();
    text += "More in: man ReadPLIXTrace\n";
    return text;
}

bool ReaderCommandLine::Handle(int argc, char** argv, int* exitCode) {
    if (argc <= 1) {
        return false;
    }
    static const option LONG_OPTIONS[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    // getopt's messages start with the program's name, as every line of ours does.
    Platform::OptionArguments optionArguments(argc, argv, "ReadPLIXTrace");
    char** args = optionArguments.Argv();
    bool help = false;
    bool version = false;
    bool bad = false;
    for (int c; (c = getopt_long(argc, args, "h", LONG_OPTIONS, nullptr)) != -1;) {
        switch (c) {
            case 'h':
                help = true;
                break;
            case 'V':
                version = true;
                break;
            default:  // getopt has said what is wrong
                bad = true;
                break;
        }
    }
    if (!bad && optind < argc) {
        std::fprintf(stderr, "ReadPLIXTrace: unexpected argument '%s'\n", args[optind]);
        bad = true;
    }
    if (bad) {
        std::fputs(USAGE_LINE, stderr);
        *exitCode = TraceReader::EXIT_USAGE;
    } else {
        if (help) {
            std::fputs(Usage().c_str(), stdout);
        } else if (version) {
            std::printf("ReadPLIXTrace %s\n", PLIX_VERSION);
        }
        *exitCode =
            std::fflush(stdout) == 0 ? TraceReader::EXIT_ENDED : TraceReader::EXIT_START_REFUSED;
    }
    return true;
}
