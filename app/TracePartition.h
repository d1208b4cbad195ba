// TracePartition: the reader's hold on the trace partition "plixtrace" for the whole run. It
// attaches at start as the queue's reader and then follows the partition behind the name, as
// `tail -F` follows a file: a partition removed, created again, replaced or shrunk under the
// reader never ends the run and never leaves it reading a dead mapping without a word.
//
// While the queue is idle, at most about once a second, it checks through the partition
// library's own calls that the partition behind the name is the one it attached to (its size by
// name, and the management header's initTime through a fresh open):
//   - removed: says so once on stderr, gives its reference back and waits for it;
//   - replaced (or initialised anew), or back after a removal: says so, gives its reference on
//     the old one back and attaches to the new one as at start once a writer has set its queue
//     up.
// A partition that shrinks while mapped makes the next access fault; the platform's mapping
// guard turns that into zero pages and a flag, and the partition counts as removed.
// A queue that stays not valid (status 11) for a second or more is said once, and its end too.
//
// One object per run, used by the main thread. ReleaseForForcedEnd may run on another thread.
// No system call per record: the checks run on idle passes only.
#pragma once

#include <cstdint>
#include <memory>

#include "app/RawSharedMemoryQueue.h"

class TracePartition {
public:
    enum class StartResult {
        ATTACHED,
        MISSING,       // no partition of that name (or one the library refuses to open)
        NOT_OPENABLE,  // there, but its header is not one the reader can attach to
        NO_QUEUE,      // no writer has set its queue up
    };

    TracePartition() = default;
    ~TracePartition();  // gives the reference back
    TracePartition(const TracePartition&) = delete;
    TracePartition& operator=(const TracePartition&) = delete;

    // Attaches at start: opens the partition and counts this reader in the queue's attach count,
    // exactly as RawSharedMemoryQueue does. Anything but ATTACHED leaves nothing held.
    StartResult Attach();

    // Reads one element as RawSharedMemoryQueue::Read does; STATUS_NOT_VALID while no partition
    // is attached or when the partition's memory was lost during the read (length untouched).
    uint32_t Read(void* dest, uint32_t& length);

    // Bytes of the data area of the attached partition (0 when none).
    uint32_t DataAreaSize() const;

    // An idle pass (the queue was empty or not valid, or no partition is attached): speaks about
    // a lasting status 11 and, at most about once a second, checks the partition behind the
    // name and follows it. status: what Read gave on this pass; now: the platform's performance
    // counter at this pass.
    void IdlePass(uint32_t status, uint64_t now);

    // Gives the attached partition's reference back, at most once, for a process that ends
    // while the main thread is blocked. Any thread; waits briefly when the main thread is
    // attaching or detaching at that moment.
    static void ReleaseForForcedEnd();

private:
    // The partition object behind the name changed or went: says why, gives the reference back.
    void Detach(const char* why);
    // Attaches to the partition behind the name when a writer has set its queue up; says so with
    // news when it worked. False with nothing held otherwise.
    bool TryAttach(const char* news);
    // Attaches to the opened queue as its reader and watches its memory. False (nothing held)
    // when no writer had set the queue up.
    bool Adopt(std::unique_ptr<RawSharedMemoryQueue> queue, uint32_t objectSize);
    void CheckPartition();
    void NoteStatus(uint32_t status, uint64_t nowNs);

    std::unique_ptr<RawSharedMemoryQueue> mQueue;  // null while detached
    uint32_t mObjectSize = 0;     // the size by name when attached
    uint64_t mInitTime = 0;       // the stamp attached under
    uint64_t mNextCheckNs = 0;    // performance counter value of the next partition check
    uint64_t mInvalidSinceNs = 0; // when status 11 began (0: not now)
    bool mInvalidSaid = false;
    bool mWaitingSaid = false;    // "waiting for a writer" said since the last detach
};
