// VRthSharedMemory: a hypervisor partition reached through the partition library (rth/).
//
// One object either creates the partition's contents (Init: zeroes it, writes the management
// header and the end marker, registers as the first user) or attaches to contents another
// party created (Open: maps, verifies checksum, version and size, registers as one more user).
// The destructor of an open object gives its reference back (only if the partition was not
// initialised anew meanwhile, and not when its memory was lost under the mapping) and closes
// the handle; it never calls shmCleanup.
//
// The mapping is watched by the platform's mapping guard (Platform::MappingGuard) from the
// moment it is made until its handle is closed, so that a partition truncated under it, even
// while it is being opened, reads zeros instead of killing the process (the guard watches one
// range: the last mapping made).
//
// Failures are reported through DiagLogger and end in false; broken protocol states end the
// process through ZUL_ASSERT. Objects are used by one thread and are not copied.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "oscom/VISharedMemory.h"
#include "oscom/VShmHeader.h"

namespace ZulOsCom {

class VRthSharedMemory : public VISharedMemory {
public:
    // name: the partition's name; noCleanup: true for a user that does not expect other
    // users to be attached already (passed on as expectOthers = !noCleanup when attaching).
    // Calls no library function.
    VRthSharedMemory(const char* name, bool noCleanup);
    ~VRthSharedMemory() override;

    VRthSharedMemory(const VRthSharedMemory&) = delete;
    VRthSharedMemory& operator=(const VRthSharedMemory&) = delete;

    // Creates the contents, with up to four open attempts and recovery calls in between
    // (pauses of 0, 1 and 4 s through the platform). error: 0 success or already open, 12 not
    // available, 1 not openable or no address, 4 wrong size (also, before any library call, a
    // size below 68, which cannot hold the header and the end marker). A name of 32 characters
    // or more is stored as its first 31. Lets the std::runtime_error of InitRefCountAndTime
    // pass, with the handle still held.
    bool Init(uint32_t size, int32_t& error) override;
    // Attaches; on success size is the header's size. Refuses (closing the handle) a wrong
    // checksum or version, and a header size that is smaller than the management header plus
    // end marker or larger than what was mapped. An exception of the reference-count protocol's
    // checks (PlixBase::PartitionBeingSetUp under a SetUpRaceScope, PartitionMemoryLost over
    // lost memory) passes after the handle was closed; the object stays closed.
    bool Open(uint32_t& size) override;
    bool OpenShMemWindow(uint32_t size) override;
    const char* GetName() const override;
    int32_t GetType() const override;
    void* GetUserAreaAddress() const override;
    uint32_t GetSize() override;
    // Largest multiple of 64 not above mSize - 68 (0 for partitions of fewer than 68 bytes).
    uint32_t GetUserAreaSize() const override;
    void* GetUserAreaEnd() const override;

    // Gives the reference that Open or Init took back, once, as the destructor does (which then
    // skips it); the mapping stays. For a process that must end while the object's owner thread
    // is blocked elsewhere: of concurrent calls only the first releases.
    void ReleaseReference();
    // After the mapping was lost (the object shrank under it and now reads zeros): gives the
    // reference back, once, on the object now behind the name, through a mapping of its own
    // (the size passed to shmOpen and compared; watched while touched; closed again), when that
    // object's header still carries the stamp the reference was taken under; otherwise, or when
    // no such object can be opened, the reference is dropped. The caller makes sure that the
    // name still leads to the object it opened. Failures of the reference-count protocol under
    // a PlixBase::SetUpRaceScope drop the reference as well. Calls nothing when no reference is
    // held. Used as ReleaseReference is (same thread rules).
    void ReleaseReferenceThroughName();
    // The stamp the reference was taken under (0 until open).
    uint64_t GetInitTime() const;
    // The stamp in the mapped header now (0 while not open): differs from GetInitTime when the
    // partition was set up anew under this object.
    uint64_t LoadHeaderInitTime() const;

private:
    void CloseHandle();

    std::string mName;
    uint32_t mSize = 0;
    int32_t mType = SHM_TYPE_RTH;
    VShmHeader* mMemory = nullptr;
    int32_t mHandle = -1;
    uint8_t* mUserArea = nullptr;
    uint8_t* mUserAreaEnd = nullptr;
    bool mIsOpen = false;
    std::atomic<bool> mReferenceHeld{false};
    uint64_t mInitTime = 0;
    bool mNoCleanup;
};

}  // namespace ZulOsCom
