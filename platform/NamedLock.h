// NamedLock: a lock on a name that every process of the machine shares, held by at most one
// holder at a time and dropped by the system when the holder's process ends in any way.
//
// Windows only: the lock is a named kernel object ("Global\<name>") that exists as long as its
// holder keeps its handle; a holder that finds the object there already is refused. POSIX has no
// such objects: partitions are locked through the partition library there (rthPartitionLock).
//
// Used by one thread at a time; not copied. The lock ends when the object is destroyed.
#pragma once

#include <string>

namespace Platform {

class NamedLock {
public:
    enum class Status {
        HELD,    // taken
        BUSY,    // another holder has it (in this process or another)
        FAILED,  // the system refused; nothing held
    };

    NamedLock() = default;
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Takes the lock on name (no backslash; the system's limit on object names applies). A lock
    // held by this object before is given back first. On FAILED, *reason says why.
    Status Take(const std::string& name, std::string* reason);

    // Gives the lock back; nothing when none is held.
    void Release();

    bool Held() const { return mHandle != nullptr; }

private:
    void* mHandle = nullptr;  // HANDLE of the named object
};

}  // namespace Platform
