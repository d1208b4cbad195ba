// PlatformTime: the clocks and the pause of the operating system, behind one seam.
//
// Everything above the platform layer asks this class for time and for sleeping; nothing
// above it includes an operating-system header. Tests may replace the system clock and the
// sleep with their own functions (SetSystemClockForTesting, SetSleepForTesting) so that
// time-dependent code runs without waiting. The replacements are process-wide and not
// synchronised: set them before the code under test starts, from one thread.
#pragma once

#include <cstdint>
#include <ctime>

namespace Platform {

class PlatformTime {
public:
    // A monotonic counter in nanoseconds that is never 0, for measuring and pacing: on POSIX
    // CLOCK_MONOTONIC, on Windows QueryPerformanceCounter's ticks scaled by its frequency.
    // Readings compare only within one boot of the machine.
    static uint64_t PerformanceCounter();

    // The performance counter as other processes on the machine read it, for stamps kept in
    // shared memory (the partition header's initTime): on Windows the raw
    // QueryPerformanceCounter value, in the counter's own ticks; on POSIX the same nanoseconds
    // as PerformanceCounter. Monotonic, never 0. Do not mix its readings with
    // PerformanceCounter's.
    static uint64_t RawPerformanceCounter();

    // The system clock as 100-nanosecond ticks since 1970-01-01 00:00 UTC.
    static int64_t SystemTime100ns();

    // Converts seconds since 1970 (UTC) into local calendar time. Returns false when the
    // conversion fails; *out is then left as it was.
    static bool ToLocalTime(int64_t seconds, std::tm* out);

    // Pauses the calling thread for about ms milliseconds (the stand-in of Sleep).
    static void Sleep(uint32_t ms);

    // Pauses the calling thread for about us microseconds, for pauses finer than Sleep can
    // count. Where the system sleeps only in whole milliseconds, it sleeps at least one. Not
    // replaced by SetSleepForTesting.
    static void SleepMicroseconds(uint32_t us);

    // Both pauses mean what they say where the system's timer is coarse: on Windows the default
    // timer period (15.6 ms) would stretch a pause of 50 us or 4 ms to a whole period. A pause
    // shorter than that period waits on a high-resolution waitable timer of the calling thread
    // (created at its first short pause, closed when the thread ends) where the system has one;
    // elsewhere it sleeps with the timer resolution raised to 1 ms for that pause only. POSIX
    // sleeps are fine-grained already and take neither path.
    enum class PrecisePausePath {
        WAITABLE_TIMER,     // the default: the timer where the system has one, else the fallback
        RAISED_RESOLUTION,  // the fallback only (the raised timer resolution)
    };
    // System calls of the precise pauses since the start of the process (all 0 on POSIX).
    struct PrecisePauseCounts {
        uint64_t timersOpened = 0;
        uint64_t timersClosed = 0;
        uint64_t timerWaits = 0;
        uint64_t resolutionRaised = 0;
        uint64_t resolutionRestored = 0;
    };
    static void SetPrecisePausePathForTesting(PrecisePausePath path);
    static PrecisePauseCounts PrecisePauseCountsForTesting();

    using SystemClockFn = int64_t (*)();
    using SleepFn = void (*)(uint32_t ms);

    // Replaces the system clock or the sleep; nullptr restores the real one.
    static void SetSystemClockForTesting(SystemClockFn fn);
    static void SetSleepForTesting(SleepFn fn);

private:
    // The operating system's own clock and sleep, behind the test replacements (one source
    // per platform; the replacements themselves are shared).
    static int64_t SystemTime100nsOfSystem();
    static void SleepOfSystem(uint32_t ms);
};

}  // namespace Platform
