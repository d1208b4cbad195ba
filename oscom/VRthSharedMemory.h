// VRthSharedMemory: a hypervisor partition reached through the partition library (rth/).
//
// One object either creates the partition's contents (Init: zeroes it, writes the management
// header and the end marker, registers as the first user) or attaches to contents another
// party created (Open: maps, verifies checksum, version and size, registers as one more user).
// The destructor of an open object gives its reference back (only if the partition was not
// initialised anew meanwhile, and not when its memory was lost under the mapping) and closes
// the handle; it never calls shmCleanup.
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
    // end marker or larger than what was mapped.
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
    // The stamp the reference was taken under (0 until open).
    uint64_t GetInitTime() const;

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
