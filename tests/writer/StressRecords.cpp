// The stress tests' record stream, its writer loop and its checking reader.
#include "tests/writer/StressRecords.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>

namespace PlixToolTest {

namespace {

constexpr uint32_t SEQ_BYTES = 8;
constexpr uint32_t HEADER_BYTES = 12;
constexpr uint32_t FIRST_BUFFER = 1024;

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Waiting for the writer: a short spin, then sleeps growing to 1 ms.
class Patience {
public:
    void Wait() {
        if (++mRounds < 256) {
#if defined(__i386__) || defined(__x86_64__)
            __builtin_ia32_pause();
#endif
            return;
        }
        mSleepUs = mSleepUs == 0 ? 10 : std::min(mSleepUs * 2, 1000u);
        std::this_thread::sleep_for(std::chrono::microseconds(mSleepUs));
    }
    void Reset() {
        mRounds = 0;
        mSleepUs = 0;
    }

private:
    uint32_t mRounds = 0;
    uint32_t mSleepUs = 0;
};

std::string Describe(const uint8_t* got, uint32_t length, uint64_t expected,
                     uint32_t expectedLength) {
    std::string text = "record " + std::to_string(expected) + " (length " +
                       std::to_string(expectedLength) + ") wrong: got length " +
                       std::to_string(length);
    if (length >= SEQ_BYTES) {
        uint64_t seq;
        std::memcpy(&seq, got, SEQ_BYTES);
        text += ", sequence number " + std::to_string(seq);
    }
    if (length >= HEADER_BYTES) {
        uint32_t stored;
        std::memcpy(&stored, got + SEQ_BYTES, 4);
        text += stored == StressStream::Checksum(got, length) ? ", checksum right"
                                                              : ", checksum wrong (corrupted)";
    }
    return text;
}

}  // namespace

StressStream::StressStream(uint64_t seed, uint32_t typicalMax, uint32_t longest,
                           uint64_t longestEvery)
    : mSeed(seed), mTypicalMax(typicalMax), mLongest(longest), mLongestEvery(longestEvery) {}

uint32_t StressStream::Length(uint64_t i) const {
    if (mLongestEvery != 0 && i % mLongestEvery == mLongestEvery / 2) {
        return mLongest;
    }
    return static_cast<uint32_t>(Mix(mSeed ^ (i * 0xD1B54A32D192ED03ULL)) %
                                 (static_cast<uint64_t>(mTypicalMax) + 1));
}

uint32_t StressStream::Checksum(const uint8_t* record, uint32_t length) {
    uint64_t sum = length;
    uint32_t at = HEADER_BYTES;
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        std::memcpy(&word, record + at, 8);
        sum += word;
    }
    for (uint32_t shift = 0; at < length; ++at, shift += 8) {
        sum += static_cast<uint64_t>(record[at]) << shift;
    }
    return static_cast<uint32_t>(sum ^ (sum >> 32));
}

void StressStream::Fill(uint64_t i, std::vector<uint8_t>& out) const {
    uint32_t length = Length(i);
    out.resize(length);
    uint64_t word = Mix(mSeed + i);
    uint32_t at = 0;
    for (; at + 8 <= length; at += 8) {
        std::memcpy(out.data() + at, &word, 8);
        word += 0x9E3779B97F4A7C15ULL;
    }
    std::memcpy(out.data() + at, &word, length - at);
    if (length >= SEQ_BYTES) {
        std::memcpy(out.data(), &i, SEQ_BYTES);
    }
    if (length >= HEADER_BYTES) {
        uint32_t sum = Checksum(out.data(), length);
        std::memcpy(out.data() + SEQ_BYTES, &sum, 4);
    }
}

std::string WriteStream(TraceWriter& writer, const StressStream& stream, uint64_t count) {
    std::vector<uint8_t> record;
    for (uint64_t i = 0; i < count; ++i) {
        stream.Fill(i, record);
        TraceWriter::Result result =
            writer.Write(record.data(), static_cast<uint32_t>(record.size()));
        if (result != TraceWriter::Result::WRITTEN) {
            return "record " + std::to_string(i) + " not written (result " +
                   std::to_string(static_cast<int>(result)) + ")";
        }
    }
    return "";
}

DrainResult DrainAndCheck(RawSharedMemoryQueue& reader, const uint8_t* partitionBase,
                          const StressStream& stream, uint64_t count, int stallSeconds) {
    using ZulOsCom::VSharedMemoryQueue;
    const auto* queue = partitionBase + ZulOsCom::SHM_MGMT_HEADER_SIZE;
    const uint8_t* data = queue + ZulOsCom::SIZEOF_QUEUE_HDR;
    auto field = [&](size_t offset, int order) {
        return __atomic_load_n(reinterpret_cast<const uint32_t*>(queue + offset), order);
    };
    const uint32_t capacity = field(offsetof(VSharedMemoryQueue, mCapacity), __ATOMIC_RELAXED);

    DrainResult result;
    std::vector<uint8_t> small(FIRST_BUFFER);
    std::vector<uint8_t> big;
    std::vector<uint8_t> expected;
    Patience patience;
    auto lastProgress = std::chrono::steady_clock::now();
    while (result.records < count) {
        // This thread is the only one that moves the read offset.
        uint32_t readOffset = field(offsetof(VSharedMemoryQueue, mReadOffset), __ATOMIC_RELAXED);
        uint32_t writeOffset = field(offsetof(VSharedMemoryQueue, mWriteOffset), __ATOMIC_ACQUIRE);
        if (readOffset == writeOffset) {
            if (std::chrono::steady_clock::now() - lastProgress >
                std::chrono::seconds(stallSeconds)) {
                result.failure = "no element for " + std::to_string(stallSeconds) +
                                 " s before record " + std::to_string(result.records);
                return result;
            }
            patience.Wait();
            continue;
        }
        patience.Reset();
        lastProgress = std::chrono::steady_clock::now();

        // Where the next element is, and what it says of itself.
        bool wrap = __atomic_load_n(data + readOffset + 4, __ATOMIC_RELAXED) != 0;
        uint32_t at = wrap ? 0 : readOffset;
        uint32_t announced = __atomic_load_n(reinterpret_cast<const uint32_t*>(data + at),
                                             __ATOMIC_RELAXED);
        bool filler = data[at + 5] == TraceWriter::FILLER_MARK;
        result.wraps += wrap ? 1 : 0;

        uint32_t length = FIRST_BUFFER;
        uint32_t status = reader.Read(small.data(), length);
        const uint8_t* got = small.data();
        if (status == VSharedMemoryQueue::STATUS_BUFFER_SMALL) {
            if (length <= FIRST_BUFFER) {
                result.failure = "status 8 for a length of " + std::to_string(length);
                return result;
            }
            big.resize(length);
            ++result.bigReads;
            status = reader.Read(big.data(), length);
            got = big.data();
        }
        if (status != VSharedMemoryQueue::STATUS_OK || length != announced) {
            result.failure = "read status " + std::to_string(status) + ", length " +
                             std::to_string(length) + " for an element of length " +
                             std::to_string(announced) + " before record " +
                             std::to_string(result.records);
            return result;
        }
        if (filler) {
            // It fills the rest of the data area and prints as nothing.
            if (at + ZulOsCom::ElementSlotSize(length) != capacity ||
                (length > 0 && got[0] != '\0')) {
                result.failure = "bad filler at " + std::to_string(at) + ", length " +
                                 std::to_string(length);
                return result;
            }
            ++result.fillers;
            continue;
        }
        stream.Fill(result.records, expected);
        if (length != expected.size() || std::memcmp(got, expected.data(), length) != 0) {
            result.failure = Describe(got, length, result.records,
                                      static_cast<uint32_t>(expected.size()));
            return result;
        }
        ++result.records;
    }
    return result;
}

void DrainUntil(RawSharedMemoryQueue& reader, const std::function<bool()>& done) {
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        bool finished = done();
        uint32_t length = static_cast<uint32_t>(buffer.size());
        uint32_t status = reader.Read(buffer.data(), length);
        if (status == ZulOsCom::VSharedMemoryQueue::STATUS_BUFFER_SMALL) {
            buffer.resize(length);
            continue;
        }
        if (length == 0) {
            if (finished) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
}

}  // namespace PlixToolTest
