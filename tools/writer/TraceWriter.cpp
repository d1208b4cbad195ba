// TraceWriter: places records into the trace queue exactly as the reader expects them.
#include "tools/writer/TraceWriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "oscom/OscomTypes.h"
#include "oscom/VShmHeader.h"
#include "rth/RthLib.h"

using ZulOsCom::ElementSlotSize;
using ZulOsCom::isAligned64;
using ZulOsCom::SIZEOF_ELEMENT_HDR;
using ZulOsCom::SIZEOF_QUEUE_HDR;
using ZulOsCom::SHM_MGMT_HEADER_SIZE;
using ZulOsCom::VQueueElementHdr;
using ZulOsCom::VSharedMemoryQueue;
using ZulOsCom::VShmHeader;

namespace {

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

uint32_t LoadAcquire(const uint32_t& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

// Inspects a partition without registering in it: maps it, asks QueueLooksSetUp, unmaps.
// False with a reason when it cannot be mapped at its size.
bool InspectPartition(const std::string& name, uint32_t size, bool& setUp, std::string& error) {
    uint32_t area = size;
    int32_t handle = shmOpen(name.c_str(), 0, &area);
    if (handle == SHM_KEY_INVALID) {
        error = "cannot open partition " + name;
        return false;
    }
    const auto* base = static_cast<const uint8_t*>(shmAddrGet(handle));
    bool ok = area == size && base != nullptr;
    if (ok) {
        setUp = TraceWriter::QueueLooksSetUp(base, size);
    } else {
        error = "cannot map partition " + name + " at its size of " + std::to_string(size);
    }
    shmClose(handle);
    return ok;
}

}  // namespace

TraceWriter::TraceWriter(std::string name) : mName(std::move(name)) {}

TraceWriter::~TraceWriter() = default;

uint32_t TraceWriter::CapacityForSize(uint32_t size) {
    constexpr uint32_t FIXED = SHM_MGMT_HEADER_SIZE + ZulOsCom::SHM_END_MARKER_SIZE +
                               SIZEOF_QUEUE_HDR;
    return size < FIXED ? 0 : (size - FIXED) & ~(ZulOsCom::QUEUE_ALIGNMENT - 1);
}

uint32_t TraceWriter::MaxRecordLength() const {
    return mCapacity >= ZulOsCom::QUEUE_ALIGNMENT + SIZEOF_ELEMENT_HDR
               ? mCapacity - ZulOsCom::QUEUE_ALIGNMENT - SIZEOF_ELEMENT_HDR
               : 0;
}

bool TraceWriter::QueueLooksSetUp(const uint8_t* base, uint32_t size) {
    if (base == nullptr || size < MIN_PARTITION_SIZE) {
        return false;
    }
    const auto* header = reinterpret_cast<const VShmHeader*>(base);
    if (header->ComputeSum() != 0 || header->version != ZulOsCom::OSCOM_SHM_VERSION ||
        header->LoadInitTime() == 0 || header->size != size) {
        return false;
    }
    const auto* queue = reinterpret_cast<const VSharedMemoryQueue*>(base + SHM_MGMT_HEADER_SIZE);
    uint32_t capacity = __atomic_load_n(&queue->mCapacity, __ATOMIC_RELAXED);
    uint32_t writeOffset = __atomic_load_n(&queue->mWriteOffset, __ATOMIC_ACQUIRE);
    uint32_t readOffset = __atomic_load_n(&queue->mReadOffset, __ATOMIC_ACQUIRE);
    int32_t attachCount = __atomic_load_n(&queue->mAttachCount, __ATOMIC_ACQUIRE);
    return capacity == CapacityForSize(size) && writeOffset < capacity && readOffset < capacity &&
           isAligned64(writeOffset) && isAligned64(readOffset) && attachCount >= 1;
}

bool TraceWriter::Open(std::string& error) {
    if (mOpenMode != OpenMode::NONE) {
        return true;
    }
    uint32_t size = shmSizeGet(mName.c_str());
    if (size == 0) {
        error = "partition " + mName + " does not exist";
        return false;
    }
    if (size < MIN_PARTITION_SIZE) {
        error = "partition " + mName + " of " + std::to_string(size) +
                " bytes is too small for a queue (at least " +
                std::to_string(MIN_PARTITION_SIZE) + ")";
        return false;
    }
    bool setUp = false;
    if (!InspectPartition(mName, size, setUp, error)) {
        return false;
    }

    auto shm = std::make_unique<ZulOsCom::VRthSharedMemory>(mName.c_str(), true);
    if (setUp) {
        uint32_t openedSize = 0;
        if (!shm->Open(openedSize)) {
            error = "cannot attach to partition " + mName;
            return false;
        }
        auto* base = static_cast<uint8_t*>(shm->GetUserAreaAddress()) - SHM_MGMT_HEADER_SIZE;
        if (openedSize != size || !QueueLooksSetUp(base, size)) {
            // Changed between the look and the attach: someone else is setting it up.
            error = "partition " + mName + " changed while attaching";
            return false;
        }
        mQueue = static_cast<VSharedMemoryQueue*>(shm->GetUserAreaAddress());
        mCapacity = CapacityForSize(size);
        mWriteOffset = LoadAcquire(mQueue->mWriteOffset);
        mOpenMode = OpenMode::ATTACHED;
    } else {
        int32_t code = 0;
        try {
            if (!shm->Init(size, code)) {
                error = "cannot initialise partition " + mName + " (error " +
                        std::to_string(code) + ")";
                return false;
            }
        } catch (const std::runtime_error& e) {
            error = "cannot initialise partition " + mName + ": " + e.what();
            return false;
        }
        mQueue = static_cast<VSharedMemoryQueue*>(shm->GetUserAreaAddress());
        mCapacity = CapacityForSize(size);
        mWriteOffset = 0;
        // Init zeroed everything; the count comes last, so that a reader attaching meanwhile
        // either sees no queue (count 0) or a complete header.
        __atomic_store_n(&mQueue->mCapacity, mCapacity, __ATOMIC_RELAXED);
        __atomic_store_n(&mQueue->mWriteOffset, 0u, __ATOMIC_RELAXED);
        __atomic_store_n(&mQueue->mReadOffset, 0u, __ATOMIC_RELAXED);
        __atomic_store_n(&mQueue->mAttachCount, 1, __ATOMIC_RELEASE);
        mOpenMode = OpenMode::INITIALISED;
    }
    mShm = std::move(shm);
    return true;
}

TraceWriter::Placement TraceWriter::Plan(uint32_t capacity, uint32_t writeOffset,
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

uint8_t* TraceWriter::Data() const {
    return reinterpret_cast<uint8_t*>(mQueue) + SIZEOF_QUEUE_HDR;
}

void TraceWriter::PutElement(uint32_t offset, const void* data, uint32_t length, uint8_t mark) {
    uint8_t* element = Data() + offset;
    if (length > 0 && data != nullptr) {
        std::memcpy(element + SIZEOF_ELEMENT_HDR, data, length);
    }
    auto* header = reinterpret_cast<VQueueElementHdr*>(element);
    std::atomic_ref<uint32_t>(header->length).store(length, std::memory_order_relaxed);
    std::atomic_ref<uint8_t>(header->wrapFlag).store(0, std::memory_order_relaxed);
    header->unused[0] = mark;
    header->unused[1] = 0;
    header->unused[2] = 0;
}

void TraceWriter::Publish(uint32_t writeOffset) {
    std::atomic_ref<uint32_t>(mQueue->mWriteOffset).store(writeOffset, std::memory_order_release);
    mWriteOffset = writeOffset;
}

TraceWriter::Result TraceWriter::Write(const void* data, uint32_t length) {
    if (mQueue == nullptr) {
        return Result::NOT_OPEN;
    }
    if (length > MaxRecordLength()) {
        return Result::TOO_LONG;
    }
    const auto slot = static_cast<uint32_t>(ElementSlotSize(length));
    Backoff backoff;
    for (;;) {
        uint32_t readOffset =
            std::atomic_ref<uint32_t>(mQueue->mReadOffset).load(std::memory_order_acquire);
        if (readOffset >= mCapacity || !isAligned64(readOffset)) {
            return Result::BROKEN;
        }
        switch (Plan(mCapacity, mWriteOffset, readOffset, slot)) {
            case Placement::AT_WRITE_OFFSET: {
                PutElement(mWriteOffset, data, length, 0);
                uint32_t next = mWriteOffset + slot;
                Publish(next == mCapacity ? 0 : next);
                ++mWritten;
                return Result::WRITTEN;
            }
            case Placement::WRAP: {
                PutElement(0, data, length, 0);
                auto* marker = reinterpret_cast<VQueueElementHdr*>(Data() + mWriteOffset);
                std::atomic_ref<uint32_t>(marker->length).store(0, std::memory_order_relaxed);
                marker->unused[0] = 0;
                std::atomic_ref<uint8_t>(marker->wrapFlag).store(1, std::memory_order_relaxed);
                Publish(slot);
                ++mWritten;
                return Result::WRITTEN;
            }
            case Placement::FILLER: {
                uint32_t rest = mCapacity - mWriteOffset;
                uint32_t fillerLength = rest == ZulOsCom::QUEUE_ALIGNMENT ? 0 : rest - 71;
                PutElement(mWriteOffset, nullptr, fillerLength, FILLER_MARK);
                if (fillerLength > 0) {
                    Data()[mWriteOffset + SIZEOF_ELEMENT_HDR] = '\0';
                }
                Publish(0);
                ++mFillers;
                break;  // plan again: the record waits for the reader to pass the filler
            }
            case Placement::WAIT:
                if (mDropWhenFull) {
                    ++mDropped;
                    return Result::DROPPED;
                }
                backoff.Pause();
                break;
        }
    }
}
