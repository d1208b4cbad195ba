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

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "oscom/OscomTypes.h"

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

}  // namespace ZulOsCom
