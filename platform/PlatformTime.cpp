// PlatformTime: the test replacements of the system clock and the sleep, the same on every
// platform; the operating system's own calls are in the posix/ and windows/ sources.
#include "platform/PlatformTime.h"

namespace Platform {
namespace {
PlatformTime::SystemClockFn sClock = nullptr;
PlatformTime::SleepFn sSleep = nullptr;
}  // namespace

int64_t PlatformTime::SystemTime100ns() {
    return sClock != nullptr ? sClock() : SystemTime100nsOfSystem();
}

void PlatformTime::Sleep(uint32_t ms) {
    if (sSleep != nullptr) {
        sSleep(ms);
        return;
    }
    SleepOfSystem(ms);
}

void PlatformTime::SetSystemClockForTesting(SystemClockFn fn) { sClock = fn; }
void PlatformTime::SetSleepForTesting(SleepFn fn) { sSleep = fn; }

}  // namespace Platform
