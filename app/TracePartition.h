// TracePartition: the reader's hold on the trace partition "plixtrace" for the whole run. It
// attaches at start as the queue's reader and then follows the partition behind the name, as
// `tail -F` follows a file: a partition removed, created again, replaced or shrunk under the
// reader never ends the run and never leaves it reading a dead mapping without a word.
//
// One reader per partition: while attached, the reader holds the reader's claim on the
// partition object (ZulOsCom::PartitionClaim: a lock that the system drops when the process
// ends in any way), whatever its /tmp. A second reader is refused at start; a reader that finds
// the claim taken when it re-attaches says so once and tries again a second later. The claim is
// given back whenever the reader detaches, so that a writer may set up the partition the reader
// could not read (a writer never sets one up under a reader's claim).
//
// Once a second by the clock, whether records flow or not (Follow), it compares the object
// behind the name with the one it attached to (PartitionClaim::Check: one identity look-up by
// name; no second open, no second mapping) and the stamp in its own mapped header with the one
// it attached under:
//   - removed: says so once on stderr, gives its reference back and waits for it;
//   - shrunk below the bytes it reads: says so, gives its reference back on the live object
//     and waits for a writer to set it up again;
//   - replaced (or set up anew in place), or back after a removal: says so, gives its reference
//     on the old one back and attaches to the new one as at start once a writer has set its
//     queue up.
// A partition that shrinks while mapped makes the next access fault; the platform's mapping
// guard turns that into zero pages and a flag, and the partition counts as shrunk. Its
// reference is then given back on the live object through a mapping of its own, when the name
// still leads to the object attached to and its header still carries the stamp attached under;
// otherwise it is dropped.
// Nothing on the queue's side ends the run: a re-attach that meets a partition being set up (a
// fatal check of the reference-count protocol, PlixBase::SetUpRaceScope) or lost memory
// detaches, says so once and tries again a second later.
// A queue that stays not valid (status 11) for a second or more is said once, and its end too.
//
// The wake-up: attached at start, the reader creates the partition's wake-up object
// (ZulOsCom::QueueWakeUp; one stderr line when it is refused or cannot be made, and the reader
// polls) and keeps it, whatever happens to the partition behind the name, until its end, when
// it removes it. AwaitWriter waits on it while a queue is attached.
//
// One object per run, used by the main thread. ReleaseForForcedEnd may run on another thread:
// a reference is registered for it before it is taken and unregistered only after it is given
// back, both under one short lock. Per record nothing runs but Follow's comparison.
#pragma once

#include <cstdint>
#include <memory>

#include "app/RawSharedMemoryQueue.h"
#include "oscom/PartitionClaim.h"
#include "oscom/QueueWakeUp.h"

class TracePartition {
public:
    enum class StartResult {
        ATTACHED,
        MISSING,       // no partition of that name (or one the library refuses to open)
        NOT_OPENABLE,  // there, but its header is not one the reader can attach to
        NO_QUEUE,      // no writer has set its queue up
        OTHER_READER,  // another reader holds the partition
    };

    TracePartition() = default;
    ~TracePartition();  // gives the reference and the claim back
    TracePartition(const TracePartition&) = delete;
    TracePartition& operator=(const TracePartition&) = delete;

    // Attaches at start: claims the partition as its reader, opens it and counts this reader in
    // the queue's attach count, exactly as RawSharedMemoryQueue does (a header the protocol
    // calls impossible ends the process, as there). Anything but ATTACHED leaves nothing held. A
    // claim held by a writer that sets the partition up is waited for (up to a second).
    StartResult Attach();

    // Reads one element as RawSharedMemoryQueue::Read does; STATUS_NOT_VALID while no partition
    // is attached or when the partition's memory was lost during the read (length untouched).
    uint32_t Read(void* dest, uint32_t& length);

    // Waits up to us microseconds for a writer to signal records into the attached queue (or
    // returns at once when it holds records). False, at once, when it cannot: no queue attached
    // or no wake-up object; the caller then pauses as it would otherwise.
    bool AwaitWriter(uint32_t us);

    // Bytes of the data area of the attached partition (0 when none).
    uint32_t DataAreaSize() const;

    // An idle pass (the queue was empty or not valid, or no partition is attached): speaks about
    // a lasting status 11. status: what Read gave on this pass; now: the platform's performance
    // counter at this pass.
    void IdlePass(uint32_t status, uint64_t now);

    // Every pass, records or not, with the performance counter read for it: at most about once
    // a second checks the partition behind the name and follows it; a comparison otherwise.
    void Follow(uint64_t now) {
        if (now >= mNextCheckNs) {
            CheckPartition(now);
        }
    }

    // Gives the attached partition's reference back, at most once, for a process that ends
    // while the main thread is blocked. Any thread; waits briefly when the main thread is
    // attaching or detaching at that moment. The claim ends with the process.
    static void ReleaseForForcedEnd();

private:
    enum class Opened { ATTACHED, ABSENT, REFUSED, NO_QUEUE, CHANGING };

    // Opens the partition (claimed) and attaches to its queue under the registration lock;
    // waitForWriter (following, not at start): refuse (NO_QUEUE) a queue that no writer has set
    // up instead of attaching, and take a failed protocol check for a partition being set up
    // (CHANGING) instead of ending the process.
    Opened OpenQueue(bool waitForWriter);
    // The partition object behind the name changed or went: says why (unless null), gives the
    // reference and the claim back.
    void Detach(const char* why);
    // Claims and attaches to the partition behind the name when a writer has set its queue up;
    // says so with news when it worked. False with nothing held otherwise (a claim held by
    // another reader and a partition met while it was being set up are said once).
    bool TryAttach(const char* news);
    void CheckPartition(uint64_t nowNs);
    // Creates the wake-up object; says once why when it cannot be used.
    void CreateWakeUp();
    void NoteStatus(uint32_t status, uint64_t nowNs);

    ZulOsCom::PartitionClaim mClaim;
    ZulOsCom::QueueWakeUp mWakeUp;                 // from the attach at start to the end
    std::unique_ptr<RawSharedMemoryQueue> mQueue;  // null while detached
    uint64_t mInitTime = 0;       // the stamp attached under
    uint64_t mNextCheckNs = 0;    // performance counter value of the next partition check
    uint64_t mInvalidSinceNs = 0; // when status 11 began (0: not now)
    bool mInvalidSaid = false;
    bool mWaitingSaid = false;     // "waiting for a writer" said since the last detach
    bool mOtherReaderSaid = false; // "held by another reader" said since the last attach
    bool mChangingSaid = false;    // "changed while attaching" said since the last attach
};
