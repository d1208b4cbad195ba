// RthFake: a scriptable stand-in of the five partition-library functions, of
// rthPartitionExplain (which callers use to report a failure) and of the identity and role-lock
// calls (rthPartitionIdentify; on POSIX rthPartitionLock, rthPartitionUnlock and
// rthPartitionProbeLock) for unit tests, linked in place of the real library (link-time
// substitution). It serves partitions from
// process memory, counts every call, records the arguments and returns scripted results, so
// that retries, odd handles, wrong sizes and null addresses can be tested without timing or
// shared memory. Test-only: never linked into a shipped program. Not thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class RthFake {
public:
    struct Calls {
        int sizeGet = 0;
        int open = 0;
        int addrGet = 0;
        int close = 0;
        int cleanup = 0;
        int explain = 0;
        int identify = 0;
        int lock = 0;
        int unlock = 0;
        int probe = 0;
    };

    // The one fake of the process.
    static RthFake& Get();

    // Forgets partitions, scripts, counters and records.
    void Reset();

    // Adds a zero-filled, 64-byte aligned partition of size bytes and returns its base. The
    // memory lives until Reset or until the partition is added again. Each partition added is
    // a new object: its identity (volume 1, object 1, 2, ...) differs from every earlier one.
    uint8_t* AddPartition(const std::string& name, uint32_t size);

    // Takes the name away as removing the object would; the memory stays until Reset (mapped
    // handles keep seeing it), and locks taken on it stay held.
    void RemoveName(const std::string& name);

    // The base of a partition added before, or null.
    uint8_t* Memory(const std::string& name);

    // --- Scripts (each used, then left as it is, unless said otherwise) ---
    // Results of the next shmOpen calls, one popped per call. A value other than -1 is
    // served as a handle of the named partition (a -2 "handle" then maps it all the same).
    // When empty, shmOpen gives the next free handle, or -1 for an unknown partition.
    std::deque<int32_t> openResults;
    // Written to shmOpen's size variable instead of the partition's real size.
    std::optional<uint32_t> openAreaSize;
    // Returned by shmSizeGet instead of the partition's size.
    std::optional<uint32_t> sizeGetResult;
    // shmAddrGet answers null.
    bool nullAddress = false;
    // Runs inside shmOpen, before it answers (for example to change memory meanwhile).
    std::function<void()> onOpen;
    // Code and text of rthPartitionExplain. When empty: RTH_OK "exists (SIZE bytes)" for a
    // partition added, RTH_NOT_FOUND "does not exist" otherwise.
    std::optional<std::pair<int32_t, std::string>> explainResult;
    // Result of rthPartitionIdentify instead of the partition's identity (RTH_NOT_FOUND for a
    // name without partition).
    std::optional<int32_t> identifyResult;
    // Result of rthPartitionLock instead of granting or refusing by the locks held.
    std::optional<int32_t> lockResult;

    // --- Records ---
    Calls calls;
    std::vector<std::string> sizeGetNames;
    std::vector<std::string> openNames;
    std::vector<int32_t> openModes;
    std::vector<uint32_t> openRequestedSizes;  // *size on entry of each shmOpen
    std::vector<int32_t> addrGetHandles;
    std::vector<int32_t> closedHandles;
    std::vector<std::string> cleanupNames;

    // Called by the fake library functions.
    uint32_t SizeGet(const char* name);
    int32_t Open(const char* name, int32_t mode, uint32_t* size);
    void* AddrGet(int32_t handle);
    int32_t Close(int32_t handle);
    int32_t Cleanup(const char* name);
    int32_t Explain(const char* name, char* reason, uint32_t reasonSize);
    int32_t Identify(const char* name, uint64_t* object, uint64_t* size);
    int32_t Lock(const char* name, int32_t role, int32_t* lock, uint64_t* object, uint64_t* size);
    int32_t Unlock(int32_t lock);
    int32_t ProbeLock(const char* name, int32_t role);

    // Whether a lock of role is held on the object now behind name.
    bool LockHeld(const std::string& name, int32_t role) const;

private:
    struct Partition {
        std::shared_ptr<uint8_t[]> storage;
        uint8_t* base = nullptr;
        uint32_t size = 0;
        uint64_t object = 0;  // identity
    };
    struct HeldLock {
        uint64_t object;
        int32_t role;
    };
    std::map<std::string, Partition> mPartitions;
    std::map<int32_t, HeldLock> mLocks;  // lock handle -> what it holds
    int32_t mNextLock = 0;
    uint64_t mNextObject = 1;
    std::vector<std::shared_ptr<uint8_t[]>> mRemoved;  // memory of names taken away
    std::map<int32_t, std::string> mHandles;  // open handles and their partitions
    int32_t mNextHandle = 0;
};
