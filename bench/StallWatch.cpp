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

uint32_t StallWatch::TakeLargestArrival() { return mLargestArrival.exchange(0); }

namespace {

template <class T>
void RaiseTo(std::atomic<T>& maximum, T value) {
    T seen = maximum.load();
    while (value > seen && !maximum.compare_exchange_weak(seen, value)) {
    }
}

}  // namespace

void StallWatch::Run(std::string name) {
    QueueProbe probe(name);
    // The stall in progress: since when the read offset has stood at stalledAt with records
    // pending; none while the queue is empty or the offset moves.
    bool stalled = false;
    uint32_t stalledAt = 0;
    Clock::time_point since;
    uint32_t lastWrite = probe.WriteOffset();
    Clock::time_point lastSample = Clock::now();
    while (!mStop) {
        const uint32_t read = probe.ReadOffset();
        const uint32_t write = probe.WriteOffset();
        const auto now = Clock::now();
        // Offsets wrap at the capacity (the writer leaves a marker at the end and goes on at 0).
        // Only samples close together count: a late sample is no burst of the writer's.
        if (now - lastSample <= std::chrono::microseconds(ARRIVAL_WINDOW_US)) {
            RaiseTo(mLargestArrival,
                    write >= lastWrite ? write - lastWrite : probe.Capacity() - lastWrite + write);
        }
        lastWrite = write;
        lastSample = now;
        if (read == write) {
            stalled = false;
        } else if (!stalled || read != stalledAt) {
            stalled = true;
            stalledAt = read;
            since = now;
        } else {
            const auto stalledFor =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - since).count();
            RaiseTo(mLongestNs, static_cast<uint64_t>(stalledFor));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(SAMPLE_US));
    }
}
