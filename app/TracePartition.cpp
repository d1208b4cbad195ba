// TracePartition: attaching to the trace partition, and following it while the reader runs.
#include "app/TracePartition.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "diag/ZulAssert.h"
#include "platform/MappingGuard.h"
#include "platform/PlatformTime.h"
#include "rth/RthLib.h"

namespace {

using ZulOsCom::PartitionClaim;
using ZulOsCom::VSharedMemoryQueue;

constexpr uint64_t CHECK_INTERVAL_NS = 1000000000ULL;
constexpr uint64_t INVALID_SAID_AFTER_NS = 1000000000ULL;
// A writer holds the reader's claim for the moment it sets a partition up: the reader waits
// that long for it before it takes the claim for another reader's.
constexpr uint32_t START_CLAIM_WAIT_MS = 1000;
constexpr uint32_t REATTACH_CLAIM_WAIT_MS = 100;
// At start, a partition met while it was being set up is tried again this often.
constexpr int START_ATTEMPTS = 3;
constexpr uint32_t START_RETRY_PAUSE_MS = 100;

// The partition object whose reference a forced end gives back, and the claim that says which
// object the name led to. The main thread sets them under the lock in the same step in which it
// takes the reference, and clears them in the step in which it gives it back; a forced end takes
// the lock only briefly.
std::timed_mutex sCurrentMutex;
ZulOsCom::VRthSharedMemory* sCurrent = nullptr;
const PartitionClaim* sCurrentClaim = nullptr;

void Say(const char* text) {
    std::fflush(stdout);
    std::fprintf(stderr, "ReadPLIXTrace: partition \"%s\" %s\n", PLIX_TRACE_PARTITION, text);
}

// Gives partition's reference back, at most once: on its own mapping; or, when that mapping was
// lost or the object shrank under it, on the live object through a mapping of its own, when the
// name still leads to the object claimed (and there only under the stamp attached under).
// Protocol checks that fail because the partition is being set up drop the reference instead of
// ending the process. Under sCurrentMutex, from the main thread or a forced end.
void GiveBack(ZulOsCom::VRthSharedMemory* partition, const PartitionClaim& claim) {
    PlixBase::SetUpRaceScope tolerate;
    const PartitionClaim::Behind behind = claim.Check(partition->GetSize());
    const bool sameObject =
        behind == PartitionClaim::Behind::SAME || behind == PartitionClaim::Behind::SHRUNK;
    if ((Platform::MappingGuard::Lost() || behind == PartitionClaim::Behind::SHRUNK) &&
        sameObject) {
        partition->ReleaseReferenceThroughName();
    } else {
        // Over lost memory that is no longer the name's, this reads zeros and changes nothing.
        partition->ReleaseReference();
    }
}

}  // namespace

TracePartition::~TracePartition() {
    // Removed while the reader still holds its claim: no second reader has made its own yet.
    mWakeUp.Close();
    Detach(nullptr);
}

void TracePartition::ReleaseForForcedEnd() {
    std::unique_lock<std::timed_mutex> lock(sCurrentMutex, std::chrono::milliseconds(500));
    if (lock.owns_lock() && sCurrent != nullptr) {
        GiveBack(sCurrent, *sCurrentClaim);
    }
}

TracePartition::StartResult TracePartition::Attach() {
    Opened opened = Opened::CHANGING;
    for (int attempt = 0; attempt < START_ATTEMPTS && opened == Opened::CHANGING; ++attempt) {
        if (attempt > 0) {
            Platform::PlatformTime::Sleep(START_RETRY_PAUSE_MS);
        }
        switch (mClaim.Claim(PLIX_TRACE_PARTITION, PartitionClaim::Role::READER,
                             START_CLAIM_WAIT_MS)) {
            case PartitionClaim::Result::CLAIMED:
                break;
            case PartitionClaim::Result::BUSY:
                return StartResult::OTHER_READER;
            default:
                return StartResult::MISSING;
        }
        opened = OpenQueue(/*waitForWriter=*/false);
    }
    switch (opened) {
        case Opened::ATTACHED:
            mNextCheckNs = Platform::PlatformTime::PerformanceCounter() + CHECK_INTERVAL_NS;
            CreateWakeUp();
            return StartResult::ATTACHED;
        case Opened::ABSENT:
            mClaim.Release();
            return StartResult::MISSING;
        case Opened::NO_QUEUE:
            mClaim.Release();
            return StartResult::NO_QUEUE;
        default:
            mClaim.Release();
            return StartResult::NOT_OPENABLE;
    }
}

TracePartition::Opened TracePartition::OpenQueue(bool waitForWriter) {
    auto queue = std::make_unique<RawSharedMemoryQueue>();
    // The reference is taken, registered, or given back again, in one step under the lock, so
    // that a forced end finds it either not taken or registered.
    std::lock_guard<std::timed_mutex> lock(sCurrentMutex);
    // Following, a partition met while another party sets it up is tried again later; at start
    // the protocol's fatal checks keep their meaning (an impossible header ends the start).
    std::optional<PlixBase::SetUpRaceScope> tolerate;
    if (waitForWriter) {
        tolerate.emplace();
    }
    Opened opened = Opened::CHANGING;
    try {
        switch (queue->Open()) {
            case RawSharedMemoryQueue::OPEN_OK:
                // Attaching to a queue nobody has set up would count this reader in for good and
                // let the next try succeed on an empty partition: wait for a writer instead.
                if (waitForWriter && !queue->QueueSetUp()) {
                    opened = Opened::NO_QUEUE;
                } else {
                    opened = queue->AttachReader() ? Opened::ATTACHED : Opened::NO_QUEUE;
                }
                break;
            case RawSharedMemoryQueue::OPEN_ABSENT:
                opened = Opened::ABSENT;
                break;
            default:
                opened = Opened::REFUSED;
                break;
        }
    } catch (const PlixBase::PartitionBeingSetUp&) {
    } catch (const PlixBase::PartitionMemoryLost&) {
    }
    ZulOsCom::VRthSharedMemory* partition = queue->Partition();
    // Lost meanwhile, or the name leads to another object than the one claimed: try again.
    if (opened == Opened::ATTACHED &&
        (Platform::MappingGuard::Lost() ||
         mClaim.Check(partition->GetSize()) != PartitionClaim::Behind::SAME)) {
        opened = Opened::CHANGING;
    }
    if (opened != Opened::ATTACHED) {
        if (partition != nullptr) {
            GiveBack(partition, mClaim);
        }
        queue.reset();
        return opened;
    }
    sCurrent = partition;
    sCurrentClaim = &mClaim;
    mInitTime = partition->GetInitTime();
    mQueue = std::move(queue);
    return Opened::ATTACHED;
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

void TracePartition::CreateWakeUp() {
    std::string reason;
    if (mWakeUp.Create(PLIX_TRACE_PARTITION, &reason) != ZulOsCom::QueueWakeUp::Status::READY) {
        Say(("has no wake-up for its writers (" + reason + "); the reader polls").c_str());
    }
}

bool TracePartition::AwaitWriter(uint32_t us) {
    if (mQueue == nullptr || !mWakeUp.Ready()) {
        return false;
    }
    mWakeUp.WaitForRecords(mQueue->Queue(), us);
    return true;
}

uint32_t TracePartition::DataAreaSize() const {
    return mQueue != nullptr ? mQueue->DataAreaSize() : 0;
}

void TracePartition::IdlePass(uint32_t status, uint64_t now) {
    if (mQueue != nullptr) {
        NoteStatus(status, now);
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

void TracePartition::CheckPartition(uint64_t nowNs) {
    mNextCheckNs = nowNs + CHECK_INTERVAL_NS;
    if (mQueue == nullptr) {
        if (shmSizeGet(PLIX_TRACE_PARTITION) != 0) {
            TryAttach("is back; reading it");
        }
        return;
    }
    ZulOsCom::VRthSharedMemory* partition = mQueue->Partition();
    switch (mClaim.Check(partition->GetSize())) {
        case PartitionClaim::Behind::REMOVED:
            Detach("was removed; waiting for it to come back");
            return;
        case PartitionClaim::Behind::SHRUNK:
            Detach("shrank under the reader; waiting for it to come back");
            return;
        case PartitionClaim::Behind::REPLACED:
            break;
        case PartitionClaim::Behind::SAME: {
            // Set up anew in place (by a writer that ignores the reader's claim) counts as
            // replaced; the stamp is read from the reader's own mapping.
            const uint64_t stamp = partition->LoadHeaderInitTime();
            if (Platform::MappingGuard::Lost()) {
                Detach("shrank under the reader; waiting for it to come back");
                return;
            }
            if (stamp == mInitTime) {
                return;
            }
            break;
        }
    }
    Detach(nullptr);
    if (!TryAttach("was replaced; reading the new one") && !mWaitingSaid) {
        mWaitingSaid = true;
        Say("was replaced; waiting for a writer to set it up");
    }
}

void TracePartition::Detach(const char* why) {
    {
        std::lock_guard<std::timed_mutex> lock(sCurrentMutex);
        if (mQueue != nullptr) {
            GiveBack(mQueue->Partition(), mClaim);
            sCurrent = nullptr;
            sCurrentClaim = nullptr;
            mQueue.reset();  // closes the handle; the reference is back already
        }
        mClaim.Release();
    }
    // Said once the reference is back, so whoever reads the line finds the partition let go.
    if (why != nullptr) {
        Say(why);
    }
    mInvalidSinceNs = 0;
    mInvalidSaid = false;
    mWaitingSaid = false;
}

bool TracePartition::TryAttach(const char* news) {
    switch (mClaim.Claim(PLIX_TRACE_PARTITION, PartitionClaim::Role::READER,
                         REATTACH_CLAIM_WAIT_MS)) {
        case PartitionClaim::Result::CLAIMED:
            break;
        case PartitionClaim::Result::BUSY:
            if (!mOtherReaderSaid) {
                mOtherReaderSaid = true;
                Say("is held by another reader; waiting for it to let go");
            }
            return false;
        default:
            return false;
    }
    const Opened opened = OpenQueue(/*waitForWriter=*/true);
    if (opened != Opened::ATTACHED) {
        mClaim.Release();
        if (opened == Opened::CHANGING && !mChangingSaid) {
            mChangingSaid = true;
            Say("changed while the reader attached (a writer setting it up?); trying again in a "
                "second");
        }
        return false;
    }
    mWaitingSaid = false;
    mOtherReaderSaid = false;
    mChangingSaid = false;
    Say(news);
    return true;
}
