// The partition library's handle table (see RthHandleTable.h).
#include "rth/RthHandleTable.h"

#include "rth/RthLib.h"

namespace Rth {

int32_t RthHandleTable::Add(const Mapping& mapping, uint32_t* size) {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t slot = 0;
    while (slot < mMappings.size() && mMappings[slot].address != nullptr) {
        ++slot;
    }
    if (slot == mMappings.size()) {
        if (slot >= INT32_MAX) {
            mUnmap(mapping);
            return SHM_KEY_INVALID;
        }
        mMappings.emplace_back();
    }
    mMappings[slot] = mapping;
    *size = static_cast<uint32_t>(mapping.length);
    return static_cast<int32_t>(slot);
}

void* RthHandleTable::Address(int32_t handle) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= mMappings.size()) {
        return nullptr;
    }
    return mMappings[static_cast<size_t>(handle)].address;
}

int32_t RthHandleTable::Close(int32_t handle) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= mMappings.size() ||
        mMappings[static_cast<size_t>(handle)].address == nullptr) {
        return -1;
    }
    Mapping& mapping = mMappings[static_cast<size_t>(handle)];
    mUnmap(mapping);
    mapping = Mapping{};
    return 0;
}

}  // namespace Rth
