// VShmHeader: the reference-count protocol of the management header (the checksum and the
// field accesses are inline in the header, for users without the logging).
//
// The order of the steps in each operation (read or write initTime, then the interlocked step
// on refCount, then read initTime again) is shared with every other user of the partition and
// must not change.
#include "oscom/VShmHeader.h"

#include <stdexcept>
#include <string>

#include "diag/DiagLogger.h"
#include "diag/ZulAssert.h"
#include "platform/PlatformTime.h"

namespace ZulOsCom {

namespace {

constexpr size_t NAME_SIZE = sizeof(VShmHeader::name);

// The header's name as a NUL-terminated text of at most 32 characters. The field is written
// by other processes and need not hold a NUL, so it is copied byte by byte and cut at its end.
struct NameText {
    char text[NAME_SIZE + 1];

    explicit NameText(const VShmHeader& header) {
        for (size_t i = 0; i < NAME_SIZE; ++i) {
            text[i] = SharedAccess::Load(header.name[i], std::memory_order_relaxed);
        }
        text[NAME_SIZE] = '\0';
    }
};

}  // namespace

uint64_t VShmHeader::InitRefCountAndTime() {
    // The raw counter: other users of the partition read initTime in its ticks.
    const uint64_t t = Platform::PlatformTime::RawPerformanceCounter();
    StoreInitTime(t);
    const int32_t n = AddToRefCount(1);
    if (sAfterInterlockedStepForTesting != nullptr) {
        sAfterInterlockedStepForTesting(*this);
    }
    if (n == 1 && LoadInitTime() == t) {
        return t;
    }

    const std::string text =
        "Concurrent modification of shared memory during initialization! RefCount=" +
        std::to_string(n) + ", timestamp before modification = " + std::to_string(t) +
        ", timestamp after modification = " + std::to_string(LoadInitTime());
    // The text holds digits and fixed words only, so it is safe as a format of its own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    DiagLogger::Instance().Log(DIAG_ERROR, "ZulOsCom::VShmHeader::InitRefCountAndTime", __LINE__,
                               text.c_str());
#pragma GCC diagnostic pop
    throw std::runtime_error(text);
}

uint64_t VShmHeader::AddRefGetInitTime(bool expectOthers) {
    static constexpr const char* FUNCTION = "ZulOsCom::VShmHeader::AddRefGetInitTime";
    const uint64_t t = LoadInitTime();
    if (t == 0) {
        DiagLogger::Instance().Log(DIAG_ERROR, FUNCTION, __LINE__,
                                   "AddRefRememberInitTime() has invalid init time!\n");
        ZUL_ASSERT(false);
    }

    const int32_t n = AddToRefCount(1);
    if (sAfterInterlockedStepForTesting != nullptr) {
        sAfterInterlockedStepForTesting(*this);
    }
    DiagLogger::Instance().Log(DIAG_INFO, FUNCTION, __LINE__,
                               "VShmHeader::AddRefGetInitTime(%s): ref=%d, initTime=%lld\n",
                               NameText(*this).text, n, static_cast<long long>(t));

    if (n <= 1 && expectOthers) {
        DiagLogger::Instance().Log(
            DIAG_ERROR, FUNCTION, __LINE__,
            "Unexpected state in VShmHeader::AddRefGetInitTime of %s: ref=%d\n",
            NameText(*this).text, n);
        ReleaseRefIfTimeStampMatches(t);
        return 0;
    }

    const uint64_t after = LoadInitTime();
    if (after == t) {
        return t;
    }
    DiagLogger::Instance().Log(DIAG_ERROR, FUNCTION, __LINE__,
                               "Concurrent initialization of shared memory by a different process! "
                               "InitTime before modification=%lld, initTime after modification = "
                               "%lld\n",
                               static_cast<long long>(t), static_cast<long long>(after));
    ZUL_ASSERT(false);
    return 0;  // not reached
}

void VShmHeader::ReleaseRefIfTimeStampMatches(uint64_t given) {
    static constexpr const char* FUNCTION = "ZulOsCom::VShmHeader::ReleaseRefIfTimeStampMatches";
    const uint64_t t = LoadInitTime();
    if (t == 0) {
        DiagLogger::Instance().Log(DIAG_WARNING, FUNCTION, __LINE__,
                                   "ReleaseRefIfTimeStampMatches(%s) called without AddRef() or "
                                   "after multiple Release() calls!\n",
                                   NameText(*this).text);
        return;
    }
    if (t != given) {
        DiagLogger::Instance().Log(DIAG_WARNING, FUNCTION, __LINE__,
                                   "Init times do not match! -> Skip modification of refcount! "
                                   "RefCount=%d, shmem initTime=%lld, given initTime=%lld\n",
                                   LoadRefCount(), static_cast<long long>(t),
                                   static_cast<long long>(given));
        return;
    }

    const int32_t n = AddToRefCount(-1);
    if (sAfterInterlockedStepForTesting != nullptr) {
        sAfterInterlockedStepForTesting(*this);
    }
    DiagLogger::Instance().Log(DIAG_INFO, FUNCTION, __LINE__,
                               "ReleaseRefIfTimeStampMatches(%s) new refCount=%d, initTime=%lld\n",
                               NameText(*this).text, n, static_cast<long long>(given));

    const uint64_t after = LoadInitTime();
    if (after != given) {
        DiagLogger::Instance().Log(DIAG_ERROR, FUNCTION, __LINE__,
                                   "Concurrent modification of shmem during "
                                   "ReleaseRefIfTimeStampMatches(%s). refCount=%d, initTime=%lld, "
                                   "modified initTime=%lld\n",
                                   NameText(*this).text, n, static_cast<long long>(given),
                                   static_cast<long long>(after));
        AddToRefCount(1);
        ZUL_ASSERT(false);
    }
}

}  // namespace ZulOsCom
