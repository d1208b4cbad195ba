// RawSharedMemoryQueue: opens the trace partition, attaches to its queue as the reader and
// reads elements for the main program. Used by the main thread only.
#include "app/RawSharedMemoryQueue.h"

#include "oscom/SharedAccess.h"
#include "rth/RthLib.h"

RawSharedMemoryQueue::~RawSharedMemoryQueue() = default;

int32_t RawSharedMemoryQueue::Open() {
    // The one call into the partition library above the partition object: an absent partition
    // must be told apart before any partition object exists, since the object's Open reports
    // every failure alike (and logs it).
    if (shmSizeGet(PLIX_TRACE_PARTITION) == 0) {
        return OPEN_ABSENT;
    }
    // Pointers into a partition held before go with it.
    mAreaBegin = nullptr;
    mAreaEnd = nullptr;
    mQueue = nullptr;
    mDataBegin = nullptr;
    mDataEnd = nullptr;
    mShm = std::make_shared<ZulOsCom::VRthSharedMemory>(PLIX_TRACE_PARTITION, /*noCleanup=*/true);
    uint32_t size = 0;
    if (!mShm->Open(size)) {
        return OPEN_REFUSED;
    }
    mAreaBegin = static_cast<uint8_t*>(mShm->GetUserAreaAddress());
    mAreaEnd = static_cast<uint8_t*>(mShm->GetUserAreaEnd());
    return OPEN_OK;
}

bool RawSharedMemoryQueue::AttachReader() {
    // The queue header must fit into the user area before it is touched. Without an open
    // partition both pointers are null and this refuses as well.
    if (!HoldsQueueHeader()) {
        return false;
    }
    mQueue = reinterpret_cast<ZulOsCom::VSharedMemoryQueue*>(mAreaBegin);
    const uint32_t capacity =
        ZulOsCom::PartitionRules::CapacityForUserArea(static_cast<uint32_t>(mAreaEnd - mAreaBegin));
    const int32_t before =
        ZulOsCom::SharedAccess::FetchAdd(mQueue->mAttachCount, 1, std::memory_order_seq_cst);
    if (before == 0) {
        return false;
    }
    mDataBegin = mAreaBegin + ZulOsCom::SIZEOF_QUEUE_HDR;
    mDataEnd = mDataBegin + capacity;
    return true;
}

uint32_t RawSharedMemoryQueue::Read(void* dest, uint32_t& length) {
    if (mQueue == nullptr) {
        return ZulOsCom::VSharedMemoryQueue::STATUS_NOT_VALID;
    }
    return mQueue->ReadBytes(dest, &length, DataAreaSize());
}

uint32_t RawSharedMemoryQueue::DataAreaSize() const {
    return static_cast<uint32_t>(mDataEnd - mDataBegin);
}

bool RawSharedMemoryQueue::QueueSetUp() const {
    if (!HoldsQueueHeader()) {
        return false;
    }
    const auto* queue = reinterpret_cast<const ZulOsCom::VSharedMemoryQueue*>(mAreaBegin);
    return ZulOsCom::SharedAccess::Load(queue->mAttachCount, std::memory_order_seq_cst) > 0;
}

bool RawSharedMemoryQueue::HoldsQueueHeader() const {
    return mAreaBegin != nullptr && mAreaEnd >= mAreaBegin &&
           static_cast<size_t>(mAreaEnd - mAreaBegin) >= ZulOsCom::SIZEOF_QUEUE_HDR;
}
