// Windows side of PlatformTime: QueryPerformanceCounter, GetSystemTimeAsFileTime, the runtime's
// localtime_s, Sleep.
#include "platform/PlatformTime.h"

#include <time.h>
#include <windows.h>

namespace Platform {
namespace {

PlatformTime::SystemClockFn sClock = nullptr;
PlatformTime::SleepFn sSleep = nullptr;

// 100-ns ticks from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr int64_t FILETIME_TO_UNIX_EPOCH = 116444736000000000LL;
constexpr uint64_t NANOSECONDS_PER_SECOND = 1000000000ULL;

uint64_t CounterFrequency() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        // Cannot fail on Windows XP and later; guard the division all the same.
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? static_cast<uint64_t>(f.QuadPart)
                                                               : 1;
    }();
    return frequency;
}

}  // namespace

// Counter ticks scaled to nanoseconds, as on POSIX, so that callers that pace by it see the
// same unit on both platforms. Split into whole seconds and the rest: no overflow for
// centuries of uptime at any counter frequency.
uint64_t PlatformTime::PerformanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    const uint64_t frequency = CounterFrequency();
    const uint64_t ns = ticks / frequency * NANOSECONDS_PER_SECOND +
                        ticks % frequency * NANOSECONDS_PER_SECOND / frequency;
    return ns == 0 ? 1 : ns;
}

// Ticks as QueryPerformanceCounter gives them, the unit every other user of a partition stamps
// its header in. The counter counts from boot and is not 0 in practice; 1 stands in should it be.
uint64_t PlatformTime::RawPerformanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
    return ticks == 0 ? 1 : ticks;
}

int64_t PlatformTime::SystemTime100ns() {
    if (sClock != nullptr) {
        return sClock();
    }
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return ticks - FILETIME_TO_UNIX_EPOCH;
}

bool PlatformTime::ToLocalTime(int64_t seconds, std::tm* out) {
    const __time64_t t = static_cast<__time64_t>(seconds);
    std::tm result{};
    if (_localtime64_s(&result, &t) != 0) {
        return false;
    }
    *out = result;
    return true;
}

void PlatformTime::Sleep(uint32_t ms) {
    if (sSleep != nullptr) {
        sSleep(ms);
        return;
    }
    ::Sleep(ms);
}

// Sleep counts whole milliseconds: a shorter pause sleeps one.
void PlatformTime::SleepMicroseconds(uint32_t us) {
    ::Sleep(us == 0 ? 0 : (us + 999) / 1000);
}

void PlatformTime::SetSystemClockForTesting(SystemClockFn fn) { sClock = fn; }
void PlatformTime::SetSleepForTesting(SleepFn fn) { sSleep = fn; }

}  // namespace Platform
