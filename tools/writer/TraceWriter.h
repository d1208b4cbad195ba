// TraceWriter: the writing side of the trace queue in a partition, for tests, benchmarks, the
// demo and the command-line writer. The reader never uses it.
//
// Open sets the partition's contents up (management header through the partition's own Init,
// then the queue header) or, when it finds a queue already set up, attaches and goes on at the
// current write offset. Write places one record as an element of the queue:
//   element header { uint32 length; uint8 wrapFlag = 0; uint8 mark; 2 bytes 0 }, the payload,
//   in a 64-byte aligned slot of (length + 8) rounded up to 64.
// Ordering: payload and header are complete before mWriteOffset moves past them (release
// store); mReadOffset is read with acquire. A wrap marker (wrapFlag 1 at the old write offset)
// is written after the element at offset 0 that follows it and before mWriteOffset publishes
// both. mWriteOffset never becomes equal to mReadOffset while unread elements exist: a write
// that would make them equal waits (or is dropped in drop mode).
//
// Filler: a record that cannot be placed at the write offset nor at offset 0 even once the
// queue is empty is preceded by a filler element at the write offset whose slot ends exactly at
// the end of the data area (length = rest - 71, or 0 when 64 bytes are left; first payload byte
// NUL, so a reader prints nothing; mark byte FILLER_MARK). Readers consume it like any element.
// In drop mode the filler is written all the same and the record is dropped, so that later
// records find the whole data area free once the reader has passed the filler.
//
// Limits: an element whose slot is the whole data area could never be published (write offset
// would equal read offset), so the longest record is MaxRecordLength() = capacity - 72 bytes.
//
// Threads and processes: one writer per queue at a time, one thread per object. The reader runs
// concurrently in another thread or process. The object holds a reference on the partition
// (refCount) until it is destroyed; it never decrements the queue's mAttachCount, so the queue
// stays valid for readers after the writer has gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "oscom/VRthSharedMemory.h"
#include "oscom/VSharedMemoryQueue.h"

class TraceWriter {
public:
    enum class Result {
        WRITTEN,    // the record is in the queue
        DROPPED,    // drop mode: the queue had no room; counted in Dropped()
        TOO_LONG,   // longer than MaxRecordLength(); nothing written
        NOT_OPEN,   // Open has not succeeded; nothing written
        BROKEN,     // the queue header in shared memory is no longer valid; nothing written
    };

    // How Open found the partition.
    enum class OpenMode { NONE, INITIALISED, ATTACHED };

    // Where the next element goes, given the queue's state (see Plan).
    enum class Placement {
        AT_WRITE_OFFSET,  // element at the write offset
        WRAP,             // element at offset 0, wrap marker at the write offset
        FILLER,           // filler at the write offset first, then plan again
        WAIT,             // no room until the reader moves on
    };

    // Byte 5 of the element header of a filler (0 in other elements; the reader ignores it).
    static constexpr uint8_t FILLER_MARK = 'F';
    // Smallest partition that holds a queue able to take a record of 56 bytes: header 64, queue
    // header 128, a data area of 128, end marker 4.
    static constexpr uint32_t MIN_PARTITION_SIZE = 324;

    // name: the partition (it must exist; creating it is the admin's job). Calls nothing.
    explicit TraceWriter(std::string name);
    // Gives the partition reference back; the queue stays set up.
    ~TraceWriter();

    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // Attaches to an initialised partition (checksum, version, initTime, queue header
    // plausible; see QueueLooksSetUp) at its current write offset, or else initialises it
    // (zeroing all of it) and sets the queue up empty. False, with a one-line reason in error,
    // when the partition is missing, smaller than MIN_PARTITION_SIZE or cannot be opened or
    // initialised. A second call on an open object returns true.
    bool Open(std::string& error);

    // Drop mode: a record that finds no room is dropped and counted instead of waiting.
    void SetDropWhenFull(bool drop) { mDropWhenFull = drop; }

    // Writes one record of length bytes (data may be null when length is 0). Without drop mode
    // it waits until the reader has made room: it spins briefly, then sleeps with a pause that
    // grows up to 1 ms; with no reader draining, it waits forever.
    Result Write(const void* data, uint32_t length);

    OpenMode HowOpened() const { return mOpenMode; }
    uint32_t Capacity() const { return mCapacity; }
    // capacity - 72 (the slot of the longest record is capacity - 64); 0 while not open.
    uint32_t MaxRecordLength() const;
    uint64_t Written() const { return mWritten; }
    uint64_t Dropped() const { return mDropped; }
    uint64_t Fillers() const { return mFillers; }

    // Data-area capacity the reader computes for a partition of size bytes: (size - 68 - 128)
    // rounded down to 64; 0 when the partition cannot hold a queue header.
    static uint32_t CapacityForSize(uint32_t size);

    // Whether the size bytes at base hold an initialised partition with a queue a writer may
    // continue: checksum 0, version right, initTime non-zero, header size = size, capacity as
    // computed, both offsets below capacity and 64-aligned, attach count >= 1. Reads only
    // within [base, base + size).
    static bool QueueLooksSetUp(const uint8_t* base, uint32_t size);

    // Decides where an element of slot bytes goes in a data area of capacity bytes, from the
    // writer's offset and the reader's. Pure; capacity, offsets and slot multiples of 64,
    // offsets below capacity, slot below capacity.
    static Placement Plan(uint32_t capacity, uint32_t writeOffset, uint32_t readOffset,
                          uint32_t slot);

private:
    void PutElement(uint32_t offset, const void* data, uint32_t length, uint8_t mark);
    void Publish(uint32_t writeOffset);
    uint8_t* Data() const;

    std::string mName;
    std::unique_ptr<ZulOsCom::VRthSharedMemory> mShm;
    ZulOsCom::VSharedMemoryQueue* mQueue = nullptr;  // in the partition; valid while mShm is open
    uint32_t mCapacity = 0;
    uint32_t mWriteOffset = 0;  // this writer's copy; the only writer of the shared field
    OpenMode mOpenMode = OpenMode::NONE;
    bool mDropWhenFull = false;
    uint64_t mWritten = 0;
    uint64_t mDropped = 0;
    uint64_t mFillers = 0;
};
