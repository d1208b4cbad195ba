// QueueProbe: read-only view of a partition's queue header.
#include "bench/QueueProbe.h"

#include <cstddef>
#include <stdexcept>

#include "oscom/OscomTypes.h"
#include "oscom/PartitionRules.h"
#include "oscom/SharedAccess.h"
#include "oscom/VSharedMemoryQueue.h"
#include "rth/RthLib.h"

using ZulOsCom::VSharedMemoryQueue;

QueueProbe::QueueProbe(const std::string& name) {
    uint32_t size = shmSizeGet(name.c_str());
    if (size < ZulOsCom::SHM_MGMT_HEADER_SIZE + ZulOsCom::SIZEOF_QUEUE_HDR) {
        throw std::runtime_error("partition " + name + " is missing or too small");
    }
    // The size wanted goes in and is compared with the size opened, as every caller does.
    uint32_t area = size;
    mHandle = shmOpen(name.c_str(), 0, &area);
    const auto* base = mHandle == SHM_KEY_INVALID || area != size
                           ? nullptr
                           : static_cast<const uint8_t*>(shmAddrGet(mHandle));
    if (base == nullptr) {
        if (mHandle != SHM_KEY_INVALID) {
            shmClose(mHandle);
        }
        throw std::runtime_error("cannot map partition " + name);
    }
    mQueue = base + ZulOsCom::SHM_MGMT_HEADER_SIZE;
    mCapacity = ZulOsCom::PartitionRules::CapacityForPartition(size);
}

QueueProbe::~QueueProbe() {
    if (mHandle != SHM_KEY_INVALID) {
        shmClose(mHandle);
    }
}

uint32_t QueueProbe::Load(uint32_t offset) const {
    return ZulOsCom::SharedAccess::Load(*reinterpret_cast<const uint32_t*>(mQueue + offset),
                                        std::memory_order_acquire);
}

uint32_t QueueProbe::WriteOffset() const {
    return Load(offsetof(VSharedMemoryQueue, mWriteOffset));
}

uint32_t QueueProbe::ReadOffset() const {
    return Load(offsetof(VSharedMemoryQueue, mReadOffset));
}

int32_t QueueProbe::AttachCount() const {
    return static_cast<int32_t>(Load(offsetof(VSharedMemoryQueue, mAttachCount)));
}
