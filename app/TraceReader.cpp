// TraceReader: start-up, the read loop and the ways out of ReadPLIXTrace.
#include "app/TraceReader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/IdlePacer.h"
#include "app/ReaderCommandLine.h"
#include "app/TraceLogCleanup.h"
#include "app/TraceLogDirectory.h"
#include "app/TraceLogRecorder.h"
#include "app/TraceLogSink.h"
#include "app/TracePartition.h"
#include "platform/ConsoleControl.h"
#include "platform/KeyState.h"
#include "platform/MappingGuard.h"
#include "platform/PlatformTime.h"
#include "platform/ProcessStart.h"
#include "rth/RthAdmin.h"

std::atomic<bool> sStopRequested{false};

namespace {

constexpr int TRUE_RESULT = 1;
constexpr int FALSE_RESULT = 0;
constexpr uint32_t READ_BUFFER_SIZE = 4096;
constexpr uint32_t HANDLER_ERROR_PAUSE_MS = 5000;
// How long the run's end waits at most for the keyboard to settle: an Escape typed just before
// a stop is still answered ("Trace reader has been canceled").
constexpr uint32_t KEY_SETTLE_MS = 100;

// Console control handlers running now. Raised before the stop flag is set, so that the main
// loop that sees the flag waits for the handler's line before the process ends: exit flushes
// standard output without the stream's lock, so ending while the handler writes can lose it.
std::atomic<int> sHandlersRunning{0};

void ReportStartFailure(const char* reason) {
    std::fflush(stdout);
    std::fprintf(stderr, "ReadPLIXTrace: partition \"%s\" %s\n", PLIX_TRACE_PARTITION, reason);
}

// Why the partition could not be found: a partition object the library refuses (another
// user's, a link, a FIFO) looks missing through the library's calls.
// Only this project's stand-in library can say why; the hypervisor's own has no such call.
std::string ExplainMissingPartition() {
#ifndef _WIN32
    char reason[RTH_REASON_SIZE] = {};
    const int32_t verdict = rthPartitionExplain(PLIX_TRACE_PARTITION, reason, sizeof reason);
    if (verdict == RTH_UNSAFE || verdict == RTH_SYSTEM) {
        return reason;
    }
#endif
    return "does not exist";
}

// SIGTERM, which the handler refuses: the run ends in order, without a console message.
void RequestStop() { sStopRequested = true; }

// The process ends without the main loop (a stop that did not finish in time).
void ForcedEnd() { TracePartition::ReleaseForForcedEnd(); }

// Waits until no console control handler is running. A handler blocked on a console nobody
// reads keeps it waiting: the platform's forced end then ends the process (see ConsoleControl).
void WaitForHandlers() {
    while (sHandlersRunning.load() != 0) {
        Platform::PlatformTime::Sleep(1);
    }
}

// The Escape message, for a pass that saw the key.
void SayCanceled() {
    std::printf("Trace reader has been canceled\n\n");
    std::fflush(stdout);
}

// Prints a record and flushes it, so that a killed reader loses at most the record in hand.
// False when the console is gone (its reader closed the pipe, the terminal hung up). Another
// failure (a full file system under a redirected console) is said once; the run goes on, since
// the trace log still works.
class ConsoleOutput {
public:
    // Prints the length bytes of text (no NUL among them).
    bool Print(const char* text, size_t length) {
        std::fwrite(text, 1, length, stdout);
        if (std::fflush(stdout) == 0) {
            return true;
        }
        const int error = errno;
        std::clearerr(stdout);
        if (Platform::ProcessStart::WriteEndIsGone(error)) {
            std::fprintf(stderr, "ReadPLIXTrace: the console is gone (%s); ending\n",
                         std::strerror(error));
            return false;
        }
        if (!mFailureSaid) {
            mFailureSaid = true;
            std::fprintf(stderr,
                         "ReadPLIXTrace: console output fails (%s); records still go to the trace "
                         "log\n",
                         std::strerror(error));
        }
        return true;
    }

private:
    bool mFailureSaid = false;
};

}  // namespace

int ConsoleCtrlHandler(uint32_t eventCode) {
    const char* message = nullptr;
    switch (eventCode) {
        case Platform::ConsoleControl::CTRL_C_EVENT:
            message = "CTRL-C pressed\n";
            break;
        case Platform::ConsoleControl::CTRL_CLOSE_EVENT:
            message = "windows is closed\n";
            break;
        default:
            return FALSE_RESULT;
    }
    // The flag first: the message may block on a console nobody reads.
    ++sHandlersRunning;
    sStopRequested = true;
    std::printf("%s", message);
    std::fflush(stdout);
    --sHandlersRunning;
    return TRUE_RESULT;
}

TraceReader::TraceReader(std::string logDirectory)
    : mCleanupDirectory(logDirectory), mSinkDirectory(std::move(logDirectory)) {}

TraceReader::TraceReader(std::string cleanupDirectory, std::string sinkDirectory)
    : mCleanupDirectory(std::move(cleanupDirectory)), mSinkDirectory(std::move(sinkDirectory)) {}

int TraceReader::Run(int argc, char** argv) {
    int code = EXIT_USAGE;
    if (ReaderCommandLine::Handle(argc, argv, &code)) {
        return code;
    }
    return Run();
}

int TraceReader::Run() {
    // The partition lives inside RunUnguarded, so it is released before an exception gets here.
    int code = EXIT_START_REFUSED;
    try {
        code = RunUnguarded();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "ReadPLIXTrace: %s\n", e.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "ReadPLIXTrace: unexpected failure\n");
    }
    Platform::ConsoleControl::NotifyRunEnded();
    return code;
}

int TraceReader::RunUnguarded() {
    // Before any file is opened: no file of ours may land on a closed standard stream, new files
    // are private to the owner and group, and a console or log that fails gives an error to
    // handle instead of a deadly signal.
    Platform::ProcessStart::SecureStandardStreams();
    Platform::ProcessStart::RestrictNewFileModes();
    Platform::ProcessStart::TurnWriteSignalsIntoErrors();
    Platform::MappingGuard::Install();
    // A Ctrl+C during start-up waits for the handler instead of killing the process while it
    // holds a partition reference; once installed, the handler takes it and the run ends.
    Platform::ConsoleControl::DeferEvents();
    std::printf("=============== ReadPLIXTrace ===============\n\n");
    std::fflush(stdout);

    TraceLogDirectory directory(mSinkDirectory);
    if (!directory.LockIfPresent()) {
        return EXIT_START_REFUSED;
    }
    if (directory.Locked()) {
        CleanupTraceLogDirectory(mCleanupDirectory);
    }
    if (!directory.Prepare()) {
        return EXIT_START_REFUSED;
    }
    InitTraceLogSink(mSinkDirectory);

    TracePartition partition;
    switch (partition.Attach()) {
        case TracePartition::StartResult::ATTACHED:
            break;
        case TracePartition::StartResult::MISSING:
            ReportStartFailure(ExplainMissingPartition().c_str());
            return EXIT_START_REFUSED;
        case TracePartition::StartResult::NOT_OPENABLE:
            ReportStartFailure(
                "could not be opened: not initialised, of another layout version or size, or "
                "not registered by its writer");
            return EXIT_START_REFUSED;
        case TracePartition::StartResult::NO_QUEUE:
            ReportStartFailure("holds no queue that a writer has set up");
            return EXIT_START_REFUSED;
        case TracePartition::StartResult::OTHER_READER:
            ReportStartFailure(
                "is held by another reader (one reader per partition); stop that one first");
            return EXIT_START_REFUSED;
    }

    Platform::ConsoleControl::SetStopHooks(RequestStop, ForcedEnd);
    if (!Platform::ConsoleControl::SetHandler(ConsoleCtrlHandler)) {
        std::printf("Error: Control handler could not be set!\n\n");
        std::fflush(stdout);
        // A stop during the pause ends it early; the exit code stays 1.
        Platform::ConsoleControl::PauseUnlessStopped(HANDLER_ERROR_PAUSE_MS);
        return EXIT_START_REFUSED;
    }
    // A stop asked for during start-up has reached the handler by now: no record is read.
    if (sStopRequested) {
        WaitForHandlers();
        return EXIT_ENDED;
    }
    Platform::KeyState::BeginEscapeWatch();

    // One byte more than the record capacity keeps room for the terminator, so a record is
    // printed and logged with every byte it holds. The buffer grows for a longer record; the
    // queue's data area bounds it.
    std::vector<char> buffer(READ_BUFFER_SIZE + 1);
    // An empty pass pauses briefly right after records came and longer the longer the queue
    // stays empty, up to 4 ms: a writer that drops what does not fit loses nothing to a
    // sleeping reader, and an idle wake-up costs next to nothing.
    IdlePacer pacer;
    ConsoleOutput console;
    TraceLogRecorder log;
    for (;;) {
        uint32_t length = static_cast<uint32_t>(buffer.size() - 1);
        const uint32_t status = partition.Read(buffer.data(), length);
        if (status == ZulOsCom::VSharedMemoryQueue::STATUS_BUFFER_SMALL &&
            length <= partition.DataAreaSize()) {
            buffer.resize(static_cast<size_t>(length) + 1);  // read it in the next pass
            pacer.RecordArrived();
        } else if (status == ZulOsCom::VSharedMemoryQueue::STATUS_OK && length > 0) {
            pacer.RecordArrived();
            buffer[length] = '\0';
            // A record is text up to its first NUL, one pass over it for the console and the log.
            const size_t textLength = std::strlen(buffer.data());
            if (textLength > 0) {
                const bool consoleThere = console.Print(buffer.data(), textLength);
                log.Record(buffer.data(), textLength);
                if (!consoleThere) {
                    log.Summarize();
                    return EXIT_ENDED;
                }
            }
            // The once-a-second checks go by the clock while records flow too: one reading per
            // record, a comparison in each check.
            const uint64_t now = Platform::PlatformTime::PerformanceCounter();
            partition.Follow(now);
            log.Follow(now);
        } else {
            // Empty queue, a queue that is not valid (yet), or no partition: poll again later.
            const uint64_t now = Platform::PlatformTime::PerformanceCounter();
            partition.IdlePass(status, now);
            partition.Follow(now);
            log.Follow(now);
            // A long pause waits for a writer's wake-up where it can, else sleeps.
            const uint32_t pause = pacer.NextPauseUs();
            if (!IdlePacer::AwaitsWriter(pause) || !partition.AwaitWriter(pause)) {
                IdlePacer::Pause(pause);
            }
        }

        // Escape first, so that a stop that comes with it never swallows its message; the key
        // check is one load while no key was typed.
        if (Platform::KeyState::GetAsyncEscapeState() != 0) {
            SayCanceled();
            log.Summarize();
            return EXIT_ENDED;
        }
        if (sStopRequested) {
            const bool canceled = Platform::KeyState::GetSettledEscapeState(KEY_SETTLE_MS) != 0;
            WaitForHandlers();
            if (canceled) {
                SayCanceled();
            }
            log.Summarize();
            return EXIT_ENDED;
        }
    }
}
