// WriterPartition: a partition opened for writing its trace queue, through the partition
// library (rth/RthLib.h) alone. It checks what it finds and answers with a status; it never
// logs, never asserts, never throws and never ends the process, so that the writer library can
// run inside any host program.
//
// One writer per queue: Open first takes the writer's claim on the partition
// (ZulOsCom::PartitionClaim: a lock that the system drops when the process ends in any way)
// and holds it until Close; a second writer is refused (WRITER_BUSY) before anything is
// mapped or touched.
//
// Open decides whether the partition holds a queue with the reader's own rules
// (PartitionRules::CheckHeader and CheckQueue, see QueueLooksSetUp) and attaches to a queue that
// the reader accepts, going on at its write offset within the queue's own capacity (a header
// size below the object's size, after the object grew, is the reader's too). Only when the
// caller asks (initialise) does it set up a partition whose queue the reader refuses as well,
// and never while a reader holds the partition (the reader's claim): for the moment of the
// set-up it holds the reader's claim itself, so that no reader attaches meanwhile. The set-up
// zeroes the whole partition, writes the management header (name, size, version, initTime,
// reference 1, checksum last) and the end marker, then the queue header (capacity, offsets 0,
// attach count 1 last). Without that request such a partition is refused and left as it is.
//
// The writer knows its partition: StillBehindName tells whether the name still leads to the
// object opened (POSIX: one identity look-up by name, no mapping) and its header still carries
// the stamp attached under, so that records are not written where no reader will see them.
//
// The reference taken (refCount) follows the header's protocol: initTime read before and after
// the interlocked step; a change in between means that another process initialised the
// partition meanwhile, and the step is taken back (status CHANGED). The destructor gives the
// reference back under the same rule and closes the handle; the queue's attach count is never
// decremented, so the queue stays valid for readers after the writer has gone.
//
// Threads: one thread per object; objects are not copied.
#pragma once

#include <cstdint>
#include <string>

#include "oscom/PartitionClaim.h"
#include "oscom/PartitionRules.h"
#include "oscom/VSharedMemoryQueue.h"

class WriterPartition {
public:
    enum class Status {
        OK,
        NO_PARTITION,  // no partition of that name (or the library reports size 0)
        TOO_SMALL,     // smaller than MIN_PARTITION_SIZE
        NOT_SET_UP,    // all zero (never set up) and initialising was not asked for
        BROKEN,        // holds no valid queue and initialising was not asked for, or a queue
                       // the reader accepts but a writer cannot continue (a capacity below 128)
        OPEN_FAILED,   // the library refused to open or map it, or mapped another size
        CHANGED,       // another process changed it while this one attached or initialised
        WRITER_BUSY,   // another writer holds the queue (its writer's claim)
        READER_HOLDS,  // holds no queue the reader accepts, but a reader holds it: not set up
    };

    // How Open found the partition.
    enum class OpenMode { NONE, INITIALISED, ATTACHED };

    // Smallest partition that holds a queue able to take a record of 56 bytes: header 64, queue
    // header 128, a data area of 128, end marker 4.
    static constexpr uint32_t MIN_PARTITION_SIZE = 324;
    static_assert(ZulOsCom::PartitionRules::CapacityForPartition(MIN_PARTITION_SIZE) == 128);

    WriterPartition() = default;
    // Gives the reference back and closes the handle (when open).
    ~WriterPartition();

    WriterPartition(const WriterPartition&) = delete;
    WriterPartition& operator=(const WriterPartition&) = delete;

    // Opens partition name (at most 31 characters; checked by the library). initialise: set the
    // partition up when it holds no queue the reader accepts and no reader holds it. On failure
    // nothing is held (the claims included) and nothing in the partition has changed (CHANGED
    // after initialising aside: the partition was being set up by two parties). A second call on
    // an open object returns OK.
    Status Open(const std::string& name, bool initialise);

    OpenMode HowOpened() const { return mOpenMode; }
    // The partition's size in bytes (as mapped); 0 while not open.
    uint32_t Size() const { return mSize; }
    // The data-area capacity the writer writes within: the queue header's own after attaching,
    // CapacityForPartition(Size()) after setting up; 0 while not open.
    uint32_t Capacity() const { return mCapacity; }

    // Whether the records written still reach a reader: the name leads to the object opened, no
    // shorter than mapped, and its header carries the stamp attached under. POSIX: one identity
    // look-up by name (nothing opened or mapped), then one load of the stamp; Windows, where a
    // mapped partition file is neither removed nor replaced: the stamp only. False while not
    // open. For about once a second, not per record.
    bool StillBehindName() const;
    // The queue header in the partition; null while not open.
    ZulOsCom::VSharedMemoryQueue* Queue() const;
    // The queue's write offset when Open attached (0 after initialising).
    uint32_t WriteOffsetAtOpen() const { return mWriteOffsetAtOpen; }

    // Whether the size bytes at base hold a partition whose queue the reader accepts: checksum
    // 0, version right, initTime non-zero, header size within size and room for a queue header,
    // capacity 64-aligned within the header's data area, both offsets below it and 64-aligned,
    // attach count >= 1 (the reader's rules, PartitionRules::CheckHeader and CheckQueue). Reads
    // only within [base, base + size).
    static bool QueueLooksSetUp(const uint8_t* base, uint32_t size);

private:
    Status OpenClaimed(bool initialise);
    Status Attach();
    Status Initialise();
    void Close();

    ZulOsCom::PartitionClaim mClaim;  // the writer's claim, held while open
    std::string mName;
    int32_t mHandle = -1;
    uint8_t* mBase = nullptr;
    uint32_t mSize = 0;
    uint32_t mCapacity = 0;
    uint64_t mInitTime = 0;
    bool mReferenced = false;
    uint32_t mWriteOffsetAtOpen = 0;
    OpenMode mOpenMode = OpenMode::NONE;
};
