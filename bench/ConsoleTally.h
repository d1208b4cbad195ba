// ConsoleTally: counts, from the reader's console output in a file, which of the numbered
// synthetic records (see SyntheticFeed) the reader printed, per step of a rate ladder. The
// writer library's drop markers (lines starting with PLIXW_DROP_MARKER_PREFIX) are told apart
// by that prefix and their counts summed; other lines that do not start with a record number
// (banner, listing, stop message) are skipped.
//
// The reader prints records in the order the writer placed them, and the writer places them
// in the order it was given them, dropping some when the queue is full. So once a record
// numbered above a step's last is printed, that step is settled: what of it was not printed was
// dropped. Numbers that go backwards or repeat are counted as disorder (a lost guarantee, not a
// drop). Reads the file incrementally; one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ConsoleTally {
public:
    explicit ConsoleTally(std::string path);

    // A ladder step: records first .. first + count - 1. Steps are added in order, without
    // gaps or overlaps, before their records are fed.
    void AddStep(uint64_t first, uint64_t count);

    // Reads what the console file has gained since the last call.
    void Update();

    uint64_t Printed(size_t step) const { return mSteps.at(step).printed; }
    uint64_t Count(size_t step) const { return mSteps.at(step).count; }
    // A record numbered beyond the step has been printed.
    bool Settled(size_t step) const;
    uint64_t LastPrinted() const { return mLast; }
    uint64_t TotalPrinted() const { return mTotal; }
    uint64_t Disorder() const { return mDisorder; }
    // Records the drop markers printed so far say were dropped.
    uint64_t MarkedDrops() const { return mMarked; }

private:
    struct Step {
        uint64_t first;
        uint64_t count;
        uint64_t printed;
    };
    void Take(const std::string& line);

    std::string mPath;
    uint64_t mOffset = 0;
    std::string mPartial;
    std::vector<Step> mSteps;
    uint64_t mLast = 0;
    uint64_t mTotal = 0;
    uint64_t mDisorder = 0;
    uint64_t mMarked = 0;
};
