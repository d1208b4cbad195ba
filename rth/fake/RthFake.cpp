// RthFake and the library functions that forward to it.
#include "rth/fake/RthFake.h"

#include <algorithm>
#include <cstring>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"

RthFake& RthFake::Get() {
    static RthFake fake;
    return fake;
}

void RthFake::Reset() { *this = RthFake(); }

uint8_t* RthFake::AddPartition(const std::string& name, uint32_t size) {
    Partition p;
    p.storage = std::shared_ptr<uint8_t[]>(new uint8_t[size + 64]());
    uintptr_t raw = reinterpret_cast<uintptr_t>(p.storage.get());
    p.base = p.storage.get() + ((64 - raw % 64) % 64);
    p.size = size;
    p.object = mNextObject++;
    if (auto it = mPartitions.find(name); it != mPartitions.end()) {
        mRemoved.push_back(it->second.storage);
    }
    mPartitions[name] = p;
    return p.base;
}

void RthFake::RemoveName(const std::string& name) {
    if (auto it = mPartitions.find(name); it != mPartitions.end()) {
        mRemoved.push_back(it->second.storage);
        mPartitions.erase(it);
    }
}

uint8_t* RthFake::Memory(const std::string& name) {
    auto it = mPartitions.find(name);
    return it == mPartitions.end() ? nullptr : it->second.base;
}

uint32_t RthFake::SizeGet(const char* name) {
    ++calls.sizeGet;
    sizeGetNames.emplace_back(name != nullptr ? name : "");
    if (sizeGetResult) {
        return *sizeGetResult;
    }
    auto it = mPartitions.find(sizeGetNames.back());
    return it == mPartitions.end() ? 0 : it->second.size;
}

int32_t RthFake::Open(const char* name, int32_t mode, uint32_t* size) {
    ++calls.open;
    std::string n = name != nullptr ? name : "";
    openNames.push_back(n);
    openModes.push_back(mode);
    openRequestedSizes.push_back(size != nullptr ? *size : 0);
    if (onOpen) {
        onOpen();
    }
    auto it = mPartitions.find(n);
    int32_t handle;
    if (!openResults.empty()) {
        handle = openResults.front();
        openResults.pop_front();
    } else {
        handle = it == mPartitions.end() ? -1 : mNextHandle++;
    }
    if (handle != -1) {
        mHandles[handle] = n;
        if (size != nullptr) {
            *size = openAreaSize ? *openAreaSize : (it != mPartitions.end() ? it->second.size : 0);
        }
    }
    return handle;
}

void* RthFake::AddrGet(int32_t handle) {
    ++calls.addrGet;
    addrGetHandles.push_back(handle);
    auto h = mHandles.find(handle);
    if (nullAddress || h == mHandles.end()) {
        return nullptr;
    }
    return Memory(h->second);
}

int32_t RthFake::Close(int32_t handle) {
    ++calls.close;
    closedHandles.push_back(handle);
    return mHandles.erase(handle) == 1 ? 0 : -1;
}

int32_t RthFake::Cleanup(const char* name) {
    ++calls.cleanup;
    cleanupNames.emplace_back(name != nullptr ? name : "");
    return 0;
}

int32_t RthFake::Explain(const char* name, char* reason, uint32_t reasonSize) {
    ++calls.explain;
    std::pair<int32_t, std::string> result{RTH_NOT_FOUND, "does not exist"};
    if (explainResult) {
        result = *explainResult;
    } else if (auto it = mPartitions.find(name != nullptr ? name : ""); it != mPartitions.end()) {
        result = {RTH_OK, "exists (" + std::to_string(it->second.size) + " bytes)"};
    }
    if (reason != nullptr && reasonSize > 0) {
        size_t length = std::min<size_t>(result.second.size(), reasonSize - 1);
        std::memcpy(reason, result.second.data(), length);
        reason[length] = '\0';
    }
    return result.first;
}

int32_t RthFake::Identify(const char* name, uint64_t* object, uint64_t* size) {
    ++calls.identify;
    if (identifyResult) {
        return *identifyResult;
    }
    auto it = mPartitions.find(name != nullptr ? name : "");
    if (it == mPartitions.end()) {
        return RTH_NOT_FOUND;
    }
    *object = it->second.object;
    *size = it->second.size;
    return RTH_OK;
}

bool RthFake::LockHeld(const std::string& name, int32_t role) const {
    auto it = mPartitions.find(name);
    if (it == mPartitions.end()) {
        return false;
    }
    for (const auto& [handle, held] : mLocks) {
        if (held.object == it->second.object && held.role == role) {
            return true;
        }
    }
    return false;
}

int32_t RthFake::Lock(const char* name, int32_t role, int32_t* lock, uint64_t* object,
                      uint64_t* size) {
    ++calls.lock;
    if (lockResult) {
        return *lockResult;
    }
    const std::string n = name != nullptr ? name : "";
    auto it = mPartitions.find(n);
    if (it == mPartitions.end()) {
        return RTH_NOT_FOUND;
    }
    if (LockHeld(n, role)) {
        return RTH_BUSY;
    }
    *lock = mNextLock++;
    mLocks[*lock] = HeldLock{it->second.object, role};
    *object = it->second.object;
    *size = it->second.size;
    return RTH_OK;
}

int32_t RthFake::Unlock(int32_t lock) {
    ++calls.unlock;
    return mLocks.erase(lock) == 1 ? RTH_OK : RTH_SYSTEM;
}

int32_t RthFake::ProbeLock(const char* name, int32_t role) {
    ++calls.probe;
    const std::string n = name != nullptr ? name : "";
    if (mPartitions.find(n) == mPartitions.end()) {
        return RTH_NOT_FOUND;
    }
    return LockHeld(n, role) ? RTH_BUSY : RTH_OK;
}

extern "C" {
uint32_t shmSizeGet(const char* name) { return RthFake::Get().SizeGet(name); }
int32_t shmOpen(const char* name, int32_t mode, uint32_t* size) {
    return RthFake::Get().Open(name, mode, size);
}
void* shmAddrGet(int32_t handle) { return RthFake::Get().AddrGet(handle); }
int32_t shmClose(int32_t handle) { return RthFake::Get().Close(handle); }
int32_t shmCleanup(const char* name) { return RthFake::Get().Cleanup(name); }
int32_t rthPartitionExplain(const char* name, char* reason, uint32_t reasonSize) {
    return RthFake::Get().Explain(name, reason, reasonSize);
}
int32_t rthPartitionIdentify(const char* name, RthPartitionIdentity* identity) {
    if (name == nullptr || name[0] == '\0') {
        return RTH_BAD_NAME;
    }
    if (identity == nullptr) {
        return RTH_SYSTEM;
    }
    uint64_t object = 0;
    uint64_t size = 0;
    const int32_t result = RthFake::Get().Identify(name, &object, &size);
    if (result == RTH_OK) {
        *identity = RthPartitionIdentity{1, object, size};
    }
    return result;
}
#ifndef _WIN32
int32_t rthPartitionLock(const char* name, int32_t role, int32_t* lock,
                         RthPartitionIdentity* identity) {
    if (name == nullptr || name[0] == '\0') {
        return RTH_BAD_NAME;
    }
    if (lock == nullptr || (role != RTH_ROLE_READER && role != RTH_ROLE_WRITER)) {
        return RTH_SYSTEM;
    }
    uint64_t object = 0;
    uint64_t size = 0;
    int32_t handle = -1;
    const int32_t result = RthFake::Get().Lock(name, role, &handle, &object, &size);
    if (result == RTH_OK) {
        *lock = handle;
        if (identity != nullptr) *identity = RthPartitionIdentity{1, object, size};
    }
    return result;
}
int32_t rthPartitionUnlock(int32_t lock) { return RthFake::Get().Unlock(lock); }
int32_t rthPartitionProbeLock(const char* name, int32_t role) {
    return RthFake::Get().ProbeLock(name, role);
}
#endif
}
