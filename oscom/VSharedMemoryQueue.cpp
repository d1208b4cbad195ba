// VSharedMemoryQueue: the reader's side of the single-reader queue in shared memory.
//
// The queue header and the elements are written by another process, which may be broken or
// hostile, so every value taken from shared memory is checked before it is used to address
// anything. Every access stays inside [this, this + 128 + dataAreaSize).
#include "oscom/VSharedMemoryQueue.h"

#include <atomic>
#include <cstring>

#include "diag/ZulAssert.h"

// ZUL_ASSERT that reports the queue invariant under its usual text while the check runs on
// the values this call took from shared memory (a field named in the text is read atomically,
// and where it bounds an access, once per call), not on a plain, racing load of the field.
#define QUEUE_ASSERT(check, text)                                           \
    do {                                                                    \
        if (!(check)) {                                                     \
            ::PlixBase::ZulAssertFail(__PRETTY_FUNCTION__, __LINE__, text); \
        }                                                                   \
    } while (0)

namespace ZulOsCom {

namespace {

uint32_t LoadRelaxed(const uint32_t& field) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_relaxed);
}

// The writer's offset announces complete elements: read it with acquire so that the element
// is read only after it.
uint32_t LoadAcquire(const uint32_t& field) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_acquire);
}

// The element header is read byte by byte (little-endian): its offset comes from shared memory
// and is not known to be aligned until the read offset has been checked after the update.
uint32_t LoadElementLength(const uint8_t* element) {
    const uint8_t* field = element + offsetof(VQueueElementHdr, length);
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | __atomic_load_n(field + i, __ATOMIC_RELAXED);
    }
    return value;
}

uint8_t LoadWrapFlag(const uint8_t* element) {
    return __atomic_load_n(element + offsetof(VQueueElementHdr, wrapFlag), __ATOMIC_RELAXED);
}

// Relaxed: the release store or exchange of mReadOffset that follows publishes it.
void ClearWrapFlag(uint8_t* element) {
    __atomic_store_n(element + offsetof(VQueueElementHdr, wrapFlag), static_cast<uint8_t>(0),
                     __ATOMIC_RELAXED);
}

}  // namespace

bool VSharedMemoryQueue::IsValid() const {
    if (!(LoadAcquire(mWriteOffset) < LoadRelaxed(mCapacity))) {
        return false;
    }
    if (!(LoadRelaxed(mReadOffset) < LoadRelaxed(mCapacity))) {
        return false;
    }
    const int32_t attachCount = std::atomic_ref<int32_t>(const_cast<int32_t&>(mAttachCount))
                                    .load(std::memory_order_relaxed);
    return attachCount >= 1;
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
    QUEUE_ASSERT(static_cast<uint64_t>(tmpOffset) + SIZEOF_ELEMENT_HDR <= capacity,
                 "tmpOffset + SIZEOF_ELEMENT_HDR <= this->mCapacity");

    if (LoadWrapFlag(nextUsedElement) != 0) {
        ClearWrapFlag(nextUsedElement);
        nextUsedElement = startAddress;
        tmpOffset = 0;
    }

    const uint32_t elLength = LoadElementLength(nextUsedElement);
    QUEUE_ASSERT(elLength <= capacity - SIZEOF_ELEMENT_HDR,
                 "elLength <= this->mCapacity - SIZEOF_ELEMENT_HDR");
    QUEUE_ASSERT(static_cast<uint64_t>(tmpOffset) + SIZEOF_ELEMENT_HDR + elLength <= capacity,
                 "tmpOffset + SIZEOF_ELEMENT_HDR + elLength <= this->mCapacity");

    *length = elLength;
    std::atomic_ref<uint32_t> readOffset(mReadOffset);
    if (bufSize < elLength) {
        readOffset.store(tmpOffset, std::memory_order_release);
        return STATUS_BUFFER_SMALL;
    }
    if (dest == nullptr) {
        readOffset.store(tmpOffset, std::memory_order_release);
        return STATUS_MISSING_ARG;
    }

    std::memcpy(dest, nextUsedElement + SIZEOF_ELEMENT_HDR, elLength);

    uint64_t newOffset = tmpOffset + ElementSlotSize(elLength);
    if (newOffset == capacity) {
        newOffset = 0;
    }
    // Published after the copy: the writer may reuse the slot from here on.
    readOffset.exchange(static_cast<uint32_t>(newOffset), std::memory_order_seq_cst);

    QUEUE_ASSERT(LoadRelaxed(mReadOffset) <= LoadRelaxed(mCapacity),
                 "this->mReadOffset <= this->mCapacity");
    QUEUE_ASSERT(isAligned64(LoadRelaxed(mReadOffset)), "isAligned64(this->mReadOffset)");
    ZUL_ASSERT(this->IsValid());
    return STATUS_OK;
}

}  // namespace ZulOsCom
