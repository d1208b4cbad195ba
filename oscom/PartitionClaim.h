// PartitionClaim: a process's claim on a partition in one role, the queue's reader or its
// writer. At most one claim per role and partition exists at a time, across all processes, and
// the system drops a claim when its process ends in any way (SIGKILL too), so a reader or writer
// that died never keeps its successor out. Claims of different roles never conflict.
//
//   POSIX: an open-file-description lock on the partition object, taken through the partition
//   library's admin call rthPartitionLock. The claim remembers which object it locked (device
//   and inode), so that its holder can tell once a second, without opening or mapping anything,
//   whether the name still leads to that object (Check).
//   Windows: a named kernel object per role and partition name (Platform::NamedLock,
//   "plixtrace.reader.<prefix><name>"; the prefix is RTH_SHM_PREFIX, as the library's). A
//   partition file that a process maps can be neither removed nor replaced there, and the
//   hypervisor's library has no identity call: Check always says SAME.
//
// The claim does not open or map the partition: its holder does that after claiming, and
// confirms with Check that it mapped the object it claimed.
//
// One thread per object; not copied. The claim ends when the object is destroyed.
#pragma once

#include <cstdint>
#include <string>

#ifdef _WIN32
#include "platform/NamedLock.h"
#endif

namespace ZulOsCom {

class PartitionClaim {
public:
    enum class Role { READER, WRITER };

    enum class Result {
        CLAIMED,
        BUSY,     // another claim of that role holds the partition
        MISSING,  // no partition of that name, or one the library refuses (POSIX only)
        FAILED,   // the system refused for another reason
    };

    // What stands behind the name now, against the object claimed.
    enum class Behind {
        SAME,      // the object claimed, at least size bytes long
        SHRUNK,    // the object claimed, now shorter than size bytes
        REMOVED,   // nothing (or an object the library refuses)
        REPLACED,  // another object
    };

    PartitionClaim() = default;
    ~PartitionClaim();
    PartitionClaim(const PartitionClaim&) = delete;
    PartitionClaim& operator=(const PartitionClaim&) = delete;

    // Claims partition name (NUL-terminated) in role, giving back a claim held before. When
    // another claim holds it, tries again every 10 ms for up to waitMs milliseconds (0: once):
    // a writer holds the reader's role for the moment it sets a partition up.
    Result Claim(const char* name, Role role, uint32_t waitMs);

    // Gives the claim back; nothing when none is held.
    void Release();

    bool Held() const;

    // Compares the object behind the claimed name now with the one claimed; size: the bytes the
    // holder touches (an object shorter than that has shrunk under its mapping). One identity
    // look-up by name, no open, no mapping, never blocks; any thread while the claim is held
    // (the forced end of a process asks from another thread). SAME when no claim is held.
    Behind Check(uint32_t size) const;

private:
    std::string mName;
#ifdef _WIN32
    Platform::NamedLock mLock;
#else
    int32_t mLock = -1;       // rthPartitionLock's handle; -1 while none is held
    uint64_t mVolume = 0;     // the object locked
    uint64_t mObject = 0;
#endif
};

}  // namespace ZulOsCom
