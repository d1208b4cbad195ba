// VSharedMemoryQueue: the reader's side of the single-reader queue in shared memory.
//
// The queue header and the elements are written by another process, which may be broken or
// hostile, so every value taken from shared memory is checked before it is used to address
// anything. Every access stays inside [this, this + 128 + dataAreaSize).
#include "oscom/VSharedMemoryQueue.h"

#include <cstring>

#include "diag/ZulAssert.h"
#include "oscom/SharedAccess.h"

// The queue invariants are reported under their usual texts (ZUL_ASSERT_AS) while the checks
// run on the values this call took from shared memory: a field named in a text is read
// atomically, and where it bounds an access, once per call.

namespace ZulOsCom {

namespace {

uint32_t LoadRelaxed(const uint32_t& field) {
    return SharedAccess::Load(field, std::memory_order_relaxed);
}

// The writer's offset announces complete elements: read it with acquire so that the element
// is read only after it.
uint32_t LoadAcquire(const uint32_t& field) {
    return SharedAccess::Load(field, std::memory_order_acquire);
}

// The element header is read byte by byte (little-endian): its offset comes from shared memory
// and is not known to be aligned until the read offset has been checked after the update.
uint32_t LoadElementLength(const uint8_t* element) {
    return SharedAccess::LoadLittleEndian32(element + offsetof(VQueueElementHdr, length));
}

uint8_t LoadWrapFlag(const uint8_t* element) {
    return SharedAccess::Load(element[offsetof(VQueueElementHdr, wrapFlag)],
                              std::memory_order_relaxed);
}

// Relaxed: the release store or exchange of mReadOffset that follows publishes it.
void ClearWrapFlag(uint8_t* element) {
    SharedAccess::Store(element[offsetof(VQueueElementHdr, wrapFlag)], 0,
                        std::memory_order_relaxed);
}

}  // namespace

bool VSharedMemoryQueue::IsValid() const {
    if (!(LoadAcquire(mWriteOffset) < LoadRelaxed(mCapacity))) {
        return false;
    }
    if (!(LoadRelaxed(mReadOffset) < LoadRelaxed(mCapacity))) {
        return false;
    }
    return SharedAccess::Load(mAttachCount, std::memory_order_relaxed) >= 1;
}

uint32_t VSharedMemoryQueue::ReadBytes(void* dest, uint32_t* length, uint32_t dataAreaSize) {
    if (length == nullptr) {
        return STATUS_MISSING_ARG;
    }
    if (!IsValid()) {
        return STATUS_NOT_VALID;
    }
    // The capacity is taken once and bounds every access below; it must lie within the data
    // area that the partition really holds.
    const uint32_t capacity = LoadRelaxed(mCapacity);
    if (capacity > dataAreaSize) {
        return STATUS_NOT_VALID;
    }
    if (sAfterEntryChecksForTesting != nullptr) {
        sAfterEntryChecksForTesting(*this);
    }

    const uint32_t bufSize = *length;
    uint32_t tmpOffset = LoadRelaxed(mReadOffset);
    uint8_t* const startAddress = reinterpret_cast<uint8_t*>(this) + SIZEOF_QUEUE_HDR;
    uint8_t* const endAddress = startAddress + capacity;
    uint8_t* nextUsedElement = startAddress + tmpOffset;

    ZUL_ASSERT(this->IsValid());
    ZUL_ASSERT(nextUsedElement >= startAddress && nextUsedElement < endAddress);

    if (LoadRelaxed(mReadOffset) == LoadAcquire(mWriteOffset)) {
        *length = 0;
        return STATUS_OK;
    }

    // The element header (or wrap marker) must lie wholly inside the data area before any of
    // it is read. Then an element at offset 0 fits as well.
    ZUL_ASSERT_AS(static_cast<uint64_t>(tmpOffset) + SIZEOF_ELEMENT_HDR <= capacity,
                  "tmpOffset + SIZEOF_ELEMENT_HDR <= this->mCapacity");

    if (LoadWrapFlag(nextUsedElement) != 0) {
        ClearWrapFlag(nextUsedElement);
        nextUsedElement = startAddress;
        tmpOffset = 0;
    }

    const uint32_t elLength = LoadElementLength(nextUsedElement);
    ZUL_ASSERT_AS(elLength <= capacity - SIZEOF_ELEMENT_HDR,
                  "elLength <= this->mCapacity - SIZEOF_ELEMENT_HDR");
    ZUL_ASSERT_AS(static_cast<uint64_t>(tmpOffset) + SIZEOF_ELEMENT_HDR + elLength <= capacity,
                  "tmpOffset + SIZEOF_ELEMENT_HDR + elLength <= this->mCapacity");

    *length = elLength;
    if (bufSize < elLength) {
        SharedAccess::Store(mReadOffset, tmpOffset, std::memory_order_release);
        return STATUS_BUFFER_SMALL;
    }
    if (dest == nullptr) {
        SharedAccess::Store(mReadOffset, tmpOffset, std::memory_order_release);
        return STATUS_MISSING_ARG;
    }

    std::memcpy(dest, nextUsedElement + SIZEOF_ELEMENT_HDR, elLength);

    uint64_t newOffset = tmpOffset + ElementSlotSize(elLength);
    if (newOffset == capacity) {
        newOffset = 0;
    }
    // Published after the copy: the writer may reuse the slot from here on.
    SharedAccess::Exchange(mReadOffset, static_cast<uint32_t>(newOffset),
                           std::memory_order_seq_cst);

    ZUL_ASSERT_AS(LoadRelaxed(mReadOffset) <= LoadRelaxed(mCapacity),
                  "this->mReadOffset <= this->mCapacity");
    ZUL_ASSERT_AS(isAligned64(LoadRelaxed(mReadOffset)), "isAligned64(this->mReadOffset)");
    ZUL_ASSERT(this->IsValid());
    return STATUS_OK;
}

}  // namespace ZulOsCom
