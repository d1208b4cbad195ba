// POSIX side of PlatformFormat: vsnprintf does both the counting and the truncation.
#include "platform/PlatformFormat.h"

#include <cstdio>

namespace Platform {

int PlatformFormat::CountFormatted(const char* format, va_list args) {
    return std::vsnprintf(nullptr, 0, format, args);
}

void PlatformFormat::FormatTruncated(char* buf, size_t bufSize, const char* format, va_list args) {
    if (bufSize == 0) {
        return;
    }
    if (std::vsnprintf(buf, bufSize, format, args) < 0) {
        buf[0] = '\0';
    }
}

}  // namespace Platform
