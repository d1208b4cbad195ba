// IdlePacer: the pause of the read loop after a pass that found the queue empty.
//
// A fixed pause loses records: a writer that cannot wait drops what does not fit into the data
// area while the reader sleeps, so a fixed 100 ms pause caps a 4096-byte partition at about 600
// records of 56 bytes per second. The pause therefore adapts to the traffic: the first empty
// pass after a record pauses FIRST_SLEEP_US, and each further empty pass doubles the pause up
// to MAX_PAUSE_US. While records keep coming the reader never sleeps much longer than the gap
// between them; a reader that has been idle for about a tenth of a second polls every 100 ms,
// as the fixed pause did, so its idle load stays as low, and a stop request is seen within one
// pause, at most about 100 ms.
//
// Schedule for the n-th consecutive empty pass (n = 0, 1, ...), in microseconds:
//   min(FIRST_SLEEP_US << n, MAX_PAUSE_US) = 50, 100, 200, ..., 51200, 100000, 100000, ...
//
// The pause starts with a short sleep, not with yielding the processor: on a busy machine a
// yield can cost the reader a whole time slice of another process, while a short sleeper gets
// the processor back promptly when it wakes.
//
// Limit: the pause cannot know when a writer starts. A writer that begins writing while the
// reader is in its idle pause finds the reader asleep for up to 100 ms; only what fits into
// the data area is safe until the reader wakes and follows the stream.
//
// One object per read loop, used by that loop's thread only. Holds no resources.
#pragma once

#include <cstdint>

class IdlePacer {
public:
    // The pause after the first empty pass.
    static constexpr uint32_t FIRST_SLEEP_US = 50;
    // The pause of an idle reader: the longest time a stop request or a new record waits.
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

    // Pauses the calling thread for about us microseconds. Whole milliseconds (the idle pause)
    // go through the platform's Sleep, which tests can replace; the shorter steps of the
    // schedule are finer than that Sleep can count and go through SleepMicroseconds.
    static void Pause(uint32_t us);

private:
    uint32_t mEmptyPasses = 0;
};
