// StallWatch: the longest time records waited for the reader, sampled from outside.
#include "bench/StallWatch.h"

#include <chrono>

#include "bench/QueueProbe.h"

using Clock = std::chrono::steady_clock;

StallWatch::StallWatch(const std::string& name) : mThread(&StallWatch::Run, this, name) {}

StallWatch::~StallWatch() {
    mStop = true;
    mThread.join();
}

double StallWatch::TakeLongest() { return static_cast<double>(mLongestNs.exchange(0)) / 1e9; }

void StallWatch::Run(std::string name) {
    QueueProbe probe(name);
    // The stall in progress: since when the read offset has stood at stalledAt with records
    // pending; none while the queue is empty or the offset moves.
    bool stalled = false;
    uint32_t stalledAt = 0;
    Clock::time_point since;
    while (!mStop) {
        const uint32_t read = probe.ReadOffset();
        const uint32_t write = probe.WriteOffset();
        const auto now = Clock::now();
        if (read == write) {
            stalled = false;
        } else if (!stalled || read != stalledAt) {
            stalled = true;
            stalledAt = read;
            since = now;
        } else {
            const auto ns = static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - since).count());
            uint64_t longest = mLongestNs.load();
            while (ns > longest && !mLongestNs.compare_exchange_weak(longest, ns)) {
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(SAMPLE_US));
    }
}
