// PlatformFormat: the runtime library's printf family as the diagnostics need it (the
// stand-ins of _vscprintf and _vsnprintf_s with _TRUNCATE). Thread-safe; allocates nothing.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace Platform {

class PlatformFormat {
public:
    // Number of characters the formatted text needs, without the terminator; -1 when the
    // format cannot be rendered. args is consumed: pass a copy (va_copy).
    static int CountFormatted(const char* format, va_list args);

    // Formats into buf of bufSize bytes, truncating to bufSize - 1 characters and always
    // terminating when bufSize > 0. args is consumed: pass a copy (va_copy).
    static void FormatTruncated(char* buf, size_t bufSize, const char* format, va_list args);
};

}  // namespace Platform
