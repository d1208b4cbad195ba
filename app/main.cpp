// ReadPLIXTrace: drains the trace queue of the "plixtrace" partition to the console and the
// trace log. Takes no arguments and reads no configuration.
#include "app/TraceLogSink.h"
#include "app/TraceReader.h"

int main() { return TraceReader(TRACE_LOG_CLEANUP_DIRECTORY, TRACE_LOG_DIRECTORY).Run(); }
