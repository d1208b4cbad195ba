// HandPartition: a partition laid out by hand from the byte layout alone (management header,
// checksum, end marker, queue header, elements), independent of the communication layer's
// code, so that end-to-end tests catch a reader that disagrees with the wire format.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"

namespace PlixTest {

class HandPartition {
public:
    // Creates the partition (zero-filled) under the current RTH_SHM_PREFIX and maps it.
    HandPartition(const char* name, uint32_t size) : mName(name), mSize(size) {
        if (rthPartitionCreate(name, size) != RTH_OK) throw std::runtime_error("create failed");
        uint32_t opened = size;
        mHandle = shmOpen(name, 0, &opened);
        mBase = static_cast<uint8_t*>(shmAddrGet(mHandle));
        if (mBase == nullptr) throw std::runtime_error("map failed");
    }
    ~HandPartition() {
        shmClose(mHandle);
        rthPartitionRemove(mName.c_str());
    }
    HandPartition(const HandPartition&) = delete;
    HandPartition& operator=(const HandPartition&) = delete;

    uint8_t* Base() const { return mBase; }

    // Management header as an initialiser writes it, with a valid checksum and end marker.
    void WriteHeader(uint64_t initTime, int32_t refCount) {
        std::memset(mBase, 0, 64);
        std::strncpy(reinterpret_cast<char*>(mBase), mName.c_str(), 31);
        Put32(32, mSize);
        Put32(36, 0x00020000u);
        Put32(40, static_cast<uint32_t>(initTime));
        Put32(44, static_cast<uint32_t>(initTime >> 32));
        uint8_t sum = 0;
        for (int i = 0; i < 48; ++i) sum = static_cast<uint8_t>(sum + mBase[i]);
        mBase[48] = static_cast<uint8_t>(0u - sum);
        Put32(52, static_cast<uint32_t>(refCount));
        Put32(mSize - 4, 0xDEDEDEDEu);
    }

    // Queue header at offset 64: capacity from the user area, offsets 0.
    void WriteQueue(int32_t attachCount) {
        mCapacity = ((mSize - 68) - 128) & ~63u;
        std::memset(mBase + 64, 0, 128);
        Put32(64 + 4, static_cast<uint32_t>(attachCount));
        Put32(64 + 12, mCapacity);
    }

    uint32_t Capacity() const { return mCapacity; }

    // Appends one element at the write offset (no wrap; the test sizes its records to fit).
    void Push(const std::string& payload) {
        uint32_t w = WriteOffset();
        uint32_t slot = (static_cast<uint32_t>(payload.size()) + 71) & ~63u;
        if (w + slot >= mCapacity) throw std::runtime_error("hand partition full");
        uint8_t* element = mBase + 192 + w;
        Put32(static_cast<uint32_t>(element - mBase), static_cast<uint32_t>(payload.size()));
        element[4] = 0;
        std::memcpy(element + 8, payload.data(), payload.size());
        __atomic_store_n(reinterpret_cast<uint32_t*>(mBase + 64), w + slot, __ATOMIC_RELEASE);
    }

    uint32_t WriteOffset() const { return Load32(64); }
    uint32_t ReadOffset() const { return Load32(64 + 64); }
    int32_t AttachCount() const { return static_cast<int32_t>(Load32(64 + 4)); }
    int32_t RefCount() const { return static_cast<int32_t>(Load32(52)); }
    void Put32(uint32_t offset, uint32_t value) {
        __atomic_store_n(reinterpret_cast<uint32_t*>(mBase + offset), value, __ATOMIC_SEQ_CST);
    }
    uint32_t Load32(uint32_t offset) const {
        return __atomic_load_n(reinterpret_cast<const uint32_t*>(mBase + offset), __ATOMIC_SEQ_CST);
    }

private:
    std::string mName;
    uint32_t mSize;
    int32_t mHandle = -1;
    uint8_t* mBase = nullptr;
    uint32_t mCapacity = 0;
};

}  // namespace PlixTest
