// DiagLogger: formatting of diagnostic lines and their emission to the Boost.Log core.
#include "diag/DiagLogger.h"

#include <atomic>
#include <boost/log/core.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/trivial.hpp>
#include <climits>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iomanip>
#include <memory>
#include <new>
#include <sstream>

#include "platform/PlatformFormat.h"
#include "platform/PlatformTime.h"

namespace {

// Emission is allowed only while this is true. It changes only from true to false, apart
// from the first SwitchOn; sLoggingCleared makes the change final.
std::atomic<bool> sLoggingActive{false};
std::atomic<bool> sLoggingCleared{false};

const std::string& LogPath() {
    static const std::string path = std::string(DiagLogger::LOG_ROOT) + DiagLogger::LOGGER_NAME;
    return path;
}

void ClearLoggingActive() {
    sLoggingCleared = true;
    sLoggingActive = false;
}

}  // namespace

std::string StringPrintfVa(const char* format, va_list args) {
    static const char* const kFailure =
        "Failed to log original message: StringPrintfVa failed because bufsize == 0";
    va_list counting;
    va_copy(counting, args);
    int n = Platform::PlatformFormat::CountFormatted(format, counting);
    va_end(counting);
    if (n < 0 || n == INT_MAX) {
        return kFailure;
    }
    size_t bufSize = static_cast<size_t>(n) + 1;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[bufSize]);
    if (!buf) {
        return kFailure;
    }
    Platform::PlatformFormat::FormatTruncated(buf.get(), bufSize, format, args);
    return std::string(buf.get());  // up to the first NUL
}

DiagLogger& DiagLogger::Instance() {
    static DiagLogger instance;
    return instance;
}

DiagLogger::DiagLogger() : mLogPath(LogPath()), mMaxLevel(DEFAULT_MAX_LEVEL) {
    // Touch the logging core first, so that it is destroyed after this logger at process end
    // and Shutdown still finds it.
    boost::log::core::get();
}

DiagLogger::~DiagLogger() { Shutdown(); }

bool DiagLogger::LoggingActive() { return sLoggingActive; }

bool DiagLogger::SwitchOn(const std::string& maxLevelName) {
    static const char* const kNames[] = {"FATAL", "ERROR", "WARNING", "INFO", "DEBUG"};
    int32_t maxLevel = -1;
    for (int32_t level = DIAG_FATAL; level <= DIAG_DEBUG; ++level) {
        if (maxLevelName == kNames[level]) {
            maxLevel = level;
        }
    }
    if (maxLevel < 0) {
        return false;
    }
    for (int32_t level = DIAG_FATAL; level <= DIAG_DEBUG; ++level) {
        mNameByLevel[level] = kNames[level];
        mLevelByName[kNames[level]] = level;
    }
    mMaxLevel = maxLevel;
    mInitialized = true;
    if (!sLoggingCleared) {
        sLoggingActive = true;
    }
    return true;
}

void DiagLogger::Shutdown() {
    if (!mInitialized) {
        return;
    }
    boost::log::core::get()->remove_all_sinks();
    ClearLoggingActive();
    mInitialized = false;
}

std::string DiagLogger::FormatLine(int32_t level, const char* function, uint32_t line,
                                   int64_t microseconds, const std::string& message) const {
    auto name = mNameByLevel.find(level);
    std::ostringstream out;
    out << "[" << (name != mNameByLevel.end() ? name->second : std::to_string(level)) << "] ";

    int64_t seconds = microseconds / 1000000;
    int64_t millis = (microseconds / 1000) % 1000;
    int64_t micros = microseconds % 1000;
    std::tm local{};
    Platform::PlatformTime::ToLocalTime(seconds, &local);
    char stamp[64];
    size_t len = std::strftime(stamp, sizeof stamp, "[%d.%m.%Y %H:%M:%S:", &local);
    out.write(stamp, static_cast<std::streamsize>(len));
    out << std::setfill('0') << std::setw(3) << millis << ":" << std::setw(3) << micros << "]";

    out << "[" << (function != nullptr ? function : "") << "] [LINE: " << line << "] ";
    for (char c : message) {
        if (c != '\n') {
            out << c;
        }
    }
    return out.str();
}

void DiagLogger::Log(int32_t level, const char* function, uint32_t line, const char* format,
                     ...) {
    va_list args;
    va_start(args, format);
    std::string message = StringPrintfVa(format, args);
    va_end(args);
    int64_t microseconds = Platform::PlatformTime::SystemTime100ns() / 10;

    if (!mInitialized || !sLoggingActive || level > mMaxLevel) {
        return;
    }
    std::string text = FormatLine(level, function, line, microseconds, message);
    if (level < DIAG_FATAL || level > DIAG_DEBUG) {
        return;
    }

    // An emission that fails with a standard exception silences the logger for good.
    try {
        auto& logger = boost::log::trivial::logger::get();
        auto severity = static_cast<boost::log::trivial::severity_level>(5 - level);
        boost::log::record record = logger.open_record(boost::log::keywords::severity = severity);
        if (record) {
            boost::log::record_ostream stream(record);
            stream << text;
            stream.flush();
            logger.push_record(std::move(record));
        }
    } catch (const std::exception&) {
        ClearLoggingActive();
    }
}
