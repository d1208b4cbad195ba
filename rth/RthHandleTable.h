// The partition library's handles, shared by its POSIX and Windows stand-ins: a handle is an
// index into a process-local table of mapped partitions. Every operation may be called from
// any thread (one mutex guards the table). Mapping and unmapping stay with the caller, which
// knows the system calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Rth {

#if defined(_WIN32)
#define RTH_INTERNAL
#else
// Not part of the library's exported interface.
#define RTH_INTERNAL __attribute__((visibility("hidden")))
#endif

class RTH_INTERNAL RthHandleTable {
public:
    // One mapped partition: its base in this process and the length mapped.
    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
    };

    RthHandleTable() = default;
    RthHandleTable(const RthHandleTable&) = delete;
    RthHandleTable& operator=(const RthHandleTable&) = delete;

    // The one table of this process.
    static RthHandleTable& Instance();

    // Enters mapping (address not null) at the lowest free handle and returns it, or
    // SHM_KEY_INVALID (-1) when no handle up to INT32_MAX is free; the caller then unmaps.
    int32_t Add(const Mapping& mapping);

    // The base entered at handle; null when handle is negative, past the table or free.
    void* Address(int32_t handle);

    // Frees handle and returns its mapping for the caller to unmap; false (and nothing freed)
    // when handle is negative, past the table or already free.
    bool Remove(int32_t handle, Mapping* mapping);

private:
    std::mutex mMutex;
    std::vector<Mapping> mMappings;  // index = handle; address null = free slot
};

}  // namespace Rth
