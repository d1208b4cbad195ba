// TraceWriter: the writing side of the trace queue in a partition, as a C++ class for tests,
// benchmarks and tools of this project. The reader never uses it. Programs outside the
// project use the writer library (include/plixtrace/plixwriter.h); both place records through
// the same core (QueueWriter, WriterPartition), so their bytes are the same.
//
// Open sets the partition's contents up when it holds no valid queue (management header, end
// marker and queue header; see WriterPartition) or, when it finds a queue already set up,
// attaches and goes on at the current write offset. Write places one record as an element of
// the queue; the element layout, wrap markers, fillers and the ordering rules are QueueWriter's.
//
// Like the writer library, it wakes a reader that waits (QueueWakeUp). Drop markers
// (QueueWriter::SetDropMarkers) stay off here, so that tests and benchmarks see
// exactly the records they write; the writer library turns them on.
//
// Limits: an element whose slot is the whole data area could never be published (write offset
// would equal read offset), so the longest record is MaxRecordLength() = capacity - 72 bytes.
//
// Threads and processes: one writer per queue at a time (Open holds the writer's claim on the
// partition, see WriterPartition; a second writer's Open fails), one thread per object. The
// reader runs concurrently in another thread or process. At most about once a second a write
// checks that the partition is still the one behind the name (GONE otherwise). The object holds a reference on the partition
// (refCount) until it is destroyed; it never decrements the queue's mAttachCount, so the queue
// stays valid for readers after the writer has gone.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "oscom/QueueWakeUp.h"
#include "writer/QueueWriter.h"
#include "writer/WriterPartition.h"

class TraceWriter {
public:
    enum class Result {
        WRITTEN,    // the record is in the queue
        DROPPED,    // drop mode: the queue had no room; counted in Dropped()
        TOO_LONG,   // longer than MaxRecordLength(); nothing written
        NOT_OPEN,   // Open has not succeeded; nothing written
        BROKEN,     // the queue header in shared memory is no longer valid; nothing written
        GONE,       // the partition was removed or replaced: no reader sees this queue any more;
                    // nothing written, now or later
    };

    using OpenMode = WriterPartition::OpenMode;
    using Placement = QueueWriter::Placement;

    static constexpr uint8_t FILLER_MARK = QueueWriter::FILLER_MARK;
    static constexpr uint32_t MIN_PARTITION_SIZE = WriterPartition::MIN_PARTITION_SIZE;

    // name: the partition (it must exist; creating it is the admin's job). Calls nothing.
    explicit TraceWriter(std::string name);
    // Gives the partition reference back; the queue stays set up.
    ~TraceWriter();

    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // Attaches to a partition whose queue the reader accepts (see QueueLooksSetUp) at its
    // current write offset, or else initialises it (zeroing all of it) and sets the queue up
    // empty, unless a reader holds it. False, with a one-line reason in error, when the
    // partition is missing, smaller than MIN_PARTITION_SIZE, has another writer or cannot be
    // opened or initialised. A second call on an open object returns true.
    bool Open(std::string& error);

    // Drop mode: a record that finds no room is dropped and counted instead of waiting.
    void SetDropWhenFull(bool drop) { mWhenFull.drop = drop; }

    // Writes one record of length bytes (data may be null when length is 0). Without drop mode
    // it waits until the reader has made room: it spins briefly, then sleeps with a pause that
    // grows up to 1 ms; with no reader draining, it waits forever.
    Result Write(const void* data, uint32_t length);

    OpenMode HowOpened() const { return mPartition.HowOpened(); }
    uint32_t Capacity() const { return mQueue ? mQueue->Capacity() : 0; }
    // capacity - 72 (the slot of the longest record is capacity - 64); 0 while not open.
    uint32_t MaxRecordLength() const { return mQueue ? mQueue->MaxRecordLength() : 0; }
    uint64_t Written() const { return mQueue ? mQueue->Written() : 0; }
    uint64_t Dropped() const { return mQueue ? mQueue->Dropped() : 0; }
    uint64_t Fillers() const { return mQueue ? mQueue->Fillers() : 0; }

    // See QueueWriter::CapacityForSize, WriterPartition::QueueLooksSetUp, QueueWriter::Plan.
    static uint32_t CapacityForSize(uint32_t size) { return QueueWriter::CapacityForSize(size); }
    static bool QueueLooksSetUp(const uint8_t* base, uint32_t size) {
        return WriterPartition::QueueLooksSetUp(base, size);
    }
    static Placement Plan(uint32_t capacity, uint32_t writeOffset, uint32_t readOffset,
                          uint32_t slot) {
        return QueueWriter::Plan(capacity, writeOffset, readOffset, slot);
    }

private:
    std::string mName;
    // Declared before the queue writer, which points to them: destroyed after it.
    WriterPartition mPartition;
    ZulOsCom::QueueWakeUp mWakeUp;
    std::unique_ptr<QueueWriter> mQueue;
    QueueWriter::WhenFull mWhenFull;
};
