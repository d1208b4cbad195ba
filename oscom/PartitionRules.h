// PartitionRules: the geometry of a partition that holds the trace queue, and the plausibility
// rules its users agree on, in one place for the reader, the writer, the admin tool and the
// benchmarks. Header-only and pure (it reads no memory: callers load the fields, each with its
// own memory order, and pass the values), so that the tools and the writer library use it
// without linking the communication layer's library and its logging.
//
// Layout: management header (64 bytes) at offset 0, the user area, the end marker in the last
// four bytes. The queue header (128 bytes) starts the user area; its data area follows it.
//
// Not covered here, on purpose: VSharedMemoryQueue::IsValid (the reader's own entry rule: both
// offsets below the capacity, attach count at least 1, no alignment or size rule) and
// VRthSharedMemory::GetUserAreaSize (the user area rounded down to 64), which keep the rules
// the reader is defined with.
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

    // Management header fields, as the caller loaded them. byteSum: ShmHeaderByteSum.
    struct HeaderFields {
        uint8_t byteSum;
        uint32_t version;
        uint64_t initTime;
        uint32_t size;
    };
    enum class HeaderProblem { NONE, CHECKSUM, VERSION, NOT_INITIALISED, SIZE };

    static constexpr bool ChecksumHolds(uint8_t byteSum) { return byteSum == 0; }
    static constexpr bool VersionMatches(uint32_t version) { return version == OSCOM_SHM_VERSION; }
    // The header's size must be the partition's own.
    static constexpr bool SizeMatches(uint32_t headerSize, uint32_t partitionSize) {
        return headerSize == partitionSize;
    }

    // A management header a writer may attach to: checksum, version, initTime set, size the
    // partition's. The first problem in that order.
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
        if (!SizeMatches(header.size, partitionSize)) {
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

    // A queue a writer may continue and an operator sees as valid in a partition of
    // partitionSize bytes: capacity not 0 and CapacityForPartition(partitionSize), both offsets
    // plausible, attach count at least 1. The first problem in that order.
    static constexpr QueueProblem CheckQueue(const QueueFields& queue, uint32_t partitionSize) {
        if (queue.capacity == 0) {
            return QueueProblem::CAPACITY_ZERO;
        }
        if (queue.capacity != CapacityForPartition(partitionSize)) {
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
