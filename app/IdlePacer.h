// IdlePacer: the pause of the read loop after a pass that found the queue empty.
//
// A fixed pause loses records: a writer that cannot wait drops what does not fit into the data
// area while the reader sleeps, so a fixed 100 ms pause capped a 4096-byte partition at about
// 600 records of 56 bytes per second. The pause therefore adapts to the traffic: the first
// empty pass after a record pauses FIRST_SLEEP_US, and each further empty pass doubles the
// pause up to MAX_PAUSE_US. While records keep coming the reader never sleeps much longer than
// the gap between them.
//
// The longest pause is also what a writer finds when it starts against an idle reader: 59
// records of 56 bytes fill a 4096-byte partition in 5.9 ms at 10,000 records/s, so the idle
// pause stays below that (4 ms), leaving room for the wake-up and the draining. What an idle
// wake-up costs is almost all the sleep itself (entering and leaving it: 15 to 30 us of
// processor time on a virtual machine, a few on real hardware); our part (the queue check, a
// clock reading; the key is polled only every 10 ms) is well under a microsecond. A stop
// request is seen within one pause.
//
// Schedule for the n-th consecutive empty pass (n = 0, 1, ...), in microseconds:
//   min(FIRST_SLEEP_US << n, MAX_PAUSE_US) = 50, 100, 200, 400, 800, 1600, 3200, 4000, ...
//
// The pause starts with a short sleep, not with yielding the processor: on a busy machine a
// yield can cost the reader a whole time slice of another process, while a short sleeper gets
// the processor back promptly when it wakes. The pauses must mean what they say: on Windows
// the platform sleeps through a high-resolution timer (or a raised timer resolution), since
// the default timer would stretch every step to 15.6 ms.
//
// One object per read loop, used by that loop's thread only. Holds no resources.
#pragma once

#include <cstdint>

class IdlePacer {
public:
    // The pause after the first empty pass.
    static constexpr uint32_t FIRST_SLEEP_US = 50;
    // The pause of an idle reader: the longest time a stop request or a new record waits.
    static constexpr uint32_t MAX_PAUSE_US = 4000;

    // The pause for an empty pass that follows emptyPassesBefore consecutive empty passes, in
    // microseconds. Pure; never above MAX_PAUSE_US, never decreasing in its argument.
    static uint32_t PauseForEmptyPass(uint32_t emptyPassesBefore);

    // A pass that was not empty (a record was consumed, or one is pending): the next empty pass
    // starts the schedule again.
    void RecordArrived() { mEmptyPasses = 0; }

    // The pause for the current empty pass, in microseconds; counts the pass.
    uint32_t NextPauseUs();

    // Consecutive empty passes counted since the last record; the count stops once the pause
    // has reached MAX_PAUSE_US, so it never wraps.
    uint32_t EmptyPasses() const { return mEmptyPasses; }

    // Pauses the calling thread for about us microseconds. Whole milliseconds (the idle pause)
    // go through the platform's Sleep, which tests can replace; the shorter steps of the
    // schedule are finer than that Sleep can count and go through SleepMicroseconds. Both are
    // precise to well under a millisecond on every platform (see PlatformTime).
    static void Pause(uint32_t us);

private:
    uint32_t mEmptyPasses = 0;
};
