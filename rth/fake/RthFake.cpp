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
    mPartitions[name] = p;
    return p.base;
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
}
