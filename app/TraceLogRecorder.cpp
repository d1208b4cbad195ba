// TraceLogRecorder: the trace log call of the read loop, with the loss accounting.
#include "app/TraceLogRecorder.h"

#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/trivial.hpp>
#include <cstdio>
#include <cstring>
#include <exception>

#include "platform/PlatformTime.h"

namespace {

constexpr uint64_t RETRY_INTERVAL_NS = 1000000000ULL;

// Logs text up to its first line feed; throws what the logging library throws.
void LogFirstLine(const char* text) {
    const char* end = std::strchr(text, '\n');
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : std::strlen(text);
    BOOST_LOG_TRIVIAL(info).write(text, static_cast<std::streamsize>(length));
}

}  // namespace

void TraceLogRecorder::Record(const char* text) {
    if (mFailing && Platform::PlatformTime::PerformanceCounter() < mRetryAtNs) {
        ++mLostNow;
        ++mLostTotal;
        return;
    }
    try {
        LogFirstLine(text);
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
