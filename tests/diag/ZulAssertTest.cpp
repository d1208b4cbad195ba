// ZUL_ASSERT: evaluated once, one stderr line and exit(-2) with the logger off, and with it on
// the assertion line, the numbered stack lines and "Exiting ZUL!" in that order.
#include <gtest/gtest.h>

#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/utility/setup/file.hpp>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "diag/DiagLogger.h"
#include "diag/ZulAssert.h"
#include "tests/support/Portable.h"

namespace Probe {

struct Checker {
    __attribute__((noinline)) static void Check(int value) { ZUL_ASSERT(value == 2); }
    // Recurses depth times, then fails an assertion.
    __attribute__((noinline)) static int Deep(int depth) {
        if (depth == 0) {
            ZUL_ASSERT(depth != 0);
            return 0;
        }
        volatile int keep = Deep(depth - 1);  // not a tail call: every level keeps a frame
        return keep + 1;
    }
};

}  // namespace Probe

namespace {

// The Windows symbol handler reads no DWARF: it cannot name the program's own functions.
#ifdef _WIN32
constexpr bool NAMES_OWN_FUNCTIONS = false;
#else
constexpr bool NAMES_OWN_FUNCTIONS = true;
#endif

std::string TempFile(const char* tag) {
    return PlixTest::TempFilePath("plix_zul_" + std::string(tag) + "_" + PlixTest::RunTag() +
                                  ".log");
}

// Switches the logger on and writes every record's message to path, one per line.
void LogToFile(const std::string& path) {
    DiagLogger::Instance().SwitchOn("DEBUG");
    namespace expr = boost::log::expressions;
    boost::log::add_file_log(boost::log::keywords::file_name = path,
                             boost::log::keywords::auto_flush = true,
                             boost::log::keywords::format = expr::stream << expr::smessage);
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(ZulAssertTest, PassingAssertionEvaluatesOnce) {
    int evaluations = 0;
    ZUL_ASSERT(++evaluations == 1);
    EXPECT_EQ(evaluations, 1);
}

// One or more digits in a death test's pattern: POSIX extended expressions on POSIX, the
// framework's simple expressions on Windows.
#ifdef _WIN32
#define DIGITS "\\d+"
#else
#define DIGITS "[0-9]+"
#endif

// With the logger off, as in the shipped program, stderr holds exactly one line naming the
// program, the check, the function and the line.
TEST(ZulAssertTest, FailureWithLoggerOffWritesOneLineAndExitsWith254) {
    EXPECT_EXIT(Probe::Checker::Check(3), ::testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
                "^diag_test: fatal: ZUL_ASSERT failed \\[value == 2\\] in "
                "Probe::Checker::Check, line " DIGITS "\r?\n$");
}

TEST(ZulAssertTest, FailureWritesAssertionStackAndExitLinesInOrder) {
    std::string path = TempFile("order");
    EXPECT_EXIT(
        {
            LogToFile(path);
            Probe::Checker::Check(3);
        },
        ::testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE), "");
    std::vector<std::string> lines = ReadLines(path);
    std::remove(path.c_str());
    ASSERT_GE(lines.size(), 4u);

    std::regex first(R"(\[FATAL\] \[[0-9.]{10} [0-9:]{8}:[0-9]{3}:[0-9]{3}\]\[Probe::Checker::Check\] \[LINE: ([0-9]+)\] ZUL_ASSERT failed \[value == 2\])");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines.front(), m, first)) << lines.front();
    std::string line = m[1];
    EXPECT_NE(lines.back().find("][Probe::Checker::Check] [LINE: " + line + "] Exiting ZUL!"),
              std::string::npos)
        << lines.back();
    EXPECT_EQ(lines.back().rfind("[FATAL] ", 0), 0u);

    // Stack lines between them: numbered n-1 down to 0, innermost (the trace itself) first.
    std::regex frame(R"(\[ERROR\] .*\]\[PlixBase::StackTrace\] \[LINE: [0-9]+\] (-?[0-9]+): (.*) - 0x([0-9A-F]+))");
    size_t n = lines.size() - 2;
    bool sawChecker = false;
    for (size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(std::regex_match(lines[i + 1], m, frame)) << lines[i + 1];
        EXPECT_EQ(std::stoul(m[1]), n - 1 - i);
        if (i == 0 && NAMES_OWN_FUNCTIONS) {
            EXPECT_NE(m[2].str().find("PlixBase::StackTrace"), std::string::npos) << lines[1];
        }
        sawChecker = sawChecker || m[2].str().find("Probe::Checker::Check") != std::string::npos;
    }
    EXPECT_TRUE(sawChecker || !NAMES_OWN_FUNCTIONS);
}

TEST(ZulAssertTest, DeepStackWritesOnlyTheHundredInnermostFrames) {
    std::string path = TempFile("deep");
    EXPECT_EXIT(
        {
            LogToFile(path);
            Probe::Checker::Deep(150);
        },
        ::testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE), "");
    std::vector<std::string> lines = ReadLines(path);
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 102u);
    EXPECT_NE(lines[1].find("] 99: "), std::string::npos) << lines[1];
    EXPECT_NE(lines[100].find("] 0: "), std::string::npos) << lines[100];
    // Frames inside the same function name the same start address.
    std::string a = lines[50].substr(lines[50].rfind(" - 0x"));
    std::string b = lines[60].substr(lines[60].rfind(" - 0x"));
    EXPECT_EQ(a, b);
    if (NAMES_OWN_FUNCTIONS) {
        EXPECT_NE(lines[50].find("Probe::Checker::Deep"), std::string::npos) << lines[50];
    }
}

TEST(ZulAssertTest, QualifiedNameIsTakenFromThePrettyName) {
    char buf[128];
    using PlixBase::QualifiedFunctionName;
    EXPECT_STREQ(QualifiedFunctionName("uint32_t ZulOsCom::VSharedMemoryQueue::ReadBytes(void*, uint32_t*)", buf, sizeof buf),
                 "ZulOsCom::VSharedMemoryQueue::ReadBytes");
    EXPECT_STREQ(QualifiedFunctionName("bool ZulOsCom::VRthSharedMemory::Init(uint32_t, int32_t&)", buf, sizeof buf),
                 "ZulOsCom::VRthSharedMemory::Init");
    EXPECT_STREQ(QualifiedFunctionName("std::map<int, std::basic_string<char> > Ns::F<A, B>::Get(int) const", buf, sizeof buf),
                 "Ns::F<A, B>::Get");
    EXPECT_STREQ(QualifiedFunctionName("int main()", buf, sizeof buf), "main");
    EXPECT_STREQ(QualifiedFunctionName("int main()", buf, 3), "ma");
}

}  // namespace
