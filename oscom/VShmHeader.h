// VShmHeader: the 64-byte management header at offset 0 of every partition.
//
// The header is shared with other processes that follow the same protocol; it is used in
// place through a pointer to the partition's base and never copied. Bytes 0 to 48 (name,
// size, version, initTime, checksum) are the checksummed part: their byte sum is 0 in a valid
// header. refCount and the reserved bytes lie outside it, so attaching and releasing never
// change the checksum.
//
// Concurrency: refCount is changed only by interlocked (sequentially consistent) addition;
// initTime is read and written as two 32-bit halves, low half first, each atomically, and is
// read before and after every interlocked step to detect a concurrent re-initialisation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "oscom/OscomTypes.h"
#include "oscom/SharedAccess.h"

namespace ZulOsCom {

struct VShmHeader {
    char name[32];          // partition name, NUL-terminated, zero-padded
    uint32_t size;          // size of the whole partition in bytes
    uint32_t version;       // OSCOM_SHM_VERSION
    uint32_t initTime[2];   // initialisation stamp, [0] low and [1] high half; 0 = not initialised
    uint8_t checksum;       // makes the byte sum of bytes 0..48 zero
    uint8_t reserved1[3];
    int32_t refCount;       // attached users; interlocked addition only
    uint8_t reserved2[8];

    // Byte sum modulo 256 of bytes 0 to 48, checksum included. 0 means valid.
    uint8_t ComputeSum() const;

    // Initialiser's first step on a zeroed header: version, size and the name (its first 31
    // characters; the rest of the field stays zero), stored relaxed: the checksum stored last
    // publishes them.
    void StoreIdentity(std::string_view partitionName, uint32_t partitionSize);
    // Initialiser's last step: stores the checksum (sequentially consistent) that makes the byte
    // sum 0, so that the header becomes valid only when all other fields are in place. Returns
    // the byte sum before.
    uint8_t SealChecksum();

    // Initialiser's step, after name, size and version are set and before checksum: stamps
    // initTime with the raw performance counter (PlatformTime::RawPerformanceCounter, the unit
    // other users read it in) and counts the initialiser in refCount. Returns the stamp. Throws
    // std::runtime_error (after a DIAG_ERROR report) when refCount was not 0 or initTime
    // changed meanwhile; refCount keeps the increment.
    uint64_t InitRefCountAndTime();

    // Registers one more user. expectOthers: whether another user must be attached already.
    // Returns initTime, or 0 when the attach is refused (expectOthers and nobody else was
    // attached; the increment is taken back). Ends the process through ZUL_ASSERT when
    // initTime is 0 or changes during the call.
    uint64_t AddRefGetInitTime(bool expectOthers);

    // Gives back one reference taken under the stamp given. Skipped with a DIAG_WARNING when
    // the header is not initialised or was initialised anew (stamps differ). Ends the process
    // through ZUL_ASSERT, after taking the release back, when initTime changes meanwhile.
    void ReleaseRefIfTimeStampMatches(uint64_t given);

    // initTime, read as two atomic 32-bit halves, low first.
    uint64_t LoadInitTime() const;
    // initTime, written as two atomic 32-bit halves, low first.
    void StoreInitTime(uint64_t value);
    // refCount, read atomically.
    int32_t LoadRefCount() const;
    // Interlocked (sequentially consistent) addition of delta to refCount; returns the new count,
    // wrapped around as the addition itself computes it.
    int32_t AddToRefCount(int32_t delta);

    // Test-only seam, null by default: when set, it is called with the header right after the
    // interlocked step of InitRefCountAndTime, AddRefGetInitTime and
    // ReleaseRefIfTimeStampMatches (not after the latter's take-back), so that a test can
    // change initTime exactly between the two reads. Set it from the only thread that uses
    // headers, before the calls; never set in a shipped program.
    using InterlockedStepHook = void (*)(VShmHeader& header);
    static inline InterlockedStepHook sAfterInterlockedStepForTesting = nullptr;
};

static_assert(std::is_standard_layout_v<VShmHeader>);
static_assert(sizeof(VShmHeader) == SHM_MGMT_HEADER_SIZE);
static_assert(offsetof(VShmHeader, name) == 0);
static_assert(offsetof(VShmHeader, size) == 32);
static_assert(offsetof(VShmHeader, version) == 36);
static_assert(offsetof(VShmHeader, initTime) == 40);
static_assert(offsetof(VShmHeader, checksum) == 48);
static_assert(offsetof(VShmHeader, refCount) == 52);
static_assert(offsetof(VShmHeader, reserved2) == 56);

// The checksummed part of the header: bytes 0 to 48, checksum included.
constexpr uint32_t SHM_CHECKSUMMED_BYTES = offsetof(VShmHeader, checksum) + 1;

// Byte sum modulo 256 of the SHM_CHECKSUMMED_BYTES bytes at base, each read atomically; reads
// nothing else. For a header not known to be complete (an operator's view of any bytes).
inline uint8_t ShmHeaderByteSum(const uint8_t* base) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < SHM_CHECKSUMMED_BYTES; ++i) {
        sum = static_cast<uint8_t>(sum + SharedAccess::Load(base[i], std::memory_order_relaxed));
    }
    return sum;
}

// The field accesses are defined here, without the library's logging, so that the writer uses
// the same ones.

inline uint8_t VShmHeader::ComputeSum() const {
    return ShmHeaderByteSum(reinterpret_cast<const uint8_t*>(this));
}

inline void VShmHeader::StoreIdentity(std::string_view partitionName, uint32_t partitionSize) {
    SharedAccess::Store(version, OSCOM_SHM_VERSION, std::memory_order_relaxed);
    SharedAccess::Store(size, partitionSize, std::memory_order_relaxed);
    const size_t nameLength = std::min(partitionName.size(), sizeof name - 1);
    for (size_t i = 0; i < nameLength; ++i) {
        SharedAccess::Store(name[i], partitionName[i], std::memory_order_relaxed);
    }
}

inline uint8_t VShmHeader::SealChecksum() {
    const uint8_t sum = ComputeSum();
    SharedAccess::Store(checksum, static_cast<uint8_t>(-sum), std::memory_order_seq_cst);
    return sum;
}

inline uint64_t VShmHeader::LoadInitTime() const {
    const uint64_t low = SharedAccess::Load(initTime[0], std::memory_order_seq_cst);
    const uint64_t high = SharedAccess::Load(initTime[1], std::memory_order_seq_cst);
    return (high << 32) | low;
}

inline void VShmHeader::StoreInitTime(uint64_t value) {
    SharedAccess::Store(initTime[0], static_cast<uint32_t>(value), std::memory_order_seq_cst);
    SharedAccess::Store(initTime[1], static_cast<uint32_t>(value >> 32), std::memory_order_seq_cst);
}

inline int32_t VShmHeader::LoadRefCount() const {
    return SharedAccess::Load(refCount, std::memory_order_seq_cst);
}

inline int32_t VShmHeader::AddToRefCount(int32_t delta) {
    const int32_t before = SharedAccess::FetchAdd(refCount, delta, std::memory_order_seq_cst);
    return static_cast<int32_t>(static_cast<uint32_t>(before) + static_cast<uint32_t>(delta));
}

}  // namespace ZulOsCom
