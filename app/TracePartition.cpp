// TracePartition: attaching to the trace partition, and following it while the reader runs.
#include "app/TracePartition.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "diag/ZulAssert.h"
#include "oscom/VShmHeader.h"
#include "platform/MappingGuard.h"
#include "platform/PlatformTime.h"
#include "rth/RthLib.h"

namespace {

using ZulOsCom::VSharedMemoryQueue;

constexpr uint64_t CHECK_INTERVAL_NS = 1000000000ULL;
constexpr uint64_t INVALID_SAID_AFTER_NS = 1000000000ULL;

// The partition object whose reference a forced end gives back. The main thread changes it
// under the lock before it attaches or detaches; a forced end takes the lock only briefly.
std::timed_mutex sCurrentMutex;
ZulOsCom::VRthSharedMemory* sCurrent = nullptr;

void Register(ZulOsCom::VRthSharedMemory* partition) {
    std::lock_guard<std::timed_mutex> lock(sCurrentMutex);
    sCurrent = partition;
}

void Say(const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "ReadPLIXTrace: partition \"%s\" %s\n", PLIX_TRACE_PARTITION, text);
}

// initTime of the partition behind the name, through a fresh mapping of its own; 0 when it
// cannot be opened or is not initialised.
uint64_t InitTimeByName() {
    uint32_t size = 0;
    const int32_t handle = shmOpen(PLIX_TRACE_PARTITION, 0, &size);
    if (handle == SHM_KEY_INVALID) {
        return 0;
    }
    uint64_t initTime = 0;
    if (auto* header = static_cast<ZulOsCom::VShmHeader*>(shmAddrGet(handle));
        header != nullptr && size >= ZulOsCom::SHM_MGMT_HEADER_SIZE) {
        initTime = header->LoadInitTime();
    }
    shmClose(handle);
    return initTime;
}

}  // namespace

TracePartition::~TracePartition() {
    if (mQueue != nullptr) {
        Register(nullptr);
        mQueue.reset();  // its release still runs under the guard
        Platform::MappingGuard::Unwatch();
    }
}

void TracePartition::ReleaseForForcedEnd() {
    std::unique_lock<std::timed_mutex> lock(sCurrentMutex, std::chrono::milliseconds(500));
    if (lock.owns_lock() && sCurrent != nullptr) {
        sCurrent->ReleaseReference();
    }
}

TracePartition::StartResult TracePartition::Attach() {
    const uint32_t objectSize = shmSizeGet(PLIX_TRACE_PARTITION);
    auto queue = std::make_unique<RawSharedMemoryQueue>();
    switch (queue->Open()) {
        case RawSharedMemoryQueue::OPEN_OK:
            break;
        case RawSharedMemoryQueue::OPEN_ABSENT:
            return StartResult::MISSING;
        default:
            return StartResult::NOT_OPENABLE;
    }
    return Adopt(std::move(queue), objectSize) ? StartResult::ATTACHED : StartResult::NO_QUEUE;
}

bool TracePartition::Adopt(std::unique_ptr<RawSharedMemoryQueue> queue, uint32_t objectSize) {
    // Registered before the attach count changes, so that a forced end from here on gives the
    // reference back.
    Register(queue->Partition());
    if (!queue->AttachReader()) {
        Register(nullptr);
        return false;
    }
    ZulOsCom::VRthSharedMemory* partition = queue->Partition();
    mObjectSize = objectSize;
    mInitTime = partition->GetInitTime();
    Platform::MappingGuard::Watch(static_cast<const uint8_t*>(partition->GetUserAreaAddress()) -
                                      ZulOsCom::SHM_MGMT_HEADER_SIZE,
                                  partition->GetSize());
    mQueue = std::move(queue);
    mNextCheckNs = Platform::PlatformTime::PerformanceCounter() + CHECK_INTERVAL_NS;
    return true;
}

uint32_t TracePartition::Read(void* dest, uint32_t& length) {
    if (mQueue == nullptr) {
        return VSharedMemoryQueue::STATUS_NOT_VALID;
    }
    uint32_t status = VSharedMemoryQueue::STATUS_NOT_VALID;
    try {
        status = mQueue->Read(dest, length);
    } catch (const PlixBase::PartitionMemoryLost&) {
        // An assertion over the zero pages: the partition shrank, not the queue's fault.
    }
    if (Platform::MappingGuard::Lost()) {
        Detach("shrank under the reader; waiting for it to come back");
        return VSharedMemoryQueue::STATUS_NOT_VALID;
    }
    if (mInvalidSinceNs != 0 && status != VSharedMemoryQueue::STATUS_NOT_VALID) {
        NoteStatus(status, 0);
    }
    return status;
}

uint32_t TracePartition::DataAreaSize() const {
    return mQueue != nullptr ? mQueue->DataAreaSize() : 0;
}

void TracePartition::IdlePass(uint32_t status, uint64_t now) {
    if (mQueue != nullptr) {
        NoteStatus(status, now);
    }
    if (now >= mNextCheckNs) {
        mNextCheckNs = now + CHECK_INTERVAL_NS;
        CheckPartition();
    }
}

void TracePartition::NoteStatus(uint32_t status, uint64_t nowNs) {
    if (status != VSharedMemoryQueue::STATUS_NOT_VALID) {
        if (mInvalidSaid) {
            Say("holds a valid queue again; reading on");
        }
        mInvalidSinceNs = 0;
        mInvalidSaid = false;
        return;
    }
    if (mInvalidSinceNs == 0) {
        mInvalidSinceNs = nowNs;
    } else if (!mInvalidSaid && nowNs - mInvalidSinceNs >= INVALID_SAID_AFTER_NS) {
        mInvalidSaid = true;
        Say("holds a queue that is not valid (its offsets or capacity do not fit the "
            "partition); nothing can be read until a writer sets it up again");
    }
}

void TracePartition::CheckPartition() {
    const uint32_t objectSize = shmSizeGet(PLIX_TRACE_PARTITION);
    if (mQueue != nullptr) {
        if (objectSize == 0) {
            Detach("was removed; waiting for it to come back");
            return;
        }
        if (objectSize == mObjectSize && InitTimeByName() == mInitTime) {
            return;
        }
        Detach(nullptr);
        if (!TryAttach("was replaced; reading the new one") && !mWaitingSaid) {
            mWaitingSaid = true;
            Say("was replaced; waiting for a writer to set it up");
        }
        return;
    }
    if (objectSize != 0) {
        TryAttach("is back; reading it");
    }
}

void TracePartition::Detach(const char* why) {
    if (why != nullptr) {
        Say(why);
    }
    Register(nullptr);
    mQueue.reset();  // gives the reference back (skipped when the stamp changed), guarded
    Platform::MappingGuard::Unwatch();
    mInvalidSinceNs = 0;
    mInvalidSaid = false;
    mWaitingSaid = false;
}

bool TracePartition::TryAttach(const char* news) {
    // A header without a stamp is not initialised (yet); opening it would end the process.
    const uint32_t objectSize = shmSizeGet(PLIX_TRACE_PARTITION);
    if (objectSize == 0 || InitTimeByName() == 0) {
        return false;
    }
    auto queue = std::make_unique<RawSharedMemoryQueue>();
    // Attaching to a queue nobody has set up would count this reader in for good and let the
    // next try succeed on an empty partition: wait for a writer instead.
    if (queue->Open() != RawSharedMemoryQueue::OPEN_OK || !queue->QueueSetUp() ||
        !Adopt(std::move(queue), objectSize)) {
        return false;
    }
    mWaitingSaid = false;
    Say(news);
    return true;
}
