// WriterPartition: opening, checking and setting up a partition for the queue's writer,
// through the partition library alone. Used by one thread per object.
#include "writer/WriterPartition.h"

#include "oscom/OscomTypes.h"
#include "oscom/PartitionRules.h"
#include "oscom/SharedAccess.h"
#include "oscom/VShmHeader.h"
#include "platform/PlatformTime.h"
#include "rth/RthLib.h"
#include "writer/QueueWriter.h"

using ZulOsCom::PartitionClaim;
using ZulOsCom::PartitionRules;
using ZulOsCom::SharedAccess;
using ZulOsCom::SHM_MGMT_HEADER_SIZE;
using ZulOsCom::SIZEOF_QUEUE_HDR;
using ZulOsCom::VSharedMemoryQueue;
using ZulOsCom::VShmHeader;

namespace {

// Smallest capacity a writer continues: the data area of MIN_PARTITION_SIZE.
constexpr uint32_t MIN_CAPACITY = PartitionRules::CapacityForPartition(WriterPartition::MIN_PARTITION_SIZE);
// A reader holds its claim for a moment each second while it waits to re-attach: the set-up
// waits that long for it before it counts the reader as attached.
constexpr uint32_t SET_UP_CLAIM_WAIT_MS = 200;

// The header's fields are shared with other processes: every access is atomic. The header's
// protocol functions (VShmHeader.cpp) report through the diagnostic logger and end the process
// on protocol failures, which a library must not do, so the few steps needed are written out
// here over the header's own field accesses.

uint32_t Load32(const uint32_t& field) {
    return SharedAccess::Load(field, std::memory_order_acquire);
}

// Whether the management header and the queue header are all zero: a partition as the
// administrator creates it, never set up.
bool Fresh(const uint8_t* base) {
    for (uint32_t i = 0; i < SHM_MGMT_HEADER_SIZE + SIZEOF_QUEUE_HDR; ++i) {
        if (SharedAccess::Load(base[i], std::memory_order_relaxed) != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

WriterPartition::~WriterPartition() { Close(); }

VSharedMemoryQueue* WriterPartition::Queue() const {
    return mBase == nullptr || mOpenMode == OpenMode::NONE
               ? nullptr
               : reinterpret_cast<VSharedMemoryQueue*>(mBase + PartitionRules::QUEUE_HEADER_OFFSET);
}

bool WriterPartition::QueueLooksSetUp(const uint8_t* base, uint32_t size) {
    if (base == nullptr || size < MIN_PARTITION_SIZE) {
        return false;
    }
    const auto* header = reinterpret_cast<const VShmHeader*>(base);
    const PartitionRules::HeaderFields headerFields{header->ComputeSum(), Load32(header->version),
                                                    header->LoadInitTime(), Load32(header->size)};
    if (PartitionRules::CheckHeader(headerFields, size) != PartitionRules::HeaderProblem::NONE) {
        return false;
    }
    const auto* queue =
        reinterpret_cast<const VSharedMemoryQueue*>(base + PartitionRules::QUEUE_HEADER_OFFSET);
    const PartitionRules::QueueFields queueFields{
        SharedAccess::Load(queue->mCapacity, std::memory_order_relaxed),
        SharedAccess::Load(queue->mWriteOffset, std::memory_order_acquire),
        SharedAccess::Load(queue->mReadOffset, std::memory_order_acquire),
        SharedAccess::Load(queue->mAttachCount, std::memory_order_acquire)};
    return PartitionRules::CheckQueue(queueFields, size) == PartitionRules::QueueProblem::NONE;
}

WriterPartition::Status WriterPartition::Open(const std::string& name, bool initialise) {
    if (mOpenMode != OpenMode::NONE) {
        return Status::OK;
    }
    mName = name;
    // The writer's claim first: a second writer is refused before anything is mapped.
    switch (mClaim.Claim(mName.c_str(), PartitionClaim::Role::WRITER, 0)) {
        case PartitionClaim::Result::CLAIMED:
            break;
        case PartitionClaim::Result::BUSY:
            return Status::WRITER_BUSY;
        case PartitionClaim::Result::MISSING:
            return Status::NO_PARTITION;
        default:
            return Status::OPEN_FAILED;
    }
    const Status status = OpenClaimed(initialise);
    if (status != Status::OK) {
        Close();
    }
    return status;
}

WriterPartition::Status WriterPartition::OpenClaimed(bool initialise) {
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
        return Status::OPEN_FAILED;
    }
    mSize = size;
    // The name led elsewhere by the time it was opened: not the partition claimed.
    if (mClaim.Check(mSize) != PartitionClaim::Behind::SAME) {
        return Status::CHANGED;
    }

    if (QueueLooksSetUp(mBase, mSize)) {
        return Attach();
    }
    if (!initialise) {
        return Fresh(mBase) ? Status::NOT_SET_UP : Status::BROKEN;
    }
    // The reader refuses this queue too. Set it up only when no reader holds the partition, and
    // hold the reader's claim meanwhile, so that no reader attaches to it half set up.
    PartitionClaim readerClaim;
    switch (readerClaim.Claim(mName.c_str(), PartitionClaim::Role::READER, SET_UP_CLAIM_WAIT_MS)) {
        case PartitionClaim::Result::CLAIMED:
            break;
        case PartitionClaim::Result::BUSY:
            return Status::READER_HOLDS;
        case PartitionClaim::Result::MISSING:
            return Status::CHANGED;
        default:
            return Status::OPEN_FAILED;
    }
    if (readerClaim.Check(mSize) != PartitionClaim::Behind::SAME) {
        return Status::CHANGED;
    }
    // Looked at again under the claim: what a reader left there may be a queue after all.
    return QueueLooksSetUp(mBase, mSize) ? Attach() : Initialise();
}

bool WriterPartition::StillBehindName() const {
    if (mOpenMode == OpenMode::NONE) {
        return false;
    }
    // The identity first: a partition that shrank is not touched.
    if (mClaim.Check(mSize) != PartitionClaim::Behind::SAME) {
        return false;
    }
    return reinterpret_cast<const VShmHeader*>(mBase)->LoadInitTime() == mInitTime;
}

WriterPartition::Status WriterPartition::Attach() {
    auto* header = reinterpret_cast<VShmHeader*>(mBase);
    const uint64_t before = header->LoadInitTime();
    header->AddToRefCount(1);
    mInitTime = before;
    mReferenced = true;
    // Set up anew (or broken) between the look and the reference: someone else is at it.
    if (header->LoadInitTime() != before || !QueueLooksSetUp(mBase, mSize)) {
        return Status::CHANGED;
    }
    const auto* queue =
        reinterpret_cast<const VSharedMemoryQueue*>(mBase + PartitionRules::QUEUE_HEADER_OFFSET);
    // Capacity and write offset are read once more for use: they bound every write, so they
    // are checked as they will be used, against the size this writer mapped.
    const uint32_t capacity = SharedAccess::Load(queue->mCapacity, std::memory_order_relaxed);
    const uint32_t writeOffset = Load32(queue->mWriteOffset);
    if (capacity > QueueWriter::CapacityForSize(mSize) || !ZulOsCom::isAligned64(capacity) ||
        !PartitionRules::OffsetPlausible(writeOffset, capacity)) {
        return Status::CHANGED;
    }
    // A queue the reader takes but too small for any writer: left as it is.
    if (capacity < MIN_CAPACITY) {
        return Status::BROKEN;
    }
    mCapacity = capacity;
    mWriteOffsetAtOpen = writeOffset;
    mOpenMode = OpenMode::ATTACHED;
    return Status::OK;
}

WriterPartition::Status WriterPartition::Initialise() {
    auto* header = reinterpret_cast<VShmHeader*>(mBase);
    SharedAccess::Zero(mBase, mSize);
    header->StoreIdentity(mName, mSize);
    const uint64_t stamp = Platform::PlatformTime::RawPerformanceCounter();
    header->StoreInitTime(stamp);
    const int32_t references = header->AddToRefCount(1);
    mInitTime = stamp;
    mReferenced = true;
    if (references != 1 || header->LoadInitTime() != stamp) {
        return Status::CHANGED;
    }
    header->SealChecksum();
    SharedAccess::StoreLittleEndian32(mBase + mSize - ZulOsCom::SHM_END_MARKER_SIZE,
                                      ZulOsCom::SHM_END_MARKER);

    // The zeroing cleared the queue header; the count comes last, so that a reader attaching
    // meanwhile either sees no queue (count 0) or a complete header.
    auto* queue =
        reinterpret_cast<VSharedMemoryQueue*>(mBase + PartitionRules::QUEUE_HEADER_OFFSET);
    mCapacity = QueueWriter::CapacityForSize(mSize);
    SharedAccess::Store(queue->mCapacity, mCapacity, std::memory_order_relaxed);
    SharedAccess::Store(queue->mWriteOffset, 0, std::memory_order_relaxed);
    SharedAccess::Store(queue->mReadOffset, 0, std::memory_order_relaxed);
    SharedAccess::Store(queue->mAttachCount, 1, std::memory_order_release);
    mWriteOffsetAtOpen = 0;
    mOpenMode = OpenMode::INITIALISED;
    return Status::OK;
}

void WriterPartition::Close() {
    if (mReferenced) {
        // Given back only under the stamp it was taken under; taken back again when the
        // partition is set up anew during the step.
        auto* header = reinterpret_cast<VShmHeader*>(mBase);
        if (header->LoadInitTime() == mInitTime) {
            header->AddToRefCount(-1);
            if (header->LoadInitTime() != mInitTime) {
                header->AddToRefCount(1);
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
    mCapacity = 0;
    mOpenMode = OpenMode::NONE;
    mClaim.Release();
}
