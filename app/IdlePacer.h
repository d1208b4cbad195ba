// IdlePacer: the pause of the read loop after a pass that found the queue empty.
//
// A fixed pause loses records: a writer that cannot wait drops what does not fit into the data
// area while the reader sleeps, so a fixed 100 ms pause caps a 4096-byte partition at about 600
// records of 56 bytes per second. The pause therefore adapts to the traffic: the first empty
// passes after a record only yield the processor (records of a busy writer follow within
// microseconds), then each further empty pass doubles the pause from FIRST_SLEEP_US up to
// MAX_PAUSE_US. A reader that has been idle for a few tenths of a second polls every 100 ms, as
// the fixed pause did, so its idle load stays as low, and a stop request is seen within one
// pause, at most about 100 ms.
//
// Schedule for the n-th consecutive empty pass (n = 0, 1, ...), in microseconds:
//   n < YIELD_PASSES:  0 (yield only)
//   otherwise:         min(FIRST_SLEEP_US << (n - YIELD_PASSES), MAX_PAUSE_US)
//                      = 125, 250, 500, 1000, 2000, ..., 64000, 100000, 100000, ...
// From 1 ms on every pause is a whole number of milliseconds.
//
// One object per read loop, used by that loop's thread only. Holds no resources.
#pragma once

#include <cstdint>

class IdlePacer {
public:
    // Empty passes after a record that only yield.
    static constexpr uint32_t YIELD_PASSES = 16;
    // The first real sleep; doubling from here reaches whole milliseconds after three steps.
    static constexpr uint32_t FIRST_SLEEP_US = 125;
    // The pause of an idle reader: the longest time a stop request or a new record waits.
    static constexpr uint32_t MAX_PAUSE_US = 100000;

    // The pause for an empty pass that follows emptyPassesBefore consecutive empty passes, in
    // microseconds (0: yield only). Pure; never above MAX_PAUSE_US, never decreasing in its
    // argument.
    static uint32_t PauseForEmptyPass(uint32_t emptyPassesBefore);

    // A pass that was not empty (a record was consumed, or one is pending): the next empty pass
    // starts the schedule again.
    void RecordArrived() { mEmptyPasses = 0; }

    // The pause for the current empty pass, in microseconds; counts the pass.
    uint32_t NextPauseUs();

    // Consecutive empty passes counted since the last record; the count stops once the pause
    // has reached MAX_PAUSE_US, so it never wraps.
    uint32_t EmptyPasses() const { return mEmptyPasses; }

    // Pauses the calling thread for about us microseconds: 0 yields the processor, whole
    // milliseconds go through the platform's Sleep, shorter pauses sleep for the microseconds.
    static void Pause(uint32_t us);

private:
    uint32_t mEmptyPasses = 0;
};
