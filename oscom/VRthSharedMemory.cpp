// VRthSharedMemory: opening, creating and releasing a hypervisor partition through the
// partition library. Used by one thread per object.
#include "oscom/VRthSharedMemory.h"

#include "diag/DiagLogger.h"
#include "diag/ZulAssert.h"
#include "oscom/PartitionRules.h"
#include "oscom/SharedAccess.h"
#include "platform/MappingGuard.h"
#include "platform/PlatformTime.h"
#include "rth/RthLib.h"

namespace ZulOsCom {

namespace {

constexpr const char* FN_OPEN = "ZulOsCom::VRthSharedMemory::Open";
constexpr const char* FN_WINDOW = "ZulOsCom::VRthSharedMemory::OpenShMemWindow";
constexpr const char* FN_INIT = "ZulOsCom::VRthSharedMemory::Init";

constexpr uint32_t MIN_PARTITION_SIZE = PartitionRules::MIN_SIZE_FOR_HEADERS;
constexpr int INIT_ATTEMPTS = 4;

// Header fields that another process may write (when it initialises the partition anew).
uint32_t LoadShared(const uint32_t& field) {
    return SharedAccess::Load(field, std::memory_order_relaxed);
}

}  // namespace

VRthSharedMemory::VRthSharedMemory(const char* name, bool noCleanup)
    : mName(name != nullptr ? name : ""), mNoCleanup(noCleanup) {}

VRthSharedMemory::~VRthSharedMemory() {
    if (!mIsOpen) {
        return;
    }
    ReleaseReference();
    if (mHandle != -1) {
        CloseHandle();
    }
}

void VRthSharedMemory::ReleaseReference() {
    if (!mReferenceHeld.exchange(false)) {
        return;
    }
    // A partition truncated under the mapping reads zeros from the fault on; a check that fails
    // over them throws PartitionMemoryLost, which must not leave a destructor or a forced end.
    // There is nothing left to give back then.
    // A release that meets the partition being set up anew (under a SetUpRaceScope) has nothing
    // left to give back either.
    try {
        mMemory->ReleaseRefIfTimeStampMatches(mInitTime);
    } catch (const PlixBase::PartitionMemoryLost&) {
    } catch (const PlixBase::PartitionBeingSetUp&) {
    }
}

void VRthSharedMemory::ReleaseReferenceThroughName() {
    if (!mReferenceHeld.exchange(false)) {
        return;
    }
    const char* name = mName.c_str();
    const uint32_t size = shmSizeGet(name);
    if (size < SHM_MGMT_HEADER_SIZE) {
        return;
    }
    uint32_t area = size;
    const int32_t handle = shmOpen(name, 0, &area);
    if (handle == SHM_KEY_INVALID) {
        return;
    }
    auto* header = static_cast<VShmHeader*>(shmAddrGet(handle));
    if (header != nullptr && area == size) {
        Platform::MappingGuard::Watch(header, size);
        try {
            // Skipped (a warning) unless the header still carries this reference's stamp.
            header->ReleaseRefIfTimeStampMatches(mInitTime);
        } catch (const PlixBase::PartitionMemoryLost&) {
        } catch (const PlixBase::PartitionBeingSetUp&) {
        }
        Platform::MappingGuard::Unwatch(header);
    }
    shmClose(handle);
}

uint64_t VRthSharedMemory::GetInitTime() const { return mInitTime; }

uint64_t VRthSharedMemory::LoadHeaderInitTime() const {
    return mIsOpen ? mMemory->LoadInitTime() : 0;
}

void VRthSharedMemory::CloseHandle() {
    Platform::MappingGuard::Unwatch(mMemory);
    shmClose(mHandle);
    mHandle = -1;
}

bool VRthSharedMemory::OpenShMemWindow(uint32_t size) {
    const char* name = mName.c_str();
    if (shmSizeGet(name) == 0) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_WINDOW, __LINE__,
                                   "RTH Shared Memory partition \"%s\" not available\n", name);
        return false;
    }
    uint32_t area = size;
    mHandle = shmOpen(name, 0, &area);
    if (mHandle == SHM_KEY_INVALID) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_WINDOW, __LINE__,
                                   "shmOpen() failed for \"%s\" partition with size %d\n", name,
                                   static_cast<int>(size));
        return false;
    }
    if (area != size) {
        DiagLogger::Instance().Log(
            DIAG_ERROR, FN_WINDOW, __LINE__,
            "RTH Shared Memory partition doesn't have specified size. Should "
            "be %d but is %d\n",
            static_cast<int>(size), static_cast<int>(area));
        CloseHandle();
        return false;
    }
    mMemory = static_cast<VShmHeader*>(shmAddrGet(mHandle));
    if (mMemory == nullptr) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_WINDOW, __LINE__,
                                   "Couldn't get pointer to shared memory area\n");
        CloseHandle();
        return false;
    }
    // Watched before the first access: the object may be truncated at any moment.
    Platform::MappingGuard::Watch(mMemory, size);
    return true;
}

bool VRthSharedMemory::Open(uint32_t& size) {
    const char* name = mName.c_str();
    if (mIsOpen) {
        size = LoadShared(mMemory->size);
        return true;
    }

    const uint32_t s = GetSize();
    if (s < SHM_MGMT_HEADER_SIZE) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_OPEN, __LINE__,
                                   "SHM size of \"%s\" is smaller than mgmt header!\n", name);
        return false;
    }
    if (!OpenShMemWindow(s)) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_OPEN, __LINE__, "Could not open \"%s\"!\n", name);
        return false;
    }
    if (!PartitionRules::ChecksumHolds(mMemory->ComputeSum())) {
        CloseHandle();
        DiagLogger::Instance().Log(DIAG_ERROR, FN_OPEN, __LINE__,
                                   "name=%s: Wrong checksum, shared Memory not correctly "
                                   "initialized (not initialized?)\n",
                                   name);
        return false;
    }
    if (!PartitionRules::VersionMatches(LoadShared(mMemory->version))) {
        CloseHandle();
        DiagLogger::Instance().Log(
            DIAG_ERROR, FN_OPEN, __LINE__,
            "name=%s: Wrong version of OsCom found in shared memory header!\n", name);
        return false;
    }
    // The header's size places the end marker and bounds the user area that is handed out, so
    // it must lie within what was mapped and leave room for the header and the end marker. It
    // is read once and that value is used from here on.
    const uint32_t headerSize = LoadShared(mMemory->size);
    if (headerSize > s || headerSize < MIN_PARTITION_SIZE) {
        CloseHandle();
        DiagLogger::Instance().Log(DIAG_ERROR, FN_OPEN, __LINE__,
                                   "name=%s: Wrong size %u in shared memory header, partition has "
                                   "%u bytes!\n",
                                   name, headerSize, s);
        return false;
    }

    // A failed protocol check throws under a SetUpRaceScope, and over lost memory: Open fails
    // then too, and closes its handle first as on every other failure.
    try {
        mInitTime = mMemory->AddRefGetInitTime(!mNoCleanup);
    } catch (...) {
        CloseHandle();
        throw;
    }
    if (mInitTime == 0) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_OPEN, __LINE__,
                                   "Unexpected state in VRthSharedMemory::Open() of %s: ref=%d\n",
                                   name, mMemory->LoadRefCount());
        CloseHandle();
        return false;
    }
    DiagLogger::Instance().Log(DIAG_INFO, FN_OPEN, __LINE__,
                               "VRthSharedMemory::Open() of %s: ref=%d mNoCleanup=%d\n", name,
                               mMemory->LoadRefCount(), mNoCleanup ? 1 : 0);

    auto* base = reinterpret_cast<uint8_t*>(mMemory);
    mUserArea = base + SHM_MGMT_HEADER_SIZE;
    mSize = headerSize;
    mUserAreaEnd = base + headerSize - SHM_END_MARKER_SIZE;
    size = headerSize;
    mIsOpen = true;
    mReferenceHeld.store(true);
    return true;
}

bool VRthSharedMemory::Init(uint32_t size, int32_t& error) {
    const char* name = mName.c_str();
    error = 0;
    if (mIsOpen) {
        return true;
    }
    // The header and the end marker are written into the partition: a smaller one would have
    // them written beyond its end.
    if (size < MIN_PARTITION_SIZE) {
        DiagLogger::Instance().Log(
            DIAG_ERROR, FN_INIT, __LINE__,
            "RTH Shared Memory size %u of \"%s\" is smaller than mgmt header "
            "and end marker!\n",
            size, name);
        error = 4;
        return false;
    }

    const uint32_t p = shmSizeGet(name);
    if (p == 0) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                   "RTH Shared Memory partition \"%s\" not available\n", name);
        error = 12;
        return false;
    }

    uint32_t area = 0;
    for (int r = 0; r < INIT_ATTEMPTS; ++r) {
        area = size;
        mHandle = shmOpen(name, 0, &area);
        if (mHandle >= 0) {
            if (r > 0) {
                DiagLogger::Instance().Log(DIAG_INFO, FN_INIT, __LINE__,
                                           "shmOpen succeeded after %d retries! Result = %d, area "
                                           "size = %d",
                                           r, mHandle, static_cast<int>(area));
            }
            break;
        }
        DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                   "RTH shared memory partition \"%s\" could not be opened! "
                                   "shmOpen() failed with partition size = %d, area size = %d, "
                                   "result = %d\n",
                                   name, static_cast<int>(p), static_cast<int>(area), mHandle);
        if (r == INIT_ATTEMPTS - 1) {
            mHandle = -1;
            break;
        }
        if (mHandle == SHM_KEY_INVALID) {
            DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                       "shmOpen returned SHM_KEY_INVALID (%d), try to recover "
                                       "shared memory [%d/3]",
                                       mHandle, r + 1);
        } else {
            DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                       "shmOpen returned unexpected failure (%d), try to recover "
                                       "shared memory [%d/3]",
                                       mHandle, r + 1);
        }
        shmCleanup(name);
        if (r > 0) {
            DiagLogger::Instance().Log(DIAG_INFO, FN_INIT, __LINE__,
                                       "Wait %d seconds before retry of shmOpen", r * r);
            Platform::PlatformTime::Sleep(static_cast<uint32_t>(r * r) * 1000);
        }
    }
    if (mHandle == -1) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                   "Could not open shared memory partition.");
        shmCleanup(name);
        error = 1;
        return false;
    }
    if (area != size) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                   "RTH Shared Memory area doesn't have specified size. Should be "
                                   "%d but is %d\n",
                                   static_cast<int>(size), static_cast<int>(area));
        CloseHandle();
        error = 4;
        return false;
    }
    mMemory = static_cast<VShmHeader*>(shmAddrGet(mHandle));
    if (mMemory == nullptr) {
        DiagLogger::Instance().Log(DIAG_ERROR, FN_INIT, __LINE__,
                                   "Couldn't get pointer to shared memory area\n");
        CloseHandle();
        error = 1;
        return false;
    }
    Platform::MappingGuard::Watch(mMemory, size);

    auto* base = reinterpret_cast<uint8_t*>(mMemory);
    SharedAccess::Zero(base, size);
    mMemory->StoreIdentity(mName, size);
    mInitTime = mMemory->InitRefCountAndTime();
    const UCHAR sum = mMemory->SealChecksum();
    const UCHAR checksum = SharedAccess::Load(mMemory->checksum, std::memory_order_relaxed);
    ZUL_ASSERT_AS(((UCHAR)(checksum + sum)) == 0, "((UCHAR)(mMemory->checksum + sum)) == 0");

    mSize = size;
    mUserArea = base + SHM_MGMT_HEADER_SIZE;
    mUserAreaEnd = base + size - SHM_END_MARKER_SIZE;
    SharedAccess::StoreLittleEndian32(mUserAreaEnd, SHM_END_MARKER);
    mIsOpen = true;
    mReferenceHeld.store(true);
    return true;
}

const char* VRthSharedMemory::GetName() const { return mName.c_str(); }

int32_t VRthSharedMemory::GetType() const { return mType; }

void* VRthSharedMemory::GetUserAreaAddress() const { return mUserArea; }

uint32_t VRthSharedMemory::GetSize() {
    if (mSize == 0) {
        mSize = shmSizeGet(mName.c_str());
    }
    return mSize;
}

uint32_t VRthSharedMemory::GetUserAreaSize() const {
    if (mSize < MIN_PARTITION_SIZE) {
        return 0;
    }
    return (mSize - MIN_PARTITION_SIZE) & ~(QUEUE_ALIGNMENT - 1);
}

void* VRthSharedMemory::GetUserAreaEnd() const { return mUserAreaEnd; }

}  // namespace ZulOsCom
