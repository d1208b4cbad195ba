// The partition library's handles, shared by its POSIX and Windows stand-ins: a handle is an
// index into a process-local table of mapped partitions. Every operation may be called from
// any thread (one mutex guards the table). Mapping stays with the caller, and unmapping goes
// through the function the stand-in gives: they know the system calls.
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

    using Unmap = void (*)(const Mapping& mapping);

    // unmap undoes one mapping the stand-in made.
    explicit RthHandleTable(Unmap unmap) : mUnmap(unmap) {}
    RthHandleTable(const RthHandleTable&) = delete;
    RthHandleTable& operator=(const RthHandleTable&) = delete;

    // Enters mapping (address not null, length at most UINT32_MAX) at the lowest free handle,
    // sets *size to its length and returns the handle. When no handle up to INT32_MAX is free:
    // unmaps it, leaves *size alone and returns SHM_KEY_INVALID (-1).
    int32_t Add(const Mapping& mapping, uint32_t* size);

    // The base entered at handle; null when handle is negative, past the table or free.
    void* Address(int32_t handle);

    // Unmaps handle's mapping, frees the handle and returns 0; -1 (nothing done) when handle is
    // negative, past the table or already free.
    int32_t Close(int32_t handle);

private:
    const Unmap mUnmap;
    std::mutex mMutex;
    std::vector<Mapping> mMappings;  // index = handle; address null = free slot
};

}  // namespace Rth
