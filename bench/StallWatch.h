// StallWatch: how long the reader left records waiting, seen from outside. A thread of its own
// samples the queue's offsets about every SAMPLE_US microseconds and keeps the longest time the
// read offset stood still while the queue held records: the reader's longest gap between two
// polls while records flow (its pauses, a slow log call, a rotation, being descheduled), to
// within a sample or two. It also keeps the most bytes the writer added between two samples at
// most ARRIVAL_WINDOW_US apart: a writer that was itself held off and then writes what is
// overdue at once fills a small partition no matter how promptly the reader polls.
//
// Start and stop on one thread; TakeLongest may be called from it while the watch runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

class StallWatch {
public:
    static constexpr uint32_t SAMPLE_US = 100;
    static constexpr uint32_t ARRIVAL_WINDOW_US = 500;

    // Starts sampling partition name (under the current RTH_SHM_PREFIX), which must hold a
    // queue set up by a writer.
    explicit StallWatch(const std::string& name);
    ~StallWatch();

    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    // The longest stall since the last call (or the start), in seconds; starts a new period.
    double TakeLongest();

    // The most bytes written between two samples (at most ARRIVAL_WINDOW_US apart) since the
    // last call; starts a new period.
    uint32_t TakeLargestArrival();

private:
    void Run(std::string name);

    std::atomic<bool> mStop{false};
    std::atomic<uint64_t> mLongestNs{0};
    std::atomic<uint32_t> mLargestArrival{0};
    std::thread mThread;
};
