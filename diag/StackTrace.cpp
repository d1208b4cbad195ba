// PlixBase::StackTrace over the platform's stack capture and symbol lookup.
#include "diag/StackTrace.h"

#include <cstdint>
#include <string>

#include "diag/DiagLogger.h"
#include "platform/StackCapture.h"

namespace PlixBase {

void StackTrace() {
    constexpr uint32_t kMaxFrames = 100;
    void* frames[kMaxFrames];
    uint32_t n = Platform::StackCapture::Capture(frames, kMaxFrames);

    // One symbol record for the whole trace: a failed lookup leaves the last success in place.
    std::string name;
    uint64_t start = 0;
    for (uint32_t i = 0; i < n; ++i) {
        Platform::StackCapture::LookUp(frames[i], &name, &start);
        int number = static_cast<int>(n - 1 - i);
        if constexpr (sizeof(void*) == 4) {
            DiagLogger::Instance().Log(DIAG_ERROR, "PlixBase::StackTrace", __LINE__,
                                       "%i: %s - 0x%0X\n", number, name.c_str(),
                                       static_cast<unsigned int>(start));
        } else {
            DiagLogger::Instance().Log(DIAG_ERROR, "PlixBase::StackTrace", __LINE__,
                                       "%i: %s - 0x%llX\n", number, name.c_str(),
                                       static_cast<unsigned long long>(start));
        }
    }
}

}  // namespace PlixBase
