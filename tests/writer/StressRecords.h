// The record stream of the writer's stress tests and the checking reader that drains it.
//
// Record i has a length drawn from the stream's seed and bytes that depend on (seed, i) alone,
// so the reader knows exactly what must come next: a lost, duplicated, reordered or corrupted
// record is a mismatch. Records of 8 bytes or more carry their sequence number (bytes 0..7,
// little-endian); from 12 bytes on also a checksum of their bytes 12.. (bytes 8..11), so a
// mismatch can be told apart: another record in its place, or damaged bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/RawSharedMemoryQueue.h"
#include "writer/TraceWriter.h"

namespace PlixToolTest {

class StressStream {
public:
    // Lengths are uniform in 0..typicalMax; every longestEvery-th record (at the middle of
    // each period; 0: none) has longest bytes.
    StressStream(uint64_t seed, uint32_t typicalMax, uint32_t longest, uint64_t longestEvery);

    uint32_t Length(uint64_t i) const;
    // Record i into out (resized to its length).
    void Fill(uint64_t i, std::vector<uint8_t>& out) const;
    // Checksum of the bytes from offset 12 on, as stored in bytes 8..11.
    static uint32_t Checksum(const uint8_t* record, uint32_t length);

private:
    uint64_t mSeed;
    uint32_t mTypicalMax;
    uint32_t mLongest;
    uint64_t mLongestEvery;
};

struct DrainResult {
    uint64_t records = 0;   // checked records
    uint64_t fillers = 0;   // filler elements passed
    uint64_t wraps = 0;     // wrap markers passed
    uint64_t bigReads = 0;  // records read again with a larger buffer (status 8 first)
    std::string failure;    // empty when every record was right
};

// Writes records 0..count-1 of stream; an empty result, or what went wrong.
std::string WriteStream(TraceWriter& writer, const StressStream& stream, uint64_t count);

// Reads and checks records 0..count-1 through reader, starting with a 1024-byte buffer and
// reading longer records again with a buffer of the reported length. partitionBase is the same
// partition (this process's view) and is only read: before each read it tells where the next
// element is, so that fillers (FILLER_MARK) are told from records, even empty ones. Stops at
// the first wrong record, or when no element arrives for stallSeconds.
DrainResult DrainAndCheck(RawSharedMemoryQueue& reader, const uint8_t* partitionBase,
                          const StressStream& stream, uint64_t count, int stallSeconds = 30);

// Reads and discards until done() is true and the queue is empty: lets a writer that is still
// waiting for room finish after a failed check.
void DrainUntil(RawSharedMemoryQueue& reader, const std::function<bool()>& done);

}  // namespace PlixToolTest
