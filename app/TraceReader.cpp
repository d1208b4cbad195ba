// TraceReader: start-up, the read loop and the ways out of ReadPLIXTrace.
#include "app/TraceReader.h"

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/trivial.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/IdlePacer.h"
#include "app/RawSharedMemoryQueue.h"
#include "app/TraceLogCleanup.h"
#include "app/TraceLogSink.h"
#include "platform/ConsoleControl.h"
#include "platform/KeyState.h"
#include "platform/PlatformTime.h"

std::atomic<bool> sStopRequested{false};

namespace {

constexpr int TRUE_RESULT = 1;
constexpr int FALSE_RESULT = 0;
constexpr uint32_t READ_BUFFER_SIZE = 4096;
constexpr uint32_t HANDLER_ERROR_PAUSE_MS = 5000;

void ReportStartFailure(const char* reason) {
    std::fprintf(stderr, "ReadPLIXTrace: partition \"%s\" %s\n", PLIX_TRACE_PARTITION, reason);
}

// Logs the text's first line (cut at the first line feed; a carriage return stays) as one
// record at severity info.
void LogFirstLine(const char* text) {
    const char* end = std::strchr(text, '\n');
    std::string message = end != nullptr ? std::string(text, end) : std::string(text);
    BOOST_LOG_TRIVIAL(info) << message;
}

}  // namespace

int ConsoleCtrlHandler(uint32_t eventCode) {
    switch (eventCode) {
        case Platform::ConsoleControl::CTRL_C_EVENT:
            std::printf("CTRL-C pressed\n");
            break;
        case Platform::ConsoleControl::CTRL_CLOSE_EVENT:
            std::printf("windows is closed\n");
            break;
        default:
            return FALSE_RESULT;
    }
    std::fflush(stdout);
    sStopRequested = true;
    return TRUE_RESULT;
}

TraceReader::TraceReader(std::string logDirectory)
    : mCleanupDirectory(logDirectory), mSinkDirectory(std::move(logDirectory)) {}

TraceReader::TraceReader(std::string cleanupDirectory, std::string sinkDirectory)
    : mCleanupDirectory(std::move(cleanupDirectory)), mSinkDirectory(std::move(sinkDirectory)) {}

int TraceReader::Run() {
    // The queue lives inside RunUnguarded, so it is released before an exception gets here.
    try {
        return RunUnguarded();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "ReadPLIXTrace: %s\n", e.what());
    } catch (...) {
        std::fflush(stdout);
        std::fprintf(stderr, "ReadPLIXTrace: unexpected failure\n");
    }
    return 1;
}

int TraceReader::RunUnguarded() {
    // A Ctrl+C during start-up waits for the handler instead of killing the process while it
    // holds a partition reference; once installed, the handler takes it and the run ends.
    Platform::ConsoleControl::DeferEvents();
    std::printf("=============== ReadPLIXTrace ===============\n\n");
    std::fflush(stdout);
    CleanupTraceLogDirectory(mCleanupDirectory);
    InitTraceLogSink(mSinkDirectory);

    auto queue = std::make_shared<RawSharedMemoryQueue>();
    switch (queue->Open()) {
        case 0:
            break;
        case 1:
            ReportStartFailure("does not exist");
            return 1;
        default:
            ReportStartFailure(
                "could not be opened: not initialised, of another layout version or size, or "
                "not registered by its writer");
            return 1;
    }
    if (!queue->AttachReader()) {
        ReportStartFailure("holds no queue that a writer has set up");
        return 1;
    }

    if (!Platform::ConsoleControl::SetHandler(ConsoleCtrlHandler)) {
        std::printf("Error: Control handler could not be set!\n\n");
        std::fflush(stdout);
        Platform::PlatformTime::Sleep(HANDLER_ERROR_PAUSE_MS);
        return 1;
    }
    if (sStopRequested) {
        return 0;
    }
    Platform::KeyState::BeginEscapeWatch();

    // One byte more than the record capacity keeps room for the terminator, so a record is
    // printed and logged with every byte it holds. The buffer grows for a longer record; the
    // queue's data area bounds it.
    std::vector<char> buffer(READ_BUFFER_SIZE + 1);
    // An empty pass pauses briefly right after records came and longer the longer the queue
    // stays empty, up to 100 ms: a writer that drops what does not fit loses nothing to a
    // sleeping reader, and an idle reader still wakes only every 100 ms.
    IdlePacer pacer;
    for (;;) {
        uint32_t length = static_cast<uint32_t>(buffer.size() - 1);
        uint32_t status = queue->Read(buffer.data(), length);
        if (status == ZulOsCom::VSharedMemoryQueue::STATUS_BUFFER_SMALL &&
            length <= queue->DataAreaSize()) {
            buffer.resize(static_cast<size_t>(length) + 1);  // read it in the next pass
            pacer.RecordArrived();
        } else if (status == ZulOsCom::VSharedMemoryQueue::STATUS_OK && length > 0) {
            pacer.RecordArrived();
            buffer[length] = '\0';
            if (buffer[0] != '\0') {
                std::printf("%s", buffer.data());
                std::fflush(stdout);
                LogFirstLine(buffer.data());
            }
        } else {
            // Empty queue, or a queue that is not valid (yet): poll again later.
            IdlePacer::Pause(pacer.NextPauseUs());
        }

        if (Platform::KeyState::GetAsyncEscapeState() != 0) {
            std::printf("Trace reader has been canceled\n\n");
            std::fflush(stdout);
            return 0;
        }
        if (sStopRequested) {
            return 0;
        }
    }
}
