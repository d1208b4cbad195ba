// RawSharedMemoryQueue: the main program's handle on the trace queue in the partition
// "plixtrace". Call Open, then AttachReader if Open gave OPEN_OK, then Read any number of times if
// AttachReader gave true; destroy the object on every path. Used by one thread.
//
// The object holds its partition object through a shared owning pointer; destroying the last
// owner gives the partition's reference back and closes it. mAttachCount is never decremented.
#pragma once

#include <cstdint>
#include <memory>

#include "oscom/PartitionRules.h"
#include "oscom/VRthSharedMemory.h"
#include "oscom/VSharedMemoryQueue.h"

using ZulOsCom::PLIX_TRACE_PARTITION;

class RawSharedMemoryQueue {
public:
    RawSharedMemoryQueue() = default;
    virtual ~RawSharedMemoryQueue();

    RawSharedMemoryQueue(const RawSharedMemoryQueue&) = delete;
    RawSharedMemoryQueue& operator=(const RawSharedMemoryQueue&) = delete;

    // Results of Open.
    static constexpr int32_t OPEN_OK = 0;       // open
    static constexpr int32_t OPEN_ABSENT = 1;   // absent or of size 0 (nothing created)
    static constexpr int32_t OPEN_REFUSED = 2;  // the partition object could not open it (the
                                                // object stays held until destruction)

    // Opens "plixtrace": OPEN_OK, OPEN_ABSENT or OPEN_REFUSED.
    int32_t Open();

    // Locates the queue header at the start of the user area and counts this reader in
    // mAttachCount. False when nobody had set the queue up (the count was 0; it stays 1), or
    // when the user area cannot hold a queue header (nothing is touched then).
    bool AttachReader();

    // Reads one element (VSharedMemoryQueue::ReadBytes statuses 0, 6, 8, 11); 11 without
    // touching length while no queue is attached.
    uint32_t Read(void* dest, uint32_t& length);

    // Bytes of the data area the partition holds (0 until attached): an upper bound for any
    // element length Read can report.
    uint32_t DataAreaSize() const;

    // Whether a writer has set the queue up (its attach count is above 0), read without counting
    // this reader, so that a reader can wait for a writer instead of attaching to an empty
    // partition. False until Open gave OPEN_OK or when the user area cannot hold a queue header.
    bool QueueSetUp() const;

    // The queue header once attached, else null; it lies in the partition, which stays mapped
    // while this object lives.
    const ZulOsCom::VSharedMemoryQueue* Queue() const { return mQueue; }

    // The partition object once Open was called, else null; owned by this object.
    ZulOsCom::VRthSharedMemory* Partition() const { return mShm.get(); }

private:
    // The user area is known and can hold a queue header.
    bool HoldsQueueHeader() const;

    std::shared_ptr<ZulOsCom::VRthSharedMemory> mShm;
    uint8_t* mAreaBegin = nullptr;
    uint8_t* mAreaEnd = nullptr;
    ZulOsCom::VSharedMemoryQueue* mQueue = nullptr;
    uint8_t* mDataBegin = nullptr;
    uint8_t* mDataEnd = nullptr;
};
