// QueueWriter: places records into the trace queue exactly as the reader expects them.
#include "writer/QueueWriter.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

#include "oscom/OscomTypes.h"
#include "oscom/PartitionRules.h"
#include "oscom/SharedAccess.h"
#include "plixtrace/plixwriter.h"

using ZulOsCom::ElementSlotSize;
using ZulOsCom::PartitionRules;
using ZulOsCom::QUEUE_ALIGNMENT;
using ZulOsCom::SharedAccess;
using ZulOsCom::SIZEOF_ELEMENT_HDR;
using ZulOsCom::SIZEOF_QUEUE_HDR;
using ZulOsCom::VQueueElementHdr;

namespace {

constexpr std::chrono::seconds REACH_CHECK_INTERVAL{1};

// Waiting for room without a busy loop: a few checks with a CPU pause (the reader usually
// frees a slot within microseconds when it runs), a few yields, then sleeps that double from
// 10 us up to 1 ms.
class Backoff {
public:
    void Pause() {
        if (mRounds < SPIN_ROUNDS) {
            ++mRounds;
#if defined(__i386__) || defined(__x86_64__)
            __builtin_ia32_pause();
#endif
            return;
        }
        if (mRounds < SPIN_ROUNDS + YIELD_ROUNDS) {
            ++mRounds;
            std::this_thread::yield();
            return;
        }
        mSleepUs = mSleepUs == 0 ? FIRST_SLEEP_US : std::min(mSleepUs * 2, MAX_SLEEP_US);
        std::this_thread::sleep_for(std::chrono::microseconds(mSleepUs));
    }

private:
    static constexpr uint32_t SPIN_ROUNDS = 256;
    static constexpr uint32_t YIELD_ROUNDS = 16;
    static constexpr uint32_t FIRST_SLEEP_US = 10;
    static constexpr uint32_t MAX_SLEEP_US = 1000;
    uint32_t mRounds = 0;
    uint32_t mSleepUs = 0;
};

}  // namespace

QueueWriter::QueueWriter(ZulOsCom::VSharedMemoryQueue* queue, uint32_t capacity,
                         uint32_t writeOffset)
    : mQueue(queue), mCapacity(capacity), mWriteOffset(writeOffset) {}

void QueueWriter::CheckReachEverySecond(ReachCheck check, const void* context) {
    mReachCheck = check;
    mReachContext = context;
    mNextReachCheck = std::chrono::steady_clock::now() + REACH_CHECK_INTERVAL;
}

bool QueueWriter::StillReaches() {
    if (mGone) {
        return false;
    }
    if (mReachCheck == nullptr) {
        return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < mNextReachCheck) {
        return true;
    }
    mNextReachCheck = now + REACH_CHECK_INTERVAL;
    if (mWakeUp != nullptr) {
        mWakeUp->Follow();
    }
    mGone = !mReachCheck(mReachContext);
    return !mGone;
}

void QueueWriter::SetDropMarkers(bool on) {
    mDropMarkers = on;
    if (!on) {
        mUnmarked = 0;
    }
}

uint32_t QueueWriter::FormatDropMarker(uint64_t count, char (&text)[64]) {
    const int length =
        std::snprintf(text, sizeof text,
                      PLIXW_DROP_MARKER_PREFIX "%" PRIu64 " records dropped (queue full)\n", count);
    // Within the buffer for every count up to MAX_MARKED_DROPS; the NUL is part of the record.
    return static_cast<uint32_t>(std::min(length, static_cast<int>(sizeof text) - 1)) + 1;
}

void QueueWriter::CountDrop() {
    mDropped.fetch_add(1, std::memory_order_relaxed);
    if (mDropMarkers) {
        ++mUnmarked;
    }
}

bool QueueWriter::MarkDrops(uint32_t readOffset) {
    while (mUnmarked != 0) {
        // One slot: it always fits before the end of the data area, so the plan is this place
        // or none.
        if (Plan(mCapacity, mWriteOffset, readOffset, QUEUE_ALIGNMENT) !=
            Placement::AT_WRITE_OFFSET) {
            return false;
        }
        const uint64_t count = std::min(mUnmarked, MAX_MARKED_DROPS);
        char text[64];
        PutElement(mWriteOffset, text, FormatDropMarker(count, text), 0);
        const uint32_t next = mWriteOffset + QUEUE_ALIGNMENT;
        Publish(next == mCapacity ? 0 : next, readOffset);
        mUnmarked -= count;
    }
    return true;
}

bool QueueWriter::MarkDropsNow() {
    if (mUnmarked == 0) {
        return true;
    }
    if (!StillReaches()) {
        return false;
    }
    const uint32_t readOffset = SharedAccess::Load(mQueue->mReadOffset, std::memory_order_acquire);
    return PartitionRules::OffsetPlausible(readOffset, mCapacity) && MarkDrops(readOffset);
}

uint32_t QueueWriter::CapacityForSize(uint32_t size) {
    return PartitionRules::CapacityForPartition(size);
}

uint32_t QueueWriter::MaxRecordLengthFor(uint32_t capacity) {
    return capacity >= QUEUE_ALIGNMENT + SIZEOF_ELEMENT_HDR
               ? capacity - QUEUE_ALIGNMENT - SIZEOF_ELEMENT_HDR
               : 0;
}

QueueWriter::Placement QueueWriter::Plan(uint32_t capacity, uint32_t writeOffset,
                                         uint32_t readOffset, uint32_t slot) {
    if (readOffset > writeOffset) {
        // Unread: [read, end) and [0, write). Room: [write, read), and the new write offset
        // must stay below the read offset.
        return writeOffset + slot < readOffset ? Placement::AT_WRITE_OFFSET : Placement::WAIT;
    }
    // Unread: [read, write). Room: [write, capacity) and [0, read).
    if (writeOffset + slot < capacity) {
        return Placement::AT_WRITE_OFFSET;
    }
    if (writeOffset + slot == capacity) {
        // The write offset becomes 0, which must not be the read offset.
        return readOffset != 0 ? Placement::AT_WRITE_OFFSET : Placement::WAIT;
    }
    if (slot < readOffset) {
        // Element in [0, slot), marker at the write offset; both clear of unread data.
        return Placement::WRAP;
    }
    if (readOffset == writeOffset) {
        // Empty, yet the record fits neither here nor at 0 before the read offset: fill the
        // rest so that the reader moves to 0 and the whole area becomes free.
        return Placement::FILLER;
    }
    return Placement::WAIT;
}

uint8_t* QueueWriter::Data() const {
    return reinterpret_cast<uint8_t*>(mQueue) + SIZEOF_QUEUE_HDR;
}

void QueueWriter::PutElement(uint32_t offset, const void* data, uint32_t length, uint8_t mark) {
    uint8_t* element = Data() + offset;
    if (length > 0 && data != nullptr) {
        std::memcpy(element + SIZEOF_ELEMENT_HDR, data, length);
    }
    auto* header = reinterpret_cast<VQueueElementHdr*>(element);
    SharedAccess::Store(header->length, length, std::memory_order_relaxed);
    SharedAccess::Store(header->wrapFlag, 0, std::memory_order_relaxed);
    header->unused[0] = mark;
    header->unused[1] = 0;
    header->unused[2] = 0;
}

void QueueWriter::Publish(uint32_t writeOffset, uint32_t readOffsetSeen) {
    const bool wasEmpty = readOffsetSeen == mWriteOffset;
    SharedAccess::Store(mQueue->mWriteOffset, writeOffset, std::memory_order_release);
    mWriteOffset = writeOffset;
    if (wasEmpty && mWakeUp != nullptr) {
        mWakeUp->WakeReader(mQueue);
    }
}

QueueWriter::Result QueueWriter::Write(const void* data, uint32_t length,
                                       const WhenFull& whenFull) {
    if (length > MaxRecordLength()) {
        return Result::TOO_LONG;
    }
    if (!StillReaches()) {
        return Result::GONE;
    }
    const auto slot = static_cast<uint32_t>(ElementSlotSize(length));
    Backoff backoff;
    bool waiting = false;
    std::chrono::steady_clock::time_point deadline;
    for (;;) {
        uint32_t readOffset = SharedAccess::Load(mQueue->mReadOffset, std::memory_order_acquire);
        if (!PartitionRules::OffsetPlausible(readOffset, mCapacity)) {
            return Result::BROKEN;
        }
        // Records dropped before this one are marked first, where they went missing; without
        // room for the marker the record finds none either.
        Placement placement = Placement::WAIT;
        if (mUnmarked == 0 || MarkDrops(readOffset)) {
            placement = Plan(mCapacity, mWriteOffset, readOffset, slot);
        }
        switch (placement) {
            case Placement::AT_WRITE_OFFSET: {
                PutElement(mWriteOffset, data, length, 0);
                uint32_t next = mWriteOffset + slot;
                Publish(next == mCapacity ? 0 : next, readOffset);
                mWritten.fetch_add(1, std::memory_order_relaxed);
                return Result::WRITTEN;
            }
            case Placement::WRAP: {
                PutElement(0, data, length, 0);
                auto* marker = reinterpret_cast<VQueueElementHdr*>(Data() + mWriteOffset);
                SharedAccess::Store(marker->length, 0, std::memory_order_relaxed);
                marker->unused[0] = 0;
                SharedAccess::Store(marker->wrapFlag, 1, std::memory_order_relaxed);
                Publish(slot, readOffset);
                mWritten.fetch_add(1, std::memory_order_relaxed);
                return Result::WRITTEN;
            }
            case Placement::FILLER: {
                uint32_t rest = mCapacity - mWriteOffset;
                uint32_t fillerLength = rest == QUEUE_ALIGNMENT ? 0 : rest - 71;
                PutElement(mWriteOffset, nullptr, fillerLength, FILLER_MARK);
                if (fillerLength > 0) {
                    Data()[mWriteOffset + SIZEOF_ELEMENT_HDR] = '\0';
                }
                Publish(0, readOffset);
                ++mFillers;
                break;  // plan again: the record waits for the reader to pass the filler
            }
            case Placement::WAIT:
                if (whenFull.drop) {
                    CountDrop();
                    return Result::DROPPED;
                }
                if (whenFull.timeoutMs != WAIT_FOREVER) {
                    auto now = std::chrono::steady_clock::now();
                    if (!waiting) {
                        deadline = now + std::chrono::milliseconds(whenFull.timeoutMs);
                    } else if (now >= deadline) {
                        CountDrop();
                        return Result::TIMED_OUT;
                    }
                }
                waiting = true;
                backoff.Pause();
                // A wait for a reader that can no longer see this queue would never end.
                if (!StillReaches()) {
                    return Result::GONE;
                }
                break;
        }
    }
}
