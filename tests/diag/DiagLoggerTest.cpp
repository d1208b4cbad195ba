// The diagnostic line piece by piece, severities, dropping rules and the emission guard.
// The logger's switches are process-wide and one-way, so every test runs in a child of its own.
#include <gtest/gtest.h>

#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

#include "diag/DiagLogger.h"
#include "platform/PlatformTime.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Portable.h"

namespace {

using boost::log::trivial::severity_level;
using PlixTest::LogCapture;

// Runs body in a fresh child process; the test fails unless the body ran without a failure.
#define IN_CHILD(body)                                                        \
    do {                                                                      \
        GTEST_FLAG_SET(death_test_style, "threadsafe");                       \
        EXPECT_EXIT(                                                          \
            {                                                                 \
                body;                                                         \
                std::exit(::testing::Test::HasFailure() ? 1 : 0);             \
            },                                                                \
            ::testing::ExitedWithCode(0), "");                                \
    } while (0)

// 2026-12-07 21:37:10 UTC plus 5 ms and 7 us, as 100-ns ticks.
constexpr int64_t kSeconds = 1796679430;
int64_t FixedClock() { return kSeconds * 10000000LL + 50070; }

void UseUtcAndFixedClock() {
    PlixTest::UseTimeZone("UTC");
    Platform::PlatformTime::SetSystemClockForTesting(FixedClock);
}

class ThrowingBackend
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    void consume(const boost::log::record_view&) { throw std::runtime_error("disk gone"); }
};

TEST(DiagLoggerTest, SwitchedOffEmitsNothingForAnyLevel) {
    IN_CHILD({
        LogCapture capture;
        DiagLogger& logger = DiagLogger::Instance();
        for (int32_t level = -1; level <= 5; ++level) {
            logger.Log(level, "Ns::Class::Op", 10, "report %d\n", level);
        }
        EXPECT_TRUE(capture.Records().empty());
        EXPECT_FALSE(DiagLogger::LoggingActive());
        EXPECT_FALSE(logger.SwitchOn("VERBOSE"));  // unknown name changes nothing
        logger.Log(DIAG_FATAL, "Ns::Class::Op", 11, "still off");
        EXPECT_TRUE(capture.Records().empty());
    });
}

TEST(DiagLoggerTest, LineIsBuiltPieceByPiece) {
    IN_CHILD({
        UseUtcAndFixedClock();
        LogCapture capture;
        DiagLogger& logger = DiagLogger::Instance();
        ASSERT_TRUE(logger.SwitchOn("DEBUG"));

        logger.Log(DIAG_INFO, "ZulOsCom::VShmHeader::AddRefGetInitTime", 42, "ref=%d, t=%lld\n", 2,
                   123456789012345LL);
        logger.Log(DIAG_ERROR, nullptr, 0, "a\nb\r\n");
        logger.Log(DIAG_WARNING, "F", 4294967295u, "x%cy", 0);
        logger.Log(DIAG_DEBUG, "F", 7, "%s", "");

        auto records = capture.Records();
        ASSERT_EQ(records.size(), 4u);
        EXPECT_EQ(records[0].message,
                  "[INFO] [07.12.2026 21:37:10:005:007][ZulOsCom::VShmHeader::AddRefGetInitTime] "
                  "[LINE: 42] ref=2, t=123456789012345");
        EXPECT_EQ(records[1].message, "[ERROR] [07.12.2026 21:37:10:005:007][] [LINE: 0] ab\r");
        EXPECT_EQ(records[2].message,
                  "[WARNING] [07.12.2026 21:37:10:005:007][F] [LINE: 4294967295] x");
        EXPECT_EQ(records[3].message, "[DEBUG] [07.12.2026 21:37:10:005:007][F] [LINE: 7] ");
        EXPECT_EQ(records[0].severity, severity_level::info);
        EXPECT_EQ(records[1].severity, severity_level::error);
        EXPECT_EQ(records[2].severity, severity_level::warning);
        EXPECT_EQ(records[3].severity, severity_level::debug);
    });
}

TEST(DiagLoggerTest, FormatterFailureGoesOnWithFixedText) {
    IN_CHILD({
        UseUtcAndFixedClock();
        std::setlocale(LC_ALL, "C");  // a wide character beyond Latin-1 cannot be converted
        LogCapture capture;
        DiagLogger& logger = DiagLogger::Instance();
        ASSERT_TRUE(logger.SwitchOn("DEBUG"));
        logger.Log(DIAG_FATAL, "F", 1, "%ls", L"\u20ac");
        auto records = capture.Records();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].severity, severity_level::fatal);
        EXPECT_EQ(records[0].message,
                  "[FATAL] [07.12.2026 21:37:10:005:007][F] [LINE: 1] Failed to log original "
                  "message: StringPrintfVa failed because bufsize == 0");
    });
}

TEST(DiagLoggerTest, LevelsAboveMaximumAndOutsideTheTableAreDropped) {
    IN_CHILD({
        LogCapture capture;
        DiagLogger& logger = DiagLogger::Instance();
        ASSERT_TRUE(logger.SwitchOn("ERROR"));
        for (int32_t level = -3; level <= 6; ++level) {
            logger.Log(level, "F", 1, "level %d", level);
        }
        logger.Log(DIAG_ERROR, "PlixBase::StackTrace", 9, "0: frame - 0x1\n");
        auto records = capture.Records();
        ASSERT_EQ(records.size(), 3u);
        EXPECT_EQ(records[0].severity, severity_level::fatal);
        EXPECT_NE(records[0].message.find("level 0"), std::string::npos);
        EXPECT_EQ(records[1].severity, severity_level::error);
        EXPECT_NE(records[1].message.find("level 1"), std::string::npos);
        EXPECT_NE(records[2].message.find("[PlixBase::StackTrace] [LINE: 9] 0: frame - 0x1"),
                  std::string::npos);
    });
}

TEST(DiagLoggerTest, FailedEmissionSilencesForGood) {
    IN_CHILD({
        DiagLogger& logger = DiagLogger::Instance();
        ASSERT_TRUE(logger.SwitchOn("DEBUG"));
        auto throwing = boost::make_shared<boost::log::sinks::synchronous_sink<ThrowingBackend>>();
        boost::log::core::get()->add_sink(throwing);
        logger.Log(DIAG_ERROR, "F", 1, "first");  // must not throw out of Log
        boost::log::core::get()->remove_sink(throwing);
        EXPECT_FALSE(DiagLogger::LoggingActive());

        LogCapture capture;
        logger.Log(DIAG_FATAL, "F", 2, "after the failure");
        EXPECT_TRUE(logger.SwitchOn("DEBUG"));  // accepted, but the logger stays silent
        logger.Log(DIAG_FATAL, "F", 3, "after switching on again");
        EXPECT_TRUE(capture.Records().empty());
    });
}

TEST(DiagLoggerTest, ShutdownRemovesEverySinkAndSwitchesOff) {
    IN_CHILD({
        DiagLogger& logger = DiagLogger::Instance();
        ASSERT_TRUE(logger.SwitchOn("DEBUG"));
        LogCapture capture;
        logger.Log(DIAG_ERROR, "F", 1, "before");
        logger.Shutdown();
        EXPECT_FALSE(DiagLogger::LoggingActive());
        logger.Log(DIAG_ERROR, "F", 2, "after");
        BOOST_LOG_TRIVIAL(error) << "no sink left";
        auto messages = capture.Messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find("before"), std::string::npos);
    });
}

TEST(DiagLoggerTest, StringPrintfVaCutsAtFirstNul) {
    auto format = [](const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        std::string s = StringPrintfVa(fmt, args);
        va_end(args);
        return s;
    };
    EXPECT_EQ(format("%s=%d", "n", 5), "n=5");
    EXPECT_EQ(format("ab%cde", 0), "ab");
    EXPECT_EQ(format(""), "");
    std::string big(10000, 'x');
    EXPECT_EQ(format("%s", big.c_str()), big);
}

}  // namespace
