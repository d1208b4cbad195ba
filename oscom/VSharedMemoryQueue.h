// VSharedMemoryQueue: the header of the single-reader queue at the start of a partition's
// user area, and the reader's operations on it. The object is the shared header itself: it
// is never constructed, only laid over the first 128 bytes of the user area. The data area of
// mCapacity bytes follows at offset 128; offsets count from its start.
//
// Element: 8-byte header { uint32 length; uint8 wrapFlag; 3 unused } and the payload, in a
// slot of (length + 8) rounded up to 64. A non-zero wrapFlag marks a wrap marker: the next
// element is at offset 0. mReadOffset == mWriteOffset means empty.
//
// One reader thread only. The writer (another process) writes mWriteOffset and the elements;
// the reader writes mReadOffset, the wrapFlag of markers it passes, and mAttachCount once.
// All of them are accessed atomically. Shared memory is untrusted: no content, however
// hostile or changing, makes ReadBytes touch memory outside [this, this + 128 + dataAreaSize).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "oscom/OscomTypes.h"

namespace ZulOsCom {

struct VQueueElementHdr {
    uint32_t length;    // payload length in bytes
    uint8_t wrapFlag;   // non-zero: wrap marker, no element here
    uint8_t unused[3];
};
static_assert(sizeof(VQueueElementHdr) == SIZEOF_ELEMENT_HDR);
static_assert(offsetof(VQueueElementHdr, wrapFlag) == 4);

struct VSharedMemoryQueue {
    uint32_t mWriteOffset;   // where the writer places its next element
    int32_t mAttachCount;    // parties attached; valid only while >= 1
    uint8_t mUnused8[4];
    uint32_t mCapacity;      // size of the data area, a multiple of 64
    uint8_t mUnused16[48];
    uint32_t mReadOffset;    // next element to read, a multiple of 64
    uint8_t mUnused68[60];

    // Statuses of ReadBytes.
    static constexpr uint32_t STATUS_OK = 0;             // copied and consumed, or empty
    static constexpr uint32_t STATUS_MISSING_ARG = 6;    // length null, or dest null
    static constexpr uint32_t STATUS_BUFFER_SMALL = 8;   // *length = length needed
    static constexpr uint32_t STATUS_NOT_VALID = 11;     // header not valid; *length untouched

    // Copies the next element into dest and consumes it. On entry *length is the capacity of
    // dest; on return the element's length (0 when the queue is empty). dataAreaSize: the
    // bytes the partition really holds from the data area's start; a header whose mCapacity
    // exceeds it is not valid (11). Statuses 6 and 8 leave the element in place (a wrap
    // marker before it is used up); dest null with *length 0 queries the next length.
    // Broken invariants after entry end the process through ZUL_ASSERT. Never blocks,
    // allocates or calls the system.
    uint32_t ReadBytes(void* dest, uint32_t* length, uint32_t dataAreaSize);

    // mWriteOffset < mCapacity, mReadOffset < mCapacity and mAttachCount >= 1, tested in
    // that order with fresh loads.
    bool IsValid() const;

    // Test-only seam, null by default: when set, ReadBytes calls it with the header right
    // after its entry checks (IsValid and the bound of mCapacity, whose value it has taken),
    // before it takes the read offset, so that a test can change the header exactly there as
    // a concurrent writer might. Set it from the reading thread before the calls; never set
    // in a shipped program.
    using EntryCheckHook = void (*)(VSharedMemoryQueue& queue);
    static inline EntryCheckHook sAfterEntryChecksForTesting = nullptr;
};

static_assert(std::is_standard_layout_v<VSharedMemoryQueue>);
static_assert(sizeof(VSharedMemoryQueue) == SIZEOF_QUEUE_HDR);
static_assert(offsetof(VSharedMemoryQueue, mWriteOffset) == 0);
static_assert(offsetof(VSharedMemoryQueue, mAttachCount) == 4);
static_assert(offsetof(VSharedMemoryQueue, mCapacity) == 12);
static_assert(offsetof(VSharedMemoryQueue, mReadOffset) == 64);

}  // namespace ZulOsCom
