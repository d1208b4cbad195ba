// IdlePacer: the growing pause of the read loop while the queue stays empty.
#include "app/IdlePacer.h"

#include "platform/PlatformTime.h"

namespace {

constexpr uint32_t US_PER_MS = 1000;

}  // namespace

uint32_t IdlePacer::PauseForEmptyPass(uint32_t emptyPassesBefore) {
    // The ramp: doubling from the first sleep up to the alert pause.
    uint32_t pause = FIRST_SLEEP_US;
    uint32_t pass = 0;
    for (; pass < emptyPassesBefore && pause < ALERT_PAUSE_US; ++pass) {
        pause *= 2;
    }
    if (pause < ALERT_PAUSE_US) {
        return pause;
    }
    // Alert: passes at the alert pause until they add up to the window.
    constexpr uint32_t ALERT_PASSES = ALERT_WINDOW_US / ALERT_PAUSE_US;
    const uint32_t alertPasses = emptyPassesBefore - pass;
    if (alertPasses < ALERT_PASSES) {
        return ALERT_PAUSE_US;
    }
    // Relaxing: doubling again up to the idle pause.
    pause = ALERT_PAUSE_US;
    for (uint32_t step = ALERT_PASSES; step <= alertPasses && pause < MAX_PAUSE_US; ++step) {
        pause *= 2;
    }
    return pause < MAX_PAUSE_US ? pause : MAX_PAUSE_US;
}

uint32_t IdlePacer::NextPauseUs() {
    const uint32_t pause = PauseForEmptyPass(mEmptyPasses);
    // Once at the longest pause the count no longer matters; stop it there so it cannot wrap.
    if (pause < MAX_PAUSE_US) {
        ++mEmptyPasses;
    }
    return pause;
}

void IdlePacer::Pause(uint32_t us) {
    if (us % US_PER_MS == 0) {
        Platform::PlatformTime::Sleep(us / US_PER_MS);
    } else {
        Platform::PlatformTime::SleepMicroseconds(us);
    }
}
