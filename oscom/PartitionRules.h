// PartitionRules: the geometry of a partition that holds the trace queue, and the plausibility
// rules its users agree on, in one place for the reader, the writer, the admin tool and the
// benchmarks. Header-only and pure (it reads no memory: callers load the fields, each with its
// own memory order, and pass the values), so that the tools and the writer library use it
// without linking the communication layer's library and its logging.
//
// Layout: management header (64 bytes) at offset 0, the user area, the end marker in the last
// four bytes. The queue header (128 bytes) starts the user area; its data area follows it.
//
// CheckHeader and CheckQueue state the reader's rules, which its own code keeps where it is
// defined (VRthSharedMemory::Open, VSharedMemoryQueue::IsValid and ReadBytes); a test holds
// the two together. Not covered here: VRthSharedMemory::GetUserAreaSize (the user area rounded
// down to 64), which no rule uses.
#pragma once

#include <cstdint>

#include "oscom/OscomTypes.h"

namespace ZulOsCom {

// The partition the reader drains; the writer tool's default.
constexpr const char* PLIX_TRACE_PARTITION = "plixtrace";

class PartitionRules {
public:
    // Smallest partition that holds the management header and the end marker.
    static constexpr uint32_t MIN_SIZE_FOR_HEADERS = SHM_MGMT_HEADER_SIZE + SHM_END_MARKER_SIZE;
    // Where the queue header lies: the start of the user area.
    static constexpr uint32_t QUEUE_HEADER_OFFSET = SHM_MGMT_HEADER_SIZE;
    // Smallest partition whose user area holds a queue header.
    static constexpr uint32_t MIN_SIZE_FOR_QUEUE_HEADER = MIN_SIZE_FOR_HEADERS + SIZEOF_QUEUE_HDR;

    // Data-area capacity of a queue whose header starts a user area of userAreaBytes:
    // (userAreaBytes - 128) rounded down to 64; 0 when the queue header does not fit.
    static constexpr uint32_t CapacityForUserArea(uint32_t userAreaBytes) {
        return userAreaBytes < SIZEOF_QUEUE_HDR
                   ? 0
                   : (userAreaBytes - SIZEOF_QUEUE_HDR) & ~(QUEUE_ALIGNMENT - 1);
    }

    // The same for a partition of size bytes (user area: size - 68): (size - 196) rounded down
    // to 64; 0 when the partition cannot hold a queue header.
    static constexpr uint32_t CapacityForPartition(uint32_t size) {
        return size < MIN_SIZE_FOR_HEADERS ? 0 : CapacityForUserArea(size - MIN_SIZE_FOR_HEADERS);
    }

    // Management header fields, as the caller loaded them.
    struct HeaderFields {
        uint8_t byteSum;
        uint32_t version;
        uint64_t initTime;
        uint32_t size;
    };
    enum class HeaderProblem { NONE, CHECKSUM, VERSION, NOT_INITIALISED, SIZE };

    static constexpr bool ChecksumHolds(uint8_t byteSum) { return byteSum == 0; }
    static constexpr bool VersionMatches(uint32_t version) { return version == OSCOM_SHM_VERSION; }
    // The header's size as the reader takes it: the partition is used up to it, so it must lie
    // within the partition's partitionSize bytes (an object that grew keeps its header's size)
    // and leave room for the management header, a queue header and the end marker.
    static constexpr bool HeaderSizeFits(uint32_t headerSize, uint32_t partitionSize) {
        return headerSize <= partitionSize && headerSize >= MIN_SIZE_FOR_QUEUE_HEADER;
    }

    // A management header the reader attaches to and finds a queue behind, in a partition of
    // partitionSize bytes: checksum, version, initTime set, header size fits. The first problem
    // in that order. These are the reader's own rules (VRthSharedMemory::Open,
    // VShmHeader::AddRefGetInitTime, RawSharedMemoryQueue::AttachReader): a writer sets up only
    // what they refuse.
    static constexpr HeaderProblem CheckHeader(const HeaderFields& header, uint32_t partitionSize) {
        if (!ChecksumHolds(header.byteSum)) {
            return HeaderProblem::CHECKSUM;
        }
        if (!VersionMatches(header.version)) {
            return HeaderProblem::VERSION;
        }
        if (header.initTime == 0) {
            return HeaderProblem::NOT_INITIALISED;
        }
        if (!HeaderSizeFits(header.size, partitionSize)) {
            return HeaderProblem::SIZE;
        }
        return HeaderProblem::NONE;
    }

    // Queue header fields, as the caller loaded them.
    struct QueueFields {
        uint32_t capacity;
        uint32_t writeOffset;
        uint32_t readOffset;
        int32_t attachCount;
    };
    enum class QueueProblem {
        NONE,
        CAPACITY_ZERO,
        CAPACITY_UNEXPECTED,
        WRITE_OFFSET,
        READ_OFFSET,
        ATTACH_COUNT
    };

    // An offset that may address an element: inside a data area of capacity bytes, 64-aligned.
    static constexpr bool OffsetPlausible(uint32_t offset, uint32_t capacity) {
        return offset < capacity && isAligned64(offset);
    }

    // A capacity the reader can go round: not 0, a multiple of 64, and within the data area of a
    // partition whose header gives headerSize bytes (CapacityForPartition).
    static constexpr bool CapacityFits(uint32_t capacity, uint32_t headerSize) {
        return capacity != 0 && isAligned64(capacity) &&
               capacity <= CapacityForPartition(headerSize);
    }

    // A queue the reader reads without breaking one of its invariants, behind a management
    // header that gives headerSize bytes: capacity fits, both offsets plausible, attach count at
    // least 1. The first problem in that order. The reader's own rules: attaching needs the
    // attach count (RawSharedMemoryQueue::AttachReader), reading needs both offsets below a
    // capacity within the data area (VSharedMemoryQueue::ReadBytes), and an offset or capacity
    // off the 64-byte grid ends the reader at its first element (ZUL_ASSERT). A writer
    // continues such a queue and an operator sees it as valid; a writer sets up only a queue
    // these rules refuse.
    static constexpr QueueProblem CheckQueue(const QueueFields& queue, uint32_t headerSize) {
        if (queue.capacity == 0) {
            return QueueProblem::CAPACITY_ZERO;
        }
        if (!CapacityFits(queue.capacity, headerSize)) {
            return QueueProblem::CAPACITY_UNEXPECTED;
        }
        if (!OffsetPlausible(queue.writeOffset, queue.capacity)) {
            return QueueProblem::WRITE_OFFSET;
        }
        if (!OffsetPlausible(queue.readOffset, queue.capacity)) {
            return QueueProblem::READ_OFFSET;
        }
        if (queue.attachCount < 1) {
            return QueueProblem::ATTACH_COUNT;
        }
        return QueueProblem::NONE;
    }
};

}  // namespace ZulOsCom
