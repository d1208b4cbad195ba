// Windows side of PlatformFormat: the runtime's _vscprintf counts, _vsnprintf_s with _TRUNCATE
// formats and cuts.
#include "platform/PlatformFormat.h"

#include <stdio.h>

namespace Platform {

int PlatformFormat::CountFormatted(const char* format, va_list args) {
    return _vscprintf(format, args);
}

void PlatformFormat::FormatTruncated(char* buf, size_t bufSize, const char* format, va_list args) {
    if (bufSize == 0) {
        return;
    }
    // Cut text is terminated by the runtime, and a failed format leaves buf empty; the last
    // byte is set all the same, so that buf is a string whatever the runtime did.
    _vsnprintf_s(buf, bufSize, _TRUNCATE, format, args);
    buf[bufSize - 1] = '\0';
}

}  // namespace Platform
