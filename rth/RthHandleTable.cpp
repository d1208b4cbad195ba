// The partition library's handle table (see RthHandleTable.h).
#include "rth/RthHandleTable.h"

#include "rth/RthLib.h"

namespace Rth {

RthHandleTable& RthHandleTable::Instance() {
    static RthHandleTable table;
    return table;
}

int32_t RthHandleTable::Add(const Mapping& mapping) {
    std::lock_guard<std::mutex> lock(mMutex);
    size_t slot = 0;
    while (slot < mMappings.size() && mMappings[slot].address != nullptr) {
        ++slot;
    }
    if (slot == mMappings.size()) {
        if (slot >= INT32_MAX) {
            return SHM_KEY_INVALID;
        }
        mMappings.emplace_back();
    }
    mMappings[slot] = mapping;
    return static_cast<int32_t>(slot);
}

void* RthHandleTable::Address(int32_t handle) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= mMappings.size()) {
        return nullptr;
    }
    return mMappings[static_cast<size_t>(handle)].address;
}

bool RthHandleTable::Remove(int32_t handle, Mapping* mapping) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= mMappings.size() ||
        mMappings[static_cast<size_t>(handle)].address == nullptr) {
        return false;
    }
    *mapping = mMappings[static_cast<size_t>(handle)];
    mMappings[static_cast<size_t>(handle)] = Mapping{};
    return true;
}

}  // namespace Rth
