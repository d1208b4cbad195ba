// WriterPartition: a partition opened for writing its trace queue, through the partition
// library (rth/RthLib.h) alone. It checks what it finds and answers with a status; it never
// logs, never asserts, never throws and never ends the process, so that the writer library can
// run inside any host program.
//
// Open attaches to a partition whose management header and queue header are valid (checksum,
// version, initTime, size, capacity, offsets, attach count; see QueueLooksSetUp) and goes on at
// the queue's write offset. Only when the caller asks (initialise) does it set up a partition
// that holds no valid queue: it zeroes the whole partition, writes the management header (name,
// size, version, initTime, reference 1, checksum last) and the end marker, then the queue
// header (capacity, offsets 0, attach count 1 last). Without that request such a partition is
// refused and left as it is.
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

#include "oscom/PartitionRules.h"
#include "oscom/VSharedMemoryQueue.h"

class WriterPartition {
public:
    enum class Status {
        OK,
        NO_PARTITION,  // no partition of that name (or the library reports size 0)
        TOO_SMALL,     // smaller than MIN_PARTITION_SIZE
        NOT_SET_UP,    // all zero (never set up) and initialising was not asked for
        BROKEN,        // holds no valid queue and initialising was not asked for
        OPEN_FAILED,   // the library refused to open or map it, or mapped another size
        CHANGED,       // another process changed it while this one attached or initialised
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
    // partition up when it holds no valid queue. On failure nothing is held and nothing in the
    // partition has changed (CHANGED after initialising aside: the partition was being set up
    // by two parties). A second call on an open object returns OK.
    Status Open(const std::string& name, bool initialise);

    OpenMode HowOpened() const { return mOpenMode; }
    // The partition's size in bytes; 0 while not open.
    uint32_t Size() const { return mSize; }
    // The queue header in the partition; null while not open.
    ZulOsCom::VSharedMemoryQueue* Queue() const;
    // The queue's write offset when Open attached (0 after initialising).
    uint32_t WriteOffsetAtOpen() const { return mWriteOffsetAtOpen; }

    // Whether the size bytes at base hold an initialised partition with a queue a writer may
    // continue: checksum 0, version right, initTime non-zero, header size = size, capacity as
    // computed, both offsets below capacity and 64-aligned, attach count >= 1 (the rules of
    // PartitionRules::CheckHeader and CheckQueue). Reads only within [base, base + size).
    static bool QueueLooksSetUp(const uint8_t* base, uint32_t size);

private:
    Status Attach();
    Status Initialise();
    void Close();

    std::string mName;
    int32_t mHandle = -1;
    uint8_t* mBase = nullptr;
    uint32_t mSize = 0;
    uint64_t mInitTime = 0;
    bool mReferenced = false;
    uint32_t mWriteOffsetAtOpen = 0;
    OpenMode mOpenMode = OpenMode::NONE;
};
