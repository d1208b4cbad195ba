// FuzzPartition: one partition image served to the reader through the partition-library fake,
// for the fuzz targets.
//
// The image becomes the partition "plixtrace" of exactly its own size. Under AddressSanitizer
// the bytes of the fake's allocation around the partition are poisoned, so that any access
// outside the partition is reported; Fence narrows what the reader may touch further while it
// reads. Used by one fuzz iteration at a time; the fake (and this object) by one thread, the
// memory by as many as the target lets write into it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace PlixFuzz {

class FuzzPartition {
public:
    // Resets the fake and adds "plixtrace" holding a copy of the size bytes of image.
    FuzzPartition(const uint8_t* image, uint32_t size);
    // Lifts every poisoning and resets the fake, which frees the partition.
    ~FuzzPartition();

    FuzzPartition(const FuzzPartition&) = delete;
    FuzzPartition& operator=(const FuzzPartition&) = delete;

    uint8_t* Base() const { return mBase; }
    uint32_t Size() const { return mSize; }

    // Stores the checksum that makes the byte sum of the management header's bytes 0 to 48
    // zero, as an initialiser would. Does nothing to a partition smaller than that header.
    void FixChecksum();

    // While reading, the reader has no business outside [begin, end) of the partition (its
    // queue header and data area): every other byte of the partition is poisoned until Unfence.
    void Fence(const uint8_t* begin, const uint8_t* end);
    void Unfence();

    // A 32-bit little-endian field of the partition, read atomically (offset 4-aligned).
    uint32_t Load32(uint32_t offset) const;

private:
    uint8_t* mBase = nullptr;
    uint32_t mSize = 0;
    // The fake's whole allocation around the partition, found from the sanitizer's shadow.
    uint8_t* mAllocBegin = nullptr;
    uint8_t* mAllocEnd = nullptr;
};

}  // namespace PlixFuzz
