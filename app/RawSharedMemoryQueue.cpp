// RawSharedMemoryQueue: opens the trace partition, attaches to its queue as the reader and
// reads elements for the main program. Used by the main thread only.
#include "app/RawSharedMemoryQueue.h"

#include <atomic>

#include "rth/RthLib.h"

RawSharedMemoryQueue::~RawSharedMemoryQueue() = default;

int32_t RawSharedMemoryQueue::Open() {
    if (shmSizeGet(PLIX_TRACE_PARTITION) == 0) {
        return 1;
    }
    // Pointers into a partition held before go with it.
    mAreaBegin = nullptr;
    mAreaEnd = nullptr;
    mQueue = nullptr;
    mDataBegin = nullptr;
    mDataEnd = nullptr;
    mShm = std::make_shared<ZulOsCom::VRthSharedMemory>(PLIX_TRACE_PARTITION, true);
    uint32_t size = 0;
    if (!mShm->Open(size)) {
        return 2;
    }
    mAreaBegin = static_cast<uint8_t*>(mShm->GetUserAreaAddress());
    mAreaEnd = static_cast<uint8_t*>(mShm->GetUserAreaEnd());
    return 0;
}

bool RawSharedMemoryQueue::AttachReader() {
    // The queue header must fit into the user area before it is touched. Without an open
    // partition both pointers are null and this refuses as well.
    if (!HoldsQueueHeader()) {
        return false;
    }
    mQueue = reinterpret_cast<ZulOsCom::VSharedMemoryQueue*>(mAreaBegin);
    const uint32_t capacity =
        (static_cast<uint32_t>(mAreaEnd - mAreaBegin) - ZulOsCom::SIZEOF_QUEUE_HDR) &
        ~(ZulOsCom::QUEUE_ALIGNMENT - 1);
    const int32_t before = std::atomic_ref<int32_t>(mQueue->mAttachCount).fetch_add(1);
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
    return std::atomic_ref<int32_t>(const_cast<int32_t&>(queue->mAttachCount)).load() > 0;
}

bool RawSharedMemoryQueue::HoldsQueueHeader() const {
    return mAreaBegin != nullptr && mAreaEnd >= mAreaBegin &&
           static_cast<size_t>(mAreaEnd - mAreaBegin) >= ZulOsCom::SIZEOF_QUEUE_HDR;
}
