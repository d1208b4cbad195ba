// WriterPartition: opening, checking and setting up a partition for the queue's writer,
// through the partition library alone. Used by one thread per object.
#include "tools/writer/WriterPartition.h"

#include <algorithm>
#include <atomic>

#include "oscom/OscomTypes.h"
#include "oscom/VShmHeader.h"
#include "platform/PlatformTime.h"
#include "rth/RthLib.h"
#include "tools/writer/QueueWriter.h"

using ZulOsCom::isAligned64;
using ZulOsCom::SHM_MGMT_HEADER_SIZE;
using ZulOsCom::SIZEOF_QUEUE_HDR;
using ZulOsCom::VSharedMemoryQueue;
using ZulOsCom::VShmHeader;

namespace {

constexpr size_t CHECKSUMMED_BYTES = offsetof(VShmHeader, checksum) + 1;  // bytes 0..48

// The header's fields are shared with other processes: every access is atomic. The header's
// own member functions report through the diagnostic logger and end the process on protocol
// failures, which a library must not do, so the few steps needed are written out here.
uint8_t ByteSum(const uint8_t* bytes, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) {
        sum = static_cast<uint8_t>(sum + __atomic_load_n(&bytes[i], __ATOMIC_RELAXED));
    }
    return sum;
}

uint32_t Load32(const uint32_t& field) {
    return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}

void Store32(uint32_t& field, uint32_t value) {
    __atomic_store_n(&field, value, __ATOMIC_RELAXED);
}

// initTime as two 32-bit halves, low first, as every user of the header reads and writes it.
uint64_t LoadInitTime(const VShmHeader& header) {
    uint64_t low = __atomic_load_n(&header.initTime[0], __ATOMIC_SEQ_CST);
    uint64_t high = __atomic_load_n(&header.initTime[1], __ATOMIC_SEQ_CST);
    return (high << 32) | low;
}

void StoreInitTime(VShmHeader& header, uint64_t value) {
    __atomic_store_n(&header.initTime[0], static_cast<uint32_t>(value), __ATOMIC_SEQ_CST);
    __atomic_store_n(&header.initTime[1], static_cast<uint32_t>(value >> 32), __ATOMIC_SEQ_CST);
}

int32_t AddRefCount(VShmHeader& header, int32_t delta) {
    return __atomic_add_fetch(&header.refCount, delta, __ATOMIC_SEQ_CST);
}

// Whether the management header and the queue header are all zero: a partition as the
// administrator creates it, never set up.
bool Fresh(const uint8_t* base) {
    for (uint32_t i = 0; i < SHM_MGMT_HEADER_SIZE + SIZEOF_QUEUE_HDR; ++i) {
        if (__atomic_load_n(&base[i], __ATOMIC_RELAXED) != 0) {
            return false;
        }
    }
    return true;
}

// Zeroes a partition that other processes may look at meanwhile: whole aligned words, then
// single bytes at the ragged end (the base is page-aligned).
void ZeroShared(uint8_t* base, uint32_t size) {
    uint32_t i = 0;
    for (; i + 4 <= size; i += 4) {
        __atomic_store_n(reinterpret_cast<uint32_t*>(base + i), 0u, __ATOMIC_RELAXED);
    }
    for (; i < size; ++i) {
        __atomic_store_n(base + i, static_cast<uint8_t>(0), __ATOMIC_RELAXED);
    }
}

}  // namespace

WriterPartition::~WriterPartition() { Close(); }

VSharedMemoryQueue* WriterPartition::Queue() const {
    return mBase == nullptr || mOpenMode == OpenMode::NONE
               ? nullptr
               : reinterpret_cast<VSharedMemoryQueue*>(mBase + SHM_MGMT_HEADER_SIZE);
}

bool WriterPartition::QueueLooksSetUp(const uint8_t* base, uint32_t size) {
    if (base == nullptr || size < MIN_PARTITION_SIZE) {
        return false;
    }
    const auto* header = reinterpret_cast<const VShmHeader*>(base);
    if (ByteSum(base, CHECKSUMMED_BYTES) != 0 ||
        Load32(header->version) != ZulOsCom::OSCOM_SHM_VERSION || LoadInitTime(*header) == 0 ||
        Load32(header->size) != size) {
        return false;
    }
    const auto* queue = reinterpret_cast<const VSharedMemoryQueue*>(base + SHM_MGMT_HEADER_SIZE);
    uint32_t capacity = __atomic_load_n(&queue->mCapacity, __ATOMIC_RELAXED);
    uint32_t writeOffset = __atomic_load_n(&queue->mWriteOffset, __ATOMIC_ACQUIRE);
    uint32_t readOffset = __atomic_load_n(&queue->mReadOffset, __ATOMIC_ACQUIRE);
    int32_t attachCount = __atomic_load_n(&queue->mAttachCount, __ATOMIC_ACQUIRE);
    return capacity == QueueWriter::CapacityForSize(size) && writeOffset < capacity &&
           readOffset < capacity && isAligned64(writeOffset) && isAligned64(readOffset) &&
           attachCount >= 1;
}

WriterPartition::Status WriterPartition::Open(const std::string& name, bool initialise) {
    if (mOpenMode != OpenMode::NONE) {
        return Status::OK;
    }
    mName = name;
    uint32_t size = shmSizeGet(mName.c_str());
    if (size == 0) {
        return Status::NO_PARTITION;
    }
    if (size < MIN_PARTITION_SIZE) {
        return Status::TOO_SMALL;
    }
    uint32_t area = size;
    mHandle = shmOpen(mName.c_str(), 0, &area);
    if (mHandle < 0) {  // SHM_KEY_INVALID, or any other failure a library may answer
        mHandle = -1;
        return Status::OPEN_FAILED;
    }
    mBase = static_cast<uint8_t*>(shmAddrGet(mHandle));
    if (mBase == nullptr || area != size) {
        Close();
        return Status::OPEN_FAILED;
    }
    mSize = size;

    Status status;
    if (QueueLooksSetUp(mBase, mSize)) {
        status = Attach();
    } else if (initialise) {
        status = Initialise();
    } else {
        status = Fresh(mBase) ? Status::NOT_SET_UP : Status::BROKEN;
    }
    if (status != Status::OK) {
        Close();
    }
    return status;
}

WriterPartition::Status WriterPartition::Attach() {
    auto* header = reinterpret_cast<VShmHeader*>(mBase);
    const uint64_t before = LoadInitTime(*header);
    AddRefCount(*header, 1);
    mInitTime = before;
    mReferenced = true;
    // Set up anew (or broken) between the look and the reference: someone else is at it.
    if (LoadInitTime(*header) != before || !QueueLooksSetUp(mBase, mSize)) {
        return Status::CHANGED;
    }
    const auto* queue = reinterpret_cast<const VSharedMemoryQueue*>(mBase + SHM_MGMT_HEADER_SIZE);
    const uint32_t writeOffset = Load32(queue->mWriteOffset);
    // Read once more for use: it bounds every write, so it is checked as it will be used.
    if (writeOffset >= QueueWriter::CapacityForSize(mSize) || !isAligned64(writeOffset)) {
        return Status::CHANGED;
    }
    mWriteOffsetAtOpen = writeOffset;
    mOpenMode = OpenMode::ATTACHED;
    return Status::OK;
}

WriterPartition::Status WriterPartition::Initialise() {
    auto* header = reinterpret_cast<VShmHeader*>(mBase);
    ZeroShared(mBase, mSize);
    Store32(header->version, ZulOsCom::OSCOM_SHM_VERSION);
    Store32(header->size, mSize);
    // At most 31 characters and a NUL; the rest of the field is zero already.
    const size_t nameLength = std::min(mName.size(), sizeof(header->name) - 1);
    for (size_t i = 0; i < nameLength; ++i) {
        __atomic_store_n(&header->name[i], mName[i], __ATOMIC_RELAXED);
    }
    const uint64_t stamp = Platform::PlatformTime::PerformanceCounter();
    StoreInitTime(*header, stamp);
    const int32_t references = AddRefCount(*header, 1);
    mInitTime = stamp;
    mReferenced = true;
    if (references != 1 || LoadInitTime(*header) != stamp) {
        return Status::CHANGED;
    }
    const uint8_t sum = ByteSum(mBase, CHECKSUMMED_BYTES);
    // Stored last: the header becomes valid only when all other fields are in place.
    __atomic_store_n(&header->checksum, static_cast<uint8_t>(-sum), __ATOMIC_SEQ_CST);
    __atomic_store_n(reinterpret_cast<uint32_t*>(mBase + mSize - ZulOsCom::SHM_END_MARKER_SIZE),
                     ZulOsCom::SHM_END_MARKER, __ATOMIC_RELAXED);

    // The zeroing cleared the queue header; the count comes last, so that a reader attaching
    // meanwhile either sees no queue (count 0) or a complete header.
    auto* queue = reinterpret_cast<VSharedMemoryQueue*>(mBase + SHM_MGMT_HEADER_SIZE);
    __atomic_store_n(&queue->mCapacity, QueueWriter::CapacityForSize(mSize), __ATOMIC_RELAXED);
    __atomic_store_n(&queue->mWriteOffset, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&queue->mReadOffset, 0u, __ATOMIC_RELAXED);
    __atomic_store_n(&queue->mAttachCount, 1, __ATOMIC_RELEASE);
    mWriteOffsetAtOpen = 0;
    mOpenMode = OpenMode::INITIALISED;
    return Status::OK;
}

void WriterPartition::Close() {
    if (mReferenced) {
        // Given back only under the stamp it was taken under; taken back again when the
        // partition is set up anew during the step.
        auto* header = reinterpret_cast<VShmHeader*>(mBase);
        if (LoadInitTime(*header) == mInitTime) {
            AddRefCount(*header, -1);
            if (LoadInitTime(*header) != mInitTime) {
                AddRefCount(*header, 1);
            }
        }
        mReferenced = false;
    }
    if (mHandle != -1) {
        shmClose(mHandle);
        mHandle = -1;
    }
    mBase = nullptr;
    mSize = 0;
    mOpenMode = OpenMode::NONE;
}
