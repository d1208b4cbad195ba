// The facts that drift most between the code and the texts that state them: the exit codes,
// the trace log directory and the idle pause's bounds. The code's constants are the one
// source; the README, the manual pages and the design and performance documents must say the
// same, so a constant changed without its documents (or the reverse) fails here.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "app/ReaderCommandLine.h"
#include "app/TraceLogSink.h"
#include "app/TraceReader.h"
#include "diag/ZulAssertEnd.h"
#include "tools/common/ToolExit.h"

namespace {

// A file of the source tree with its lines joined by single spaces and the manual pages'
// escapes for '-' and '"' undone, so that a phrase broken across lines is still found.
std::string Text(const std::string& relativePath) {
    std::ifstream in(std::string(PLIX_SOURCE_DIR) + "/" + relativePath);
    EXPECT_TRUE(in.good()) << relativePath;
    std::ostringstream raw;
    raw << in.rdbuf();
    std::string text = std::regex_replace(raw.str(), std::regex(R"(\\-)"), "-");
    text = std::regex_replace(text, std::regex(R"(\\\(dq)"), "\"");
    return std::regex_replace(text, std::regex(R"(\s+)"), " ");
}

// The exit codes a manual page lists: each ".TP .B N" of its EXIT STATUS section.
std::set<int> ManualExitCodes(const std::string& page) {
    const std::string text = Text(page);
    const size_t begin = text.find(".SH EXIT STATUS");
    EXPECT_NE(begin, std::string::npos) << page;
    const size_t end = text.find(".SH ", begin + 1);
    const std::string section = text.substr(begin, end == std::string::npos ? end : end - begin);
    std::set<int> codes;
    const std::regex entry(R"(\.TP \.B (\d+) )");
    for (std::sregex_iterator i(section.begin(), section.end(), entry), e; i != e; ++i) {
        codes.insert(std::stoi((*i)[1]));
    }
    return codes;
}

// The exit codes the README's table lists: each row "| N | ...".
std::set<int> ReadmeExitCodes() {
    std::ifstream in(std::string(PLIX_SOURCE_DIR) + "/README.md");
    std::set<int> codes;
    const std::regex row(R"(^\| (\d+) \|)");
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, m, row)) {
            codes.insert(std::stoi(m[1]));
        }
    }
    return codes;
}

TEST(DocumentFactsTest, ExitCodesLogDirectoryAndIdlePauseAgreeWithTheCode) {
    const std::set<int> reader = {TraceReader::EXIT_ENDED, TraceReader::EXIT_START_REFUSED,
                                  TraceReader::EXIT_USAGE,
                                  static_cast<uint8_t>(PlixBase::ZUL_ASSERT_EXIT_STATUS)};
    EXPECT_EQ(ReadmeExitCodes(), reader);
    EXPECT_EQ(ManualExitCodes("app/ReadPLIXTrace.1"), reader);
    const std::set<int> tools = {TOOL_EXIT_DONE, TOOL_EXIT_FAILED, TOOL_EXIT_USAGE};
    EXPECT_EQ(ManualExitCodes("tools/rthpart/rthpart.1"), tools);
    EXPECT_EQ(ManualExitCodes("tools/plixwrite/plixwrite.1"), tools);

    // The failed check's status as the texts name it beside the code a POSIX parent sees.
    const std::string minusTwo =
        "(exit status " + std::to_string(PlixBase::ZUL_ASSERT_EXIT_STATUS) + ")";
    for (const char* file : {"README.md", "app/ReadPLIXTrace.1"}) {
        SCOPED_TRACE(file);
        const std::string text = Text(file);
        EXPECT_NE(text.find(minusTwo), std::string::npos);
        EXPECT_NE(text.find(TRACE_LOG_DIRECTORY), std::string::npos);
        EXPECT_NE(text.find(ReaderCommandLine::IdlePauseBounds()), std::string::npos)
            << ReaderCommandLine::IdlePauseBounds();
    }
    for (const char* file : {"docs/design.md", "docs/performance.md"}) {
        SCOPED_TRACE(file);
        EXPECT_NE(Text(file).find(ReaderCommandLine::IdlePauseBounds()), std::string::npos);
    }
    EXPECT_NE(Text("docs/security.md").find(TRACE_LOG_DIRECTORY), std::string::npos);
}

}  // namespace
