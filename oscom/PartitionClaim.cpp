// PartitionClaim: the reader's and the writer's claims on a partition (see PartitionClaim.h).
#include "oscom/PartitionClaim.h"

#include <cstdlib>

#include "platform/PlatformTime.h"
#include "rth/RthAdmin.h"

namespace ZulOsCom {

namespace {

constexpr uint32_t RETRY_PAUSE_MS = 10;

}  // namespace

PartitionClaim::~PartitionClaim() { Release(); }

#ifdef _WIN32

PartitionClaim::Result PartitionClaim::Claim(const char* name, Role role, uint32_t waitMs) {
    Release();
    mName = name;
    const char* prefix = std::getenv("RTH_SHM_PREFIX");
    const std::string lockName = std::string("plixtrace.") +
                                 (role == Role::READER ? "reader." : "writer.") +
                                 (prefix != nullptr ? prefix : "rth.") + mName;
    for (uint32_t waited = 0;; waited += RETRY_PAUSE_MS) {
        std::string reason;
        switch (mLock.Take(lockName, &reason)) {
            case Platform::NamedLock::Status::HELD:
                return Result::CLAIMED;
            case Platform::NamedLock::Status::FAILED:
                return Result::FAILED;
            case Platform::NamedLock::Status::BUSY:
                break;
        }
        if (waited >= waitMs) {
            return Result::BUSY;
        }
        Platform::PlatformTime::Sleep(RETRY_PAUSE_MS);
    }
}

void PartitionClaim::Release() { mLock.Release(); }

bool PartitionClaim::Held() const { return mLock.Held(); }

PartitionClaim::Behind PartitionClaim::Check(uint32_t) const { return Behind::SAME; }

#else

PartitionClaim::Result PartitionClaim::Claim(const char* name, Role role, uint32_t waitMs) {
    Release();
    mName = name;
    const int32_t rthRole = role == Role::READER ? RTH_ROLE_READER : RTH_ROLE_WRITER;
    for (uint32_t waited = 0;; waited += RETRY_PAUSE_MS) {
        RthPartitionIdentity identity{};
        switch (rthPartitionLock(mName.c_str(), rthRole, &mLock, &identity)) {
            case RTH_OK:
                mVolume = identity.volume;
                mObject = identity.object;
                return Result::CLAIMED;
            case RTH_BUSY:
                break;
            case RTH_NOT_FOUND:
            case RTH_UNSAFE:
            case RTH_BAD_NAME:
                mLock = -1;
                return Result::MISSING;
            default:
                mLock = -1;
                return Result::FAILED;
        }
        mLock = -1;
        if (waited >= waitMs) {
            return Result::BUSY;
        }
        Platform::PlatformTime::Sleep(RETRY_PAUSE_MS);
    }
}

void PartitionClaim::Release() {
    if (mLock != -1) {
        rthPartitionUnlock(mLock);
        mLock = -1;
    }
}

bool PartitionClaim::Held() const { return mLock != -1; }

PartitionClaim::Behind PartitionClaim::Check(uint32_t size) const {
    if (mLock == -1) {
        return Behind::SAME;
    }
    RthPartitionIdentity now{};
    switch (rthPartitionIdentify(mName.c_str(), &now)) {
        case RTH_OK:
            break;
        case RTH_SYSTEM:
            // Not examinable for the moment (out of memory, say): nothing is known to have
            // changed.
            return Behind::SAME;
        default:
            return Behind::REMOVED;
    }
    if (now.volume != mVolume || now.object != mObject) {
        return Behind::REPLACED;
    }
    return now.size < size ? Behind::SHRUNK : Behind::SAME;
}

#endif

}  // namespace ZulOsCom
