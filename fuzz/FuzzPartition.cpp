// FuzzPartition: the partition image in the fake's memory, fenced with AddressSanitizer's
// manual poisoning.
#include "fuzz/FuzzPartition.h"

#include <cstring>

#include "oscom/OscomTypes.h"
#include "oscom/PartitionRules.h"
#include "oscom/VShmHeader.h"
#include "rth/fake/RthFake.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLIX_FUZZ_ASAN 1
#endif
#endif

#ifdef PLIX_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace PlixFuzz {

namespace {

constexpr const char* PARTITION = ZulOsCom::PLIX_TRACE_PARTITION;
// The fake allocates 64 bytes more than the partition and aligns the partition's base to 64
// inside that allocation.
constexpr uint32_t FAKE_SLACK = 64;

void Poison(uint8_t* begin, uint8_t* end) {
#ifdef PLIX_FUZZ_ASAN
    if (end > begin) {
        ASAN_POISON_MEMORY_REGION(begin, static_cast<size_t>(end - begin));
    }
#else
    (void)begin;
    (void)end;
#endif
}

void Unpoison(uint8_t* begin, uint8_t* end) {
#ifdef PLIX_FUZZ_ASAN
    if (end > begin) {
        ASAN_UNPOISON_MEMORY_REGION(begin, static_cast<size_t>(end - begin));
    }
#else
    (void)begin;
    (void)end;
#endif
}

bool Addressable(const uint8_t* p) {
#ifdef PLIX_FUZZ_ASAN
    return __asan_address_is_poisoned(p) == 0;
#else
    (void)p;
    return false;
#endif
}

}  // namespace

FuzzPartition::FuzzPartition(const uint8_t* image, uint32_t size) : mSize(size) {
    RthFake& fake = RthFake::Get();
    fake.Reset();
    mBase = fake.AddPartition(PARTITION, size);
    if (size > 0) {
        std::memcpy(mBase, image, size);
    }
    // The allocation's ends are where the allocator's own red zones begin.
    mAllocBegin = mBase;
    while (mAllocBegin > mBase - FAKE_SLACK && Addressable(mAllocBegin - 1)) {
        --mAllocBegin;
    }
    mAllocEnd = mBase + size;
    while (mAllocEnd < mBase + size + FAKE_SLACK && Addressable(mAllocEnd)) {
        ++mAllocEnd;
    }
    Poison(mAllocBegin, mBase);
    Poison(mBase + size, mAllocEnd);
}

FuzzPartition::~FuzzPartition() {
    Unpoison(mAllocBegin, mAllocEnd);
    RthFake::Get().Reset();
}

void FuzzPartition::FixChecksum() {
    constexpr uint32_t checksumAt = offsetof(ZulOsCom::VShmHeader, checksum);
    if (mSize < ZulOsCom::SHM_MGMT_HEADER_SIZE) {
        return;
    }
    uint8_t sum = 0;
    for (uint32_t i = 0; i < checksumAt; ++i) {
        sum = static_cast<uint8_t>(sum + mBase[i]);
    }
    mBase[checksumAt] = static_cast<uint8_t>(0u - sum);
}

void FuzzPartition::Fence(const uint8_t* begin, const uint8_t* end) {
    Poison(mBase, mBase + (begin - mBase));
    Poison(mBase + (end - mBase), mBase + mSize);
}

void FuzzPartition::Unfence() { Unpoison(mBase, mBase + mSize); }

uint32_t FuzzPartition::Load32(uint32_t offset) const {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(mBase + offset), __ATOMIC_SEQ_CST);
}

}  // namespace PlixFuzz
