// IdlePacer: the growing pause of the read loop while the queue stays empty.
#include "app/IdlePacer.h"

#include "platform/PlatformTime.h"

namespace {

constexpr uint32_t US_PER_MS = 1000;

}  // namespace

uint32_t IdlePacer::PauseForEmptyPass(uint32_t emptyPassesBefore) {
    uint32_t pause = FIRST_SLEEP_US;
    for (uint32_t step = 0; step < emptyPassesBefore && pause < MAX_PAUSE_US; ++step) {
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
