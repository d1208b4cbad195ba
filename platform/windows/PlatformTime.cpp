// Windows side of PlatformTime: QueryPerformanceCounter, GetSystemTimeAsFileTime, the runtime's
// localtime_s, Sleep, and for short pauses a high-resolution waitable timer or a raised timer
// resolution.
#include "platform/PlatformTime.h"

#include <time.h>
#include <windows.h>
// After windows.h.
#include <mmsystem.h>

#include <atomic>

// The program's time stays right after 2038: the C runtime's times (file modification times of
// the cleanup, the local clock of the trace log's time stamps) are 64-bit. The build sets this
// for the project and its Boost alike (cmake/mingw-w64.cmake).
static_assert(sizeof(time_t) == 8, "time_t must be 64-bit: define __MINGW_USE_VC2005_COMPAT");
// The oldest Windows the program runs on is Windows 7: the system headers hide newer functions,
// and Boost makes the same choice of system calls.
static_assert(_WIN32_WINNT == 0x0601 && WINVER == 0x0601, "the program supports Windows 7 and later");
#ifdef BOOST_USE_WINAPI_VERSION
static_assert(BOOST_USE_WINAPI_VERSION == _WIN32_WINNT, "Boost targets the same Windows");
#else
#error "BOOST_USE_WINAPI_VERSION must be set with _WIN32_WINNT (cmake/mingw-w64.cmake)"
#endif

namespace Platform {
namespace {

// 100-ns ticks from 1601-01-01 (FILETIME's epoch) to 1970-01-01.
constexpr int64_t FILETIME_TO_UNIX_EPOCH = 116444736000000000LL;
constexpr uint64_t NANOSECONDS_PER_SECOND = 1000000000ULL;

// CreateWaitableTimerExW's flag for a timer that is not bound to the system timer's period
// (Windows 10 version 1803 and later; older systems refuse the flag).
constexpr DWORD HIGH_RESOLUTION_TIMER_FLAG = 0x00000002;
// Pauses of at least the default timer period go through plain Sleep: the period stretches
// them by a fraction at most.
constexpr uint32_t TIMER_PERIOD_US = 15625;
constexpr UINT RAISED_TIMER_PERIOD_MS = 1;
constexpr uint32_t US_PER_MS = 1000;
constexpr LONGLONG TICKS_100NS_PER_US = 10;

std::atomic<PlatformTime::PrecisePausePath> sPausePath{
    PlatformTime::PrecisePausePath::WAITABLE_TIMER};
std::atomic<uint64_t> sTimersOpened{0};
std::atomic<uint64_t> sTimersClosed{0};
std::atomic<uint64_t> sTimerWaits{0};
std::atomic<uint64_t> sResolutionRaised{0};
std::atomic<uint64_t> sResolutionRestored{0};

// The calling thread's high-resolution timer: created at its first short pause, closed when
// the thread ends.
class ThreadTimer {
public:
    ~ThreadTimer() {
        if (mTimer != nullptr) {
            CloseHandle(mTimer);
            ++sTimersClosed;
        }
    }

    // The timer, or nullptr where the system has no high-resolution timer.
    HANDLE Get() {
        if (!mTried) {
            mTried = true;
            mTimer = CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER_FLAG,
                                            TIMER_ALL_ACCESS);
            if (mTimer != nullptr) {
                ++sTimersOpened;
            }
        }
        return mTimer;
    }

private:
    bool mTried = false;
    HANDLE mTimer = nullptr;
};

thread_local ThreadTimer tTimer;

// Waits us microseconds on the thread's high-resolution timer; false when there is none.
bool WaitOnTimer(uint32_t us) {
    HANDLE timer = tTimer.Get();
    if (timer == nullptr) {
        return false;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(us) * TICKS_100NS_PER_US;  // negative: relative
    if (!SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        return false;
    }
    WaitForSingleObject(timer, INFINITE);
    ++sTimerWaits;
    return true;
}

// Sleeps whole milliseconds (at least one) with the timer resolution raised for the pause
// only: a raised resolution costs the whole system power, so it is given back at once.
void SleepRaised(uint32_t us) {
    const DWORD ms = (us + US_PER_MS - 1) / US_PER_MS;
    if (timeBeginPeriod(RAISED_TIMER_PERIOD_MS) != TIMERR_NOERROR) {
        ::Sleep(ms);
        return;
    }
    ++sResolutionRaised;
    ::Sleep(ms);
    timeEndPeriod(RAISED_TIMER_PERIOD_MS);
    ++sResolutionRestored;
}

// A pause shorter than the timer period, as precise as the system allows.
void PrecisePause(uint32_t us) {
    if (sPausePath != PlatformTime::PrecisePausePath::RAISED_RESOLUTION && WaitOnTimer(us)) {
        return;
    }
    SleepRaised(us);
}

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

int64_t PlatformTime::SystemTime100nsOfSystem() {
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

void PlatformTime::SleepOfSystem(uint32_t ms) {
    if (ms > 0 && ms < TIMER_PERIOD_US / US_PER_MS) {
        PrecisePause(ms * US_PER_MS);
        return;
    }
    ::Sleep(ms);
}

void PlatformTime::SleepMicroseconds(uint32_t us) {
    if (us == 0) {
        ::Sleep(0);
    } else if (us < TIMER_PERIOD_US) {
        PrecisePause(us);
    } else {
        ::Sleep((us + US_PER_MS - 1) / US_PER_MS);
    }
}

void PlatformTime::SetPrecisePausePathForTesting(PrecisePausePath path) { sPausePath = path; }

PlatformTime::PrecisePauseCounts PlatformTime::PrecisePauseCountsForTesting() {
    PrecisePauseCounts counts;
    counts.timersOpened = sTimersOpened;
    counts.timersClosed = sTimersClosed;
    counts.timerWaits = sTimerWaits;
    counts.resolutionRaised = sResolutionRaised;
    counts.resolutionRestored = sResolutionRestored;
    return counts;
}


}  // namespace Platform
