// POSIX side of PlatformTime: CLOCK_MONOTONIC, CLOCK_REALTIME, localtime_r, sleep_for.
#include "platform/PlatformTime.h"

#include <chrono>
#include <thread>
#include <time.h>

namespace Platform {

uint64_t PlatformTime::PerformanceCounter() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ns = static_cast<uint64_t>(ts.tv_sec) * 1000000000ULL + static_cast<uint64_t>(ts.tv_nsec);
    return ns == 0 ? 1 : ns;
}

// Peers on POSIX stamp with the same CLOCK_MONOTONIC nanoseconds.
uint64_t PlatformTime::RawPerformanceCounter() { return PerformanceCounter(); }

int64_t PlatformTime::SystemTime100nsOfSystem() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 10000000LL + ts.tv_nsec / 100;
}

bool PlatformTime::ToLocalTime(int64_t seconds, std::tm* out) {
    time_t t = static_cast<time_t>(seconds);
    std::tm result{};
    if (localtime_r(&t, &result) == nullptr) {
        return false;
    }
    *out = result;
    return true;
}

void PlatformTime::SleepOfSystem(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void PlatformTime::SleepMicroseconds(uint32_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// POSIX sleeps are fine-grained: nothing to choose, nothing to count.
void PlatformTime::SetPrecisePausePathForTesting(PrecisePausePath) {}
PlatformTime::PrecisePauseCounts PlatformTime::PrecisePauseCountsForTesting() { return {}; }


}  // namespace Platform
