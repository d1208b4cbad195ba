// QueueWakeUp: the reader's and the writer's sides of the wake-up beside a queue.
#include "oscom/QueueWakeUp.h"

#include <atomic>
#include <cstdlib>

#include "oscom/SharedAccess.h"

namespace ZulOsCom {

std::string QueueWakeUp::ObjectName(const char* partition) {
    const char* prefix = std::getenv("RTH_SHM_PREFIX");
    return std::string("plixtrace.wake.") + (prefix != nullptr ? prefix : "rth.") + partition;
}

QueueWakeUp::Status QueueWakeUp::Create(const char* partition, std::string* reason) {
    Close();
    mName = ObjectName(partition);
    const Status status = mObject.Create(mName, reason);
    if (status != Status::READY) {
        return status;
    }
    auto* area = reinterpret_cast<VWakeUpArea*>(mObject.Area());
    // Writers read it meanwhile: the magic last, over an area that says nobody waits.
    SharedAccess::Store(area->readerWaits, 0, std::memory_order_relaxed);
    SharedAccess::Store(area->version, WAKE_UP_VERSION, std::memory_order_relaxed);
    SharedAccess::Store(area->magic, WAKE_UP_MAGIC, std::memory_order_release);
    mArea = area;
    return Status::READY;
}

void QueueWakeUp::WaitForRecords(const VSharedMemoryQueue* queue, uint32_t us) {
    if (mArea == nullptr || queue == nullptr) {
        return;
    }
    SharedAccess::Store(mArea->readerWaits, 1, std::memory_order_relaxed);
    // Against the writer's fence between its write offset and its look at readerWaits.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const uint32_t writeOffset = SharedAccess::Load(queue->mWriteOffset, std::memory_order_relaxed);
    if (writeOffset == SharedAccess::Load(queue->mReadOffset, std::memory_order_relaxed)) {
        mObject.Wait(&queue->mWriteOffset, writeOffset, us);
    }
    SharedAccess::Store(mArea->readerWaits, 0, std::memory_order_relaxed);
}

void QueueWakeUp::Open(const char* partition) {
    Close();
    mName = ObjectName(partition);
    Follow();
}

void QueueWakeUp::Follow() {
    if (mName.empty() || (mArea != nullptr && mObject.StillBehindName())) {
        return;
    }
    mArea = nullptr;
    if (mObject.Open(mName) != Status::READY) {
        return;
    }
    // A reader still setting it up, or an area of another layout: not used (yet).
    const auto* area = reinterpret_cast<const VWakeUpArea*>(mObject.Area());
    if (SharedAccess::Load(area->magic, std::memory_order_acquire) != WAKE_UP_MAGIC ||
        SharedAccess::Load(area->version, std::memory_order_relaxed) != WAKE_UP_VERSION) {
        mObject.Close();
        return;
    }
    mArea = const_cast<VWakeUpArea*>(area);
}

void QueueWakeUp::WakeWaitingReader(const VSharedMemoryQueue* queue) const {
    // Against the reader's fence between readerWaits and its look at the write offset.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (SharedAccess::Load(mArea->readerWaits, std::memory_order_relaxed) != 0) {
        mObject.Wake(&queue->mWriteOffset);
    }
}

void QueueWakeUp::Close() {
    mArea = nullptr;
    mObject.Close();
}

}  // namespace ZulOsCom
