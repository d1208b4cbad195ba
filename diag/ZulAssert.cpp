// The failure sequence of ZUL_ASSERT.
#include "diag/ZulAssert.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>

#include "diag/DiagLogger.h"
#include "diag/StackTrace.h"
#include "diag/ZulAssertEnd.h"
#include "platform/MappingGuard.h"
#include "platform/ProgramName.h"

namespace PlixBase {

namespace {

// SetUpRaceScope objects alive on this thread.
thread_local int tSetUpRaceScopes = 0;

// A line of fixed capacity, cut at its end; allocates nothing.
class LineBuffer {
public:
    void Append(const char* text) {
        const size_t n = std::min(std::strlen(text), CAPACITY - mLength);
        std::memcpy(mText + mLength, text, n);
        mLength += n;
    }
    void Append(uint32_t number) {
        char digits[16];
        const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, number);
        *r.ptr = '\0';
        Append(digits);
    }
    // Ends the line with a line feed, also when the text was cut.
    void Write(std::FILE* stream) {
        mText[mLength] = '\n';
        std::fwrite(mText, 1, mLength + 1, stream);
        std::fflush(stream);
    }

private:
    static constexpr size_t CAPACITY = 1023;  // without the line feed
    char mText[CAPACITY + 1];
    size_t mLength = 0;
};

// The one line the fatal path always writes, whether the diagnostic logger is on or not: the
// logger is off in the shipped program, which would otherwise end without a word.
void WriteFatalLine(const char* function, uint32_t line, const char* expression) {
    LineBuffer text;
    text.Append(Platform::ProgramName::Short());
    text.Append(": fatal: ZUL_ASSERT failed [");
    text.Append(expression);
    text.Append("] in ");
    text.Append(function);
    text.Append(", line ");
    text.Append(line);
    text.Write(stderr);
}

}  // namespace

SetUpRaceScope::SetUpRaceScope() { ++tSetUpRaceScopes; }

SetUpRaceScope::~SetUpRaceScope() { --tSetUpRaceScopes; }

const char* QualifiedFunctionName(const char* prettyFunction, char* buf, uint32_t bufSize) {
    // The parameter list opens at the first '(' outside template brackets; the name starts
    // after the last blank before it that is outside template brackets.
    size_t len = std::strlen(prettyFunction);
    size_t open = len;
    int depth = 0;
    for (size_t i = 0; i < len; ++i) {
        char c = prettyFunction[i];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && depth == 0) {
            open = i;
            break;
        }
    }
    size_t begin = 0;
    depth = 0;
    for (size_t i = open; i > 0; --i) {
        char c = prettyFunction[i - 1];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if (c == ' ' && depth == 0) {
            begin = i;
            break;
        }
    }
    size_t n = open - begin;
    if (bufSize == 0) {
        return "";
    }
    if (n >= bufSize) {
        n = bufSize - 1;
    }
    std::memcpy(buf, prettyFunction + begin, n);
    buf[n] = '\0';
    return buf;
}

void ZulAssertFail(const char* prettyFunction, uint32_t line, const char* expression) {
    char name[256];
    const char* function = QualifiedFunctionName(prettyFunction, name, sizeof name);
    if (Platform::MappingGuard::Lost()) {
        throw PartitionMemoryLost(std::string("partition memory lost: ZUL_ASSERT failed [") +
                                  expression + "] in " + function + ", line " +
                                  std::to_string(line));
    }
    if (tSetUpRaceScopes > 0) {
        throw PartitionBeingSetUp(std::string("partition being set up: ZUL_ASSERT failed [") +
                                  expression + "] in " + function + ", line " +
                                  std::to_string(line));
    }
    WriteFatalLine(function, line, expression);
    DiagLogger::Instance().Log(DIAG_FATAL, function, line, "ZUL_ASSERT failed [%s]", expression);
    StackTrace();
    DiagLogger::Instance().Log(DIAG_FATAL, function, line, "Exiting ZUL!");
    ZulAssertEnd(expression);
}

}  // namespace PlixBase
