// TraceLogRecorder: the trace log call of the read loop, with the loss accounting.
#include "app/TraceLogRecorder.h"

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/trivial.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "app/TraceLogSink.h"
#include "platform/PlatformTime.h"

namespace {

constexpr uint64_t RETRY_INTERVAL_NS = 1000000000ULL;
constexpr uint64_t FILE_CHECK_INTERVAL_NS = 1000000000ULL;

// Logs the length bytes of text up to the first line feed among them; throws what the logging
// library throws.
void LogFirstLine(const char* text, std::size_t length) {
    const void* end = std::memchr(text, '\n', length);
    const std::size_t line =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : length;
    BOOST_LOG_TRIVIAL(info).write(text, static_cast<std::streamsize>(line));
}

}  // namespace

void TraceLogRecorder::Record(const char* text) { Record(text, std::strlen(text)); }

void TraceLogRecorder::Record(const char* text, std::size_t length) {
    if (mFailing && Platform::PlatformTime::PerformanceCounter() < mRetryAtNs) {
        ++mLostNow;
        ++mLostTotal;
        return;
    }
    try {
        LogFirstLine(text, length);
    } catch (const std::exception& e) {
        ++mLostNow;
        ++mLostTotal;
        mRetryAtNs = Platform::PlatformTime::PerformanceCounter() + RETRY_INTERVAL_NS;
        if (!mFailing) {
            mFailing = true;
            std::fflush(stdout);
            std::fprintf(stderr,
                         "ReadPLIXTrace: trace log lines are being lost: %s; records still go to "
                         "the console\n",
                         e.what());
        }
        return;
    }
    if (mFailing) {
        mFailing = false;
        std::fflush(stdout);
        std::fprintf(stderr, "ReadPLIXTrace: the trace log works again; %llu lines were lost\n",
                     static_cast<unsigned long long>(mLostNow));
        mLostNow = 0;
    }
}

void TraceLogRecorder::Summarize() const {
    if (mLostTotal > 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "ReadPLIXTrace: %llu trace log lines were lost in this run\n",
                     static_cast<unsigned long long>(mLostTotal));
    }
}

void TraceLogRecorder::CheckFile(uint64_t nowNs) {
    mNextFileCheckNs = nowNs + FILE_CHECK_INTERVAL_NS;
    std::string removed;
    try {
        if (!RestartTraceLogIfRemoved(&removed)) {
            return;
        }
    } catch (const std::exception&) {
        // The rotation failed: the next record opens a new file or reports why it cannot.
        return;
    }
    std::fflush(stdout);
    std::fprintf(stderr,
                 "ReadPLIXTrace: trace log file \"%s\" was removed; the next lines go to a new "
                 "file\n",
                 removed.c_str());
}
