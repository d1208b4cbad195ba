// The failure sequence of ZUL_ASSERT.
#include "diag/ZulAssert.h"

#include <cstdlib>
#include <cstring>

#include "diag/DiagLogger.h"
#include "diag/StackTrace.h"

namespace PlixBase {

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
    DiagLogger::Instance().Log(DIAG_FATAL, function, line, "ZUL_ASSERT failed [%s]", expression);
    StackTrace();
    DiagLogger::Instance().Log(DIAG_FATAL, function, line, "Exiting ZUL!");
#ifdef ZUL_ASSERT_THROWS
    throw ZulAssertFailure(expression);
#else
    std::exit(-2);
#endif
}

}  // namespace PlixBase
