// QueueWriter: the writing side's rules of the trace queue, in one place for every writer of
// this project (TraceWriter, the writer library libplixwriter and through them plixwrite,
// the tests and the benchmarks). It knows the queue only; opening, checking and setting up the
// partition around it is WriterPartition's job.
//
// Element: header { uint32 length; uint8 wrapFlag = 0; uint8 mark; 2 bytes 0 }, the payload,
// in a 64-byte aligned slot of (length + 8) rounded up to 64.
// Ordering: payload and header are complete before mWriteOffset moves past them (release
// store); mReadOffset is read with acquire. A wrap marker (wrapFlag 1 at the old write offset)
// is written after the element at offset 0 that follows it and before mWriteOffset publishes
// both. mWriteOffset never becomes equal to mReadOffset while unread elements exist: a write
// that would make them equal waits (or is dropped).
//
// Filler: a record that cannot be placed at the write offset nor at offset 0 even once the
// queue is empty is preceded by a filler element at the write offset whose slot ends exactly at
// the end of the data area (length = rest - 71, or 0 when 64 bytes are left; first payload byte
// NUL, so a reader prints nothing; mark byte FILLER_MARK). Readers consume it like any element.
// A record that is dropped after its filler leaves the filler in place, so that later records
// find the whole data area free once the reader has passed it.
//
// Bounds: the capacity is the writer's own (computed from the partition's size, never taken
// from shared memory) and the write offset is the writer's own copy, so no content of the
// partition can make a write land outside the data area. The reader's offset is only compared.
//
// Drop markers: with SetDropMarkers(true), records dropped for want of room (DROPPED,
// TIMED_OUT) are marked in the stream where they went missing: the next write that finds room
// first places one marker element, the text "plixwriter: N records dropped (queue full)", a line
// feed and a NUL (PLIXW_DROP_MARKER_PREFIX, plixtrace/plixwriter.h), N the records dropped since
// the last record placed (at most MAX_MARKED_DROPS per marker; more take several). A marker
// always takes one 64-byte slot. A marker that finds no room leaves none to the record behind it
// either (that record waits or is dropped, and counts in the next marker), so a marker always
// stands exactly where its records are missing. Markers count neither as written nor as
// dropped. MarkDropsNow places the last one for a writer about to close. Cost per write while
// nothing waits to be marked: one branch.
//
// Reach: the queue may stop reaching any reader (its partition removed or replaced under the
// writer). With a reach check installed (CheckReachEverySecond), Write asks it at most about
// once a second, before placing a record and while it waits for room (a wait without time-out
// included); once it says no, that write and every later one return GONE and write nothing.
//
// Waking the reader: with a wake-up installed (WakeReaderThrough), a write that makes the queue
// non-empty (the write offset moves away from the read offset this write saw) wakes a reader
// that waits (ZulOsCom::QueueWakeUp); every other write pays one comparison. With the reach
// check's clock, about once a second, the wake-up follows its name (a reader started anew).
//
// Threads: one QueueWriter per queue at a time, and its Write calls must not overlap. Written()
// and Dropped() may be read from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "oscom/QueueWakeUp.h"
#include "oscom/VSharedMemoryQueue.h"

class QueueWriter {
public:
    enum class Result {
        WRITTEN,    // the record is in the queue
        DROPPED,    // no room (drop mode); counted in Dropped()
        TIMED_OUT,  // no room within the wait's time-out; counted in Dropped()
        TOO_LONG,   // longer than MaxRecordLength(); nothing written
        BROKEN,     // the reader's offset in shared memory is not valid; nothing written
        GONE,       // the reach check said the queue reaches no reader; nothing written
    };

    // Where the next element goes, given the queue's state (see Plan).
    enum class Placement {
        AT_WRITE_OFFSET,  // element at the write offset
        WRAP,             // element at offset 0, wrap marker at the write offset
        FILLER,           // filler at the write offset first, then plan again
        WAIT,             // no room until the reader moves on
    };

    // What a write does when the queue has no room: drop at once, or wait up to timeoutMs
    // milliseconds (WAIT_FOREVER: no limit).
    static constexpr uint32_t WAIT_FOREVER = UINT32_MAX;
    struct WhenFull {
        bool drop = false;
        uint32_t timeoutMs = WAIT_FOREVER;
    };

    // Byte 5 of the element header of a filler (0 in other elements; the reader ignores it).
    static constexpr uint8_t FILLER_MARK = 'F';

    // queue: the queue header in a mapped partition, followed by capacity bytes of data area
    // that stay mapped while this object is used. capacity: a multiple of 64 of at least 128;
    // writeOffset: where to go on (a multiple of 64 below capacity). Touches no memory.
    QueueWriter(ZulOsCom::VSharedMemoryQueue* queue, uint32_t capacity, uint32_t writeOffset);

    QueueWriter(const QueueWriter&) = delete;
    QueueWriter& operator=(const QueueWriter&) = delete;

    // Writes one record of length bytes (data may be null when length is 0). When the queue
    // has no room it drops the record or waits as whenFull says; waiting spins briefly, then
    // sleeps with a pause that grows up to 1 ms. Per record: one clock reading when a reach
    // check is installed.
    Result Write(const void* data, uint32_t length, const WhenFull& whenFull);

    // Whether dropped records are marked in the stream (see above; off when constructed).
    // Turning them off forgets drops not marked yet (they stay counted in Dropped()).
    void SetDropMarkers(bool on);
    bool DropMarkers() const { return mDropMarkers; }

    // Places the marker of the drops not marked yet when the queue has room for it now, without
    // waiting. True when no drop remains unmarked; false when there was no room (or the queue
    // is no longer valid or reachable), and the count stays in Dropped() alone.
    bool MarkDropsNow();

    // Installs the reach check: check(context) is true while the queue still reaches a reader.
    // First asked about a second after installing. check and context must outlive this object's
    // Write calls; null removes it.
    using ReachCheck = bool (*)(const void* context);
    void CheckReachEverySecond(ReachCheck check, const void* context);

    // Installs the wake-up of the queue's reader (see above). wakeUp must outlive this object's
    // Write calls; null removes it.
    void WakeReaderThrough(ZulOsCom::QueueWakeUp* wakeUp) { mWakeUp = wakeUp; }

    uint32_t Capacity() const { return mCapacity; }
    // capacity - 72 (the slot of the longest record is capacity - 64).
    uint32_t MaxRecordLength() const { return MaxRecordLengthFor(mCapacity); }
    uint64_t Written() const { return mWritten.load(std::memory_order_relaxed); }
    uint64_t Dropped() const { return mDropped.load(std::memory_order_relaxed); }
    uint64_t Fillers() const { return mFillers; }

    // The most records one marker counts: its text then fits one 64-byte slot
    // (12 + 13 digits + 29 + line feed and NUL = 56 bytes).
    static constexpr uint64_t MAX_MARKED_DROPS = 9999999999999ULL;

    // The marker for count dropped records (count <= MAX_MARKED_DROPS): its text with the line
    // feed, then a NUL, into text; its length, NUL included.
    static uint32_t FormatDropMarker(uint64_t count, char (&text)[64]);

    // Data-area capacity the reader computes for a partition of size bytes: (size - 68 - 128)
    // rounded down to 64; 0 when the partition cannot hold a queue header
    // (PartitionRules::CapacityForPartition).
    static uint32_t CapacityForSize(uint32_t size);
    // capacity - 72, or 0 for a capacity below 72.
    static uint32_t MaxRecordLengthFor(uint32_t capacity);

    // Decides where an element of slot bytes goes in a data area of capacity bytes, from the
    // writer's offset and the reader's. Pure; capacity, offsets and slot multiples of 64,
    // offsets below capacity, slot below capacity.
    static Placement Plan(uint32_t capacity, uint32_t writeOffset, uint32_t readOffset,
                          uint32_t slot);

private:
    // False once the reach check has said no (asked at most about once a second).
    bool StillReaches();
    // Places markers for every unmarked drop; false when one finds no room (see MarkDropsNow).
    bool MarkDrops(uint32_t readOffset);
    // Counts a record dropped for want of room.
    void CountDrop();
    void PutElement(uint32_t offset, const void* data, uint32_t length, uint8_t mark);
    // Moves the write offset to writeOffset; readOffsetSeen: the reader's offset this write
    // planned by (a write that moves the offset away from it wakes the reader).
    void Publish(uint32_t writeOffset, uint32_t readOffsetSeen);
    uint8_t* Data() const;

    ZulOsCom::VSharedMemoryQueue* mQueue;
    uint32_t mCapacity;
    uint32_t mWriteOffset;  // this writer's copy; the only writer of the shared field
    std::atomic<uint64_t> mWritten{0};
    std::atomic<uint64_t> mDropped{0};
    uint64_t mFillers = 0;
    bool mDropMarkers = false;
    uint64_t mUnmarked = 0;  // dropped since the last record placed, not marked yet
    ZulOsCom::QueueWakeUp* mWakeUp = nullptr;
    ReachCheck mReachCheck = nullptr;
    const void* mReachContext = nullptr;
    std::chrono::steady_clock::time_point mNextReachCheck;
    bool mGone = false;
};
