// The read loop's idle pause: its schedule (doubling from a short sleep up to 2 ms, alert there
// for a few seconds, then relaxing up to 100 ms), the
// reset when a record arrives, and how a pause is carried out (whole milliseconds through the
// platform's Sleep, which tests can replace).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "app/IdlePacer.h"
#include "platform/PlatformTime.h"

namespace {

std::vector<uint32_t> sSleeps;
void RecordSleep(uint32_t ms) { sSleeps.push_back(ms); }

TEST(IdlePacerTest, PauseGrowsFromAShortSleepToTheIdleIntervalAndNoFaster) {
    // The first empty pass after a record pauses briefly, well under a millisecond.
    EXPECT_EQ(IdlePacer::PauseForEmptyPass(0), IdlePacer::FIRST_SLEEP_US);
    EXPECT_GT(IdlePacer::FIRST_SLEEP_US, 0u);
    EXPECT_LT(IdlePacer::FIRST_SLEEP_US, 1000u);
    EXPECT_EQ(IdlePacer::PauseForEmptyPass(3), 8 * IdlePacer::FIRST_SLEEP_US);

    // Each pause at most doubles, and never exceeds twice the time already paused since the
    // record (plus the first step): a writer that went quiet for a while and resumes finds the
    // reader asleep for at most about as long again. The pause reaches its longest and stays.
    uint64_t pausedSoFar = 0;
    uint32_t previous = 0;
    uint32_t passesToAlert = 0;
    uint64_t alertUntilUs = 0;  // paused in all when the pause first exceeded the alert pause
    uint32_t passesToIdle = 0;
    uint64_t idleAfterUs = 0;
    for (uint32_t n = 0; n < 100000; ++n) {
        uint32_t pause = IdlePacer::PauseForEmptyPass(n);
        ASSERT_LE(pause, IdlePacer::MAX_PAUSE_US) << n;
        ASSERT_GE(pause, previous) << n;
        ASSERT_LE(pause, 2 * pausedSoFar + IdlePacer::FIRST_SLEEP_US) << n;
        // The reader waits for a writer's wake-up only once the queue has been empty for the
        // alert window: a wake-up lost to a writer's stale look at the read offset would need
        // a write that lasts that long (QueueWakeUp).
        if (pausedSoFar < IdlePacer::ALERT_WINDOW_US) {
            ASSERT_FALSE(IdlePacer::AwaitsWriter(pause)) << n;
        }
        if (pause == IdlePacer::ALERT_PAUSE_US && passesToAlert == 0) passesToAlert = n;
        if (pause > IdlePacer::ALERT_PAUSE_US && alertUntilUs == 0) alertUntilUs = pausedSoFar;
        if (pause == IdlePacer::MAX_PAUSE_US && passesToIdle == 0) {
            passesToIdle = n;
            idleAfterUs = pausedSoFar;
        }
        pausedSoFar += pause;
        previous = pause;
    }
    EXPECT_EQ(IdlePacer::PauseForEmptyPass(UINT32_MAX), IdlePacer::MAX_PAUSE_US);
    EXPECT_TRUE(IdlePacer::AwaitsWriter(IdlePacer::MAX_PAUSE_US));

    // A writer that starts against a reader idle for a second fills a 4096-byte partition (59
    // records of 56 bytes) in 5.9 ms at 10,000 records/s: until then no pause comes near that.
    EXPECT_LE(IdlePacer::ALERT_PAUSE_US, 4000u);
    ASSERT_GT(passesToAlert, 0u);
    EXPECT_LT(passesToAlert, 40u);
    EXPECT_GE(alertUntilUs, 2000000u) << "alert for less than two seconds";

    // A long-idle reader settles at its idle interval within a few seconds more.
    ASSERT_GT(passesToIdle, 0u);
    EXPECT_LT(idleAfterUs, alertUntilUs + 1000000u);
    EXPECT_EQ(IdlePacer::MAX_PAUSE_US, 100000u);
}

TEST(IdlePacerTest, ARecordStartsTheScheduleAgain) {
    IdlePacer pacer;
    std::vector<uint32_t> pauses;
    for (int i = 0; i < 2000; ++i) pauses.push_back(pacer.NextPauseUs());
    for (uint32_t n = 0; n < pauses.size(); ++n) {
        ASSERT_EQ(pauses[n], IdlePacer::PauseForEmptyPass(n)) << n;
    }
    EXPECT_EQ(pauses.back(), IdlePacer::MAX_PAUSE_US);
    // The count stops at the longest pause instead of running towards a wrap.
    const uint32_t counted = pacer.EmptyPasses();
    pacer.NextPauseUs();
    EXPECT_EQ(pacer.EmptyPasses(), counted);

    pacer.RecordArrived();
    EXPECT_EQ(pacer.EmptyPasses(), 0u);
    EXPECT_EQ(pacer.NextPauseUs(), IdlePacer::FIRST_SLEEP_US);
    EXPECT_EQ(pacer.NextPauseUs(), 2 * IdlePacer::FIRST_SLEEP_US);

    // A record in the middle of the ramp resets it as well.
    for (int i = 0; i < 5; ++i) pacer.NextPauseUs();
    pacer.RecordArrived();
    EXPECT_EQ(pacer.NextPauseUs(), IdlePacer::FIRST_SLEEP_US);
}

TEST(IdlePacerTest, WholeMillisecondsGoThroughThePlatformSleep) {
    sSleeps.clear();
    Platform::PlatformTime::SetSleepForTesting(RecordSleep);
    IdlePacer::Pause(IdlePacer::FIRST_SLEEP_US);  // a real, short sleep
    IdlePacer::Pause(2000);
    IdlePacer::Pause(IdlePacer::MAX_PAUSE_US);
    Platform::PlatformTime::SetSleepForTesting(nullptr);
    EXPECT_EQ(sSleeps, (std::vector<uint32_t>{2, IdlePacer::MAX_PAUSE_US / 1000}));
}

}  // namespace
