// IdlePacer: the pause of the read loop after a pass that found the queue empty.
//
// A fixed pause loses records: a writer that cannot wait drops what does not fit into the data
// area while the reader sleeps, so a fixed 100 ms pause capped a 4096-byte partition at about
// 600 records of 56 bytes per second. The pause therefore adapts to the traffic: the first
// empty pass after a record pauses FIRST_SLEEP_US, and each further empty pass doubles the
// pause up to MAX_PAUSE_US. While records keep coming the reader never sleeps much longer than
// the gap between them.
//
// A writer that starts against an idle reader finds it in its current pause: 59 records of
// 56 bytes fill a 4096-byte partition in 5.9 ms at 10,000 records/s. So for ALERT_WINDOW_US
// after the last record the pause stays at ALERT_PAUSE_US (2 ms), leaving room for the wake-up
// and the draining: traffic that has just paused tends to resume. A reader idle for longer
// than that relaxes, doubling again up to MAX_PAUSE_US (100 ms), so that a long-idle reader
// wakes only 10 times a second: an idle wake-up costs almost all in the sleep itself (entering
// and leaving it: 15 to 50 us of processor time on a virtual machine, a few on real hardware,
// against well under a microsecond for the queue check and a clock reading), and 500 of them a
// second would cost up to 1 % of a core there. Limit: a burst after a longer silence from a
// writer that does not wake the reader (below) can count only on the data area for up to
// 100 ms. A stop request is seen within one pause.
//
// Schedule for the n-th consecutive empty pass (n = 0, 1, ...), in microseconds:
//   50, 100, 200, ..., 1600, then 2000 for ALERT_WINDOW_US, then 4000, 8000, ..., 100000.
//
// Writers that use the writer library wake the reader (ZulOsCom::QueueWakeUp): a pause longer
// than ALERT_PAUSE_US (a reader idle for longer than the alert window) waits on the partition's
// wake-up object instead of sleeping, and ends as soon as a write makes the queue non-empty, so
// a burst after any silence finds the reader awake within microseconds. Those pauses keep their
// length, so that writers that do not signal (the real-time side) are still polled at most
// MAX_PAUSE_US apart, and a stop request is still seen within one pause. Shorter pauses stay
// plain sleeps: a reader that waited in them would cost a writer at a moderate rate a system
// call for nearly every record, and they end soon anyway.
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
    // The longest pause while the reader is alert, right after records came.
    static constexpr uint32_t ALERT_PAUSE_US = 2000;
    // How long the reader stays alert after the last record (the sum of its pauses).
    static constexpr uint32_t ALERT_WINDOW_US = 3000000;
    // The pause of a long-idle reader: the longest time a stop request or a new record waits.
    static constexpr uint32_t MAX_PAUSE_US = 100000;

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

    // Whether a pause of us microseconds waits on the wake-up object (when there is one)
    // rather than sleeping: the pauses beyond the alert pause.
    static constexpr bool AwaitsWriter(uint32_t us) { return us > ALERT_PAUSE_US; }

    // Pauses the calling thread for about us microseconds. Whole milliseconds (the idle pause)
    // go through the platform's Sleep, which tests can replace; the shorter steps of the
    // schedule are finer than that Sleep can count and go through SleepMicroseconds. Both are
    // precise to well under a millisecond on every platform (see PlatformTime).
    static void Pause(uint32_t us);

private:
    uint32_t mEmptyPasses = 0;
};
