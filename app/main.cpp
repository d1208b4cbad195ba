// ReadPLIXTrace: drains the trace queue of the "plixtrace" partition to the console and the
// trace log. Takes no arguments but --help and --version, and reads no configuration.
#include "app/TraceLogSink.h"
#include "app/TraceReader.h"

int main(int argc, char** argv) {
    return TraceReader(TRACE_LOG_CLEANUP_DIRECTORY, TRACE_LOG_DIRECTORY).Run(argc, argv);
}
