// VRthSharedMemory against the partition-library fake: Open, OpenShMemWindow, Init, release.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "diag/ZulAssert.h"
#include "oscom/VRthSharedMemory.h"
#include "rth/fake/RthFake.h"
#include "tests/oscom/OscomTestSupport.h"

using namespace ZulOsCom;
using OscomTest::DiagCaptureTest;
using OscomTest::WriteHeader;

namespace {

constexpr const char* OPEN = "ZulOsCom::VRthSharedMemory::Open";
constexpr const char* WINDOW = "ZulOsCom::VRthSharedMemory::OpenShMemWindow";
constexpr const char* INIT = "ZulOsCom::VRthSharedMemory::Init";

using VRthSharedMemoryTest = DiagCaptureTest;

VShmHeader* HeaderOf(uint8_t* base) { return reinterpret_cast<VShmHeader*>(base); }

TEST_F(VRthSharedMemoryTest, OpenRefusesMissingTinyAndUninitialisedPartitions) {
    RthFake& fake = RthFake::Get();
    {
        VRthSharedMemory shm("nothere", true);
        uint32_t size = 7;
        EXPECT_FALSE(shm.Open(size));
        EXPECT_EQ(7u, size);
        EXPECT_EQ(0, fake.calls.open);
        EXPECT_EQ(std::vector<std::string>{"SHM size of \"nothere\" is smaller than mgmt header!"},
                  Messages("ERROR", OPEN));
    }
    {
        fake.AddPartition("p63", 63);
        VRthSharedMemory shm("p63", true);
        uint32_t size = 0;
        EXPECT_FALSE(shm.Open(size));
        EXPECT_EQ(0, fake.calls.open);
    }
    // 64 bytes pass the first check; zeroed, the checksum passes and the version fails.
    for (uint32_t partitionSize : {64u, 4096u}) {
        fake.Reset();
        ClearLines();
        fake.AddPartition("zero", partitionSize);
        VRthSharedMemory shm("zero", true);
        uint32_t size = 0;
        EXPECT_FALSE(shm.Open(size));
        EXPECT_EQ(1, fake.calls.open);
        EXPECT_EQ(std::vector<uint32_t>{partitionSize}, fake.openRequestedSizes);
        EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
        EXPECT_EQ(std::vector<std::string>{"name=zero: Wrong version of OsCom found in shared "
                                           "memory header!"},
                  Messages("ERROR", OPEN));
    }
    // One wrong byte: the checksum fails.
    fake.Reset();
    ClearLines();
    uint8_t* base = fake.AddPartition("bad", 4096);
    WriteHeader(base, "bad", 4096, 1, 1);
    base[33] ^= 1;
    VRthSharedMemory shm("bad", true);
    uint32_t size = 0;
    EXPECT_FALSE(shm.Open(size));
    EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
    EXPECT_EQ(std::vector<std::string>{"name=bad: Wrong checksum, shared Memory not correctly "
                                       "initialized (not initialized?)"},
              Messages("ERROR", OPEN));
    EXPECT_EQ(1, HeaderOf(base)->refCount);
}

TEST_F(VRthSharedMemoryTest, OpenRefusesHeaderSizeThatDoesNotFitTheMapping) {
    RthFake& fake = RthFake::Get();
    // Larger than mapped, then smaller than header plus end marker; 68 is the least accepted.
    const uint32_t cases[][3] = {{4096, 4097, 0}, {4096, 67, 0}, {64, 64, 0}, {68, 68, 1}};
    for (const auto& c : cases) {
        fake.Reset();
        ClearLines();
        uint8_t* base = fake.AddPartition("p", c[0]);
        WriteHeader(base, "p", c[1], 1, 1);
        {
            VRthSharedMemory shm("p", true);
            uint32_t size = 0;
            EXPECT_EQ(c[2] == 1, shm.Open(size)) << c[0] << " " << c[1];
            if (c[2] == 1) {
                EXPECT_EQ(c[1], size);
                EXPECT_EQ(base + c[1] - 4, shm.GetUserAreaEnd());
                EXPECT_EQ(0u, shm.GetUserAreaSize());
            } else {
                EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
                EXPECT_EQ(1, HeaderOf(base)->refCount);
                EXPECT_EQ(std::vector<std::string>{"name=p: Wrong size " + std::to_string(c[1]) +
                                                   " in shared memory header, partition has " +
                                                   std::to_string(c[0]) + " bytes!"},
                          Messages("ERROR", OPEN));
            }
        }
        EXPECT_EQ(1, HeaderOf(base)->refCount);
    }
}

TEST_F(VRthSharedMemoryTest, OpenAttachesAndDestructorReleases) {
    RthFake& fake = RthFake::Get();
    uint8_t* base = fake.AddPartition("part", 4096);
    WriteHeader(base, "part", 4096, 42, 1);
    fake.openResults = {-2};  // any value but -1 is a handle here
    {
        VRthSharedMemory shm("part", false);
        EXPECT_EQ(nullptr, shm.GetUserAreaAddress());
        uint32_t size = 0;
        ASSERT_TRUE(shm.Open(size));
        EXPECT_EQ(4096u, size);
        EXPECT_EQ(2, HeaderOf(base)->refCount);
        EXPECT_EQ(std::vector<int32_t>{-2}, fake.addrGetHandles);
        EXPECT_EQ(std::vector<int32_t>{0}, fake.openModes);
        EXPECT_EQ(base + 64, shm.GetUserAreaAddress());
        EXPECT_EQ(base + 4092, shm.GetUserAreaEnd());
        EXPECT_EQ(3968u, shm.GetUserAreaSize());
        EXPECT_EQ(4096u, shm.GetSize());
        EXPECT_STREQ("part", shm.GetName());
        EXPECT_EQ(2, shm.GetType());
        EXPECT_EQ(std::vector<std::string>{"VRthSharedMemory::Open() of part: ref=2 mNoCleanup=0"},
                  Messages("INFO", OPEN));

        // A second Open calls nothing and counts nothing.
        const RthFake::Calls before = fake.calls;
        size = 0;
        EXPECT_TRUE(shm.Open(size));
        EXPECT_EQ(4096u, size);
        EXPECT_EQ(before.sizeGet, fake.calls.sizeGet);
        EXPECT_EQ(before.open, fake.calls.open);
        EXPECT_EQ(2, HeaderOf(base)->refCount);
        EXPECT_EQ(0, fake.calls.close);
    }
    EXPECT_EQ(1, HeaderOf(base)->refCount);
    EXPECT_EQ(std::vector<int32_t>{-2}, fake.closedHandles);
    EXPECT_EQ(0, fake.calls.cleanup);

    // Re-initialised while attached: the release is skipped, the handle still closed.
    fake.Reset();
    ClearLines();
    base = fake.AddPartition("part", 4096);
    WriteHeader(base, "part", 4096, 42, 1);
    {
        VRthSharedMemory shm("part", true);
        uint32_t size = 0;
        ASSERT_TRUE(shm.Open(size));
        WriteHeader(base, "part", 4096, 43, 1);
    }
    EXPECT_EQ(1, HeaderOf(base)->refCount);
    EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
    EXPECT_EQ(0, fake.calls.cleanup);

    // Never opened: the destructor calls nothing.
    fake.Reset();
    { VRthSharedMemory shm("part", true); }
    EXPECT_EQ(0, fake.calls.sizeGet + fake.calls.open + fake.calls.close + fake.calls.cleanup);
}

// A partition set up by another party while a follower attaches or releases: under a
// SetUpRaceScope the protocol's fatal checks throw PartitionBeingSetUp instead of ending the
// process, Open closes its handle first, and a release lets nothing out.
TEST_F(VRthSharedMemoryTest, SetUpMeanwhileThrowsUnderASetUpRaceScopeAndLeaksNoHandle) {
    RthFake& fake = RthFake::Get();
    uint8_t* base = fake.AddPartition("part", 4096);
    PlixBase::SetUpRaceScope tolerate;
    for (const uint64_t stamp : {42, 0}) {  // changed between the reads; zeroed beforehand
        SCOPED_TRACE(stamp);
        WriteHeader(base, "part", 4096, stamp, 1);
        const int closedBefore = fake.calls.close;
        {
            VShmHeader::sAfterInterlockedStepForTesting = [](VShmHeader& h) {
                h.StoreInitTime(43);
            };
            VRthSharedMemory shm("part", true);
            uint32_t size = 0;
            EXPECT_THROW(shm.Open(size), PlixBase::PartitionBeingSetUp);
            VShmHeader::sAfterInterlockedStepForTesting = nullptr;
            EXPECT_EQ(closedBefore + 1, fake.calls.close);
        }
        EXPECT_EQ(closedBefore + 1, fake.calls.close);  // nothing more from the destructor
    }

    WriteHeader(base, "part", 4096, 44, 1);
    {
        VRthSharedMemory shm("part", true);
        uint32_t size = 0;
        ASSERT_TRUE(shm.Open(size));
        EXPECT_EQ(2, HeaderOf(base)->refCount);
        VShmHeader::sAfterInterlockedStepForTesting = [](VShmHeader& h) { h.StoreInitTime(45); };
        shm.ReleaseReference();
        VShmHeader::sAfterInterlockedStepForTesting = nullptr;
        // The protocol took its release back before the check failed; the set-up owns the rest.
        EXPECT_EQ(2, HeaderOf(base)->refCount);
    }
    EXPECT_EQ(2, HeaderOf(base)->refCount);  // released once only
}

TEST_F(VRthSharedMemoryTest, OpenExpectingOthersOnUnusedPartition) {
    RthFake& fake = RthFake::Get();
    uint8_t* base = fake.AddPartition("part", 4096);
    WriteHeader(base, "part", 4096, 42, 0);
    {
        VRthSharedMemory shm("part", false);
        uint32_t size = 0;
        EXPECT_FALSE(shm.Open(size));
        EXPECT_EQ(0, HeaderOf(base)->refCount);
        EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
        EXPECT_EQ(std::vector<std::string>{"Unexpected state in VRthSharedMemory::Open() of part: "
                                           "ref=0"},
                  Messages("ERROR", OPEN));
    }
    EXPECT_EQ(1, fake.calls.close);  // nothing more from the destructor

    ClearLines();
    VRthSharedMemory shm("part", true);
    uint32_t size = 0;
    EXPECT_TRUE(shm.Open(size));
    EXPECT_EQ(std::vector<std::string>{"VRthSharedMemory::Open() of part: ref=1 mNoCleanup=1"},
              Messages("INFO", OPEN));
}

TEST_F(VRthSharedMemoryTest, OpenShMemWindowFailures) {
    RthFake& fake = RthFake::Get();
    uint8_t* base = fake.AddPartition("part", 4096);
    WriteHeader(base, "part", 4096, 42, 1);
    VRthSharedMemory shm("part", true);
    uint32_t size = 0;

    fake.openResults = {-1};
    EXPECT_FALSE(shm.Open(size));
    fake.openAreaSize = 2048;
    EXPECT_FALSE(shm.Open(size));
    fake.openAreaSize.reset();
    fake.nullAddress = true;
    EXPECT_FALSE(shm.Open(size));
    EXPECT_EQ(3, fake.calls.open);
    EXPECT_EQ((std::vector<int32_t>{0, 1}), fake.closedHandles);
    EXPECT_EQ((std::vector<std::string>{
                  "shmOpen() failed for \"part\" partition with size 4096",
                  "RTH Shared Memory partition doesn't have specified size. Should be 4096 but is "
                  "2048",
                  "Couldn't get pointer to shared memory area"}),
              Messages("ERROR", WINDOW));
    EXPECT_EQ(std::vector<std::string>(3, "Could not open \"part\"!"), Messages("ERROR", OPEN));
    EXPECT_EQ(1, HeaderOf(base)->refCount);

    // The partition disappears between the size query and the window.
    fake.nullAddress = false;
    ClearLines();
    fake.sizeGetResult = 0;
    EXPECT_FALSE(shm.OpenShMemWindow(4096));
    EXPECT_EQ(std::vector<std::string>{"RTH Shared Memory partition \"part\" not available"},
              Messages("ERROR", WINDOW));
    EXPECT_EQ(3, fake.calls.open);
}

TEST_F(VRthSharedMemoryTest, InitCreatesTheContents) {
    RthFake& fake = RthFake::Get();
    uint8_t* base = fake.AddPartition("trace", 4096);
    std::memset(base, 0xAB, 4096);
    int32_t error = -1;
    {
        VRthSharedMemory shm("trace", false);
        ASSERT_TRUE(shm.Init(4096, error));
        EXPECT_EQ(0, error);
        const VShmHeader* h = HeaderOf(base);
        EXPECT_EQ(0, h->ComputeSum());
        EXPECT_STREQ("trace", h->name);
        EXPECT_EQ(4096u, h->size);
        EXPECT_EQ(OSCOM_SHM_VERSION, h->version);
        EXPECT_NE(0u, h->LoadInitTime());
        EXPECT_EQ(1, h->refCount);
        uint32_t marker = 0;
        std::memcpy(&marker, base + 4092, 4);
        EXPECT_EQ(0xDEDEDEDEu, marker);
        for (int i = 64; i < 4092; ++i) {
            ASSERT_EQ(0, base[i]) << i;
        }
        EXPECT_EQ(base + 64, shm.GetUserAreaAddress());
        EXPECT_EQ(base + 4092, shm.GetUserAreaEnd());
        EXPECT_EQ(3968u, shm.GetUserAreaSize());
        EXPECT_EQ(0, fake.calls.cleanup);
        EXPECT_TRUE(Sleeps().empty());

        // A second user attaches; Init again calls nothing.
        VRthSharedMemory user("trace", false);
        uint32_t size = 0;
        EXPECT_TRUE(user.Open(size));
        EXPECT_EQ(2, h->refCount);
        const int opens = fake.calls.open;
        error = -1;
        EXPECT_TRUE(shm.Init(4096, error));
        EXPECT_EQ(0, error);
        EXPECT_EQ(opens, fake.calls.open);
    }
    EXPECT_EQ(0, HeaderOf(base)->refCount);
    EXPECT_EQ(0, fake.calls.cleanup);

    // A name of 32 characters or more keeps its first 31.
    fake.Reset();
    base = fake.AddPartition(std::string(40, 'n'), 256);
    VRthSharedMemory longName(std::string(40, 'n').c_str(), true);
    ASSERT_TRUE(longName.Init(256, error));
    EXPECT_EQ(std::string(31, 'n'), std::string(HeaderOf(base)->name));
    EXPECT_EQ(0, base[31]);
    EXPECT_EQ(0, HeaderOf(base)->ComputeSum());
}

TEST_F(VRthSharedMemoryTest, InitRetriesAndRecovers) {
    RthFake& fake = RthFake::Get();
    fake.AddPartition("trace", 4096);
    int32_t error = -1;
    {
        // Every negative result fails here, -2 included.
        fake.openResults = {-1, -2, -1, -3};
        VRthSharedMemory shm("trace", false);
        EXPECT_FALSE(shm.Init(4096, error));
        EXPECT_EQ(1, error);
        EXPECT_EQ(4, fake.calls.open);
        EXPECT_EQ(4, fake.calls.cleanup);
        EXPECT_EQ(std::vector<std::string>(4, "trace"), fake.cleanupNames);
        EXPECT_EQ((std::vector<uint32_t>{1000, 4000}), Sleeps());
        EXPECT_EQ(0, fake.calls.addrGet);
        const std::string failed =
            "RTH shared memory partition \"trace\" could not be opened! "
            "shmOpen() failed with partition size = 4096, area size = ";
        EXPECT_EQ(
            (std::vector<std::string>{
                failed + "4096, result = -1",
                "shmOpen returned SHM_KEY_INVALID (-1), try to recover shared memory [1/3]",
                failed + "4096, result = -2",
                "shmOpen returned unexpected failure (-2), try to recover shared memory [2/3]",
                failed + "4096, result = -1",
                "shmOpen returned SHM_KEY_INVALID (-1), try to recover shared memory [3/3]",
                failed + "4096, result = -3", "Could not open shared memory partition."}),
            Messages("ERROR", INIT));
        EXPECT_EQ((std::vector<std::string>{"Wait 1 seconds before retry of shmOpen",
                                            "Wait 4 seconds before retry of shmOpen"}),
                  Messages("INFO", INIT));
    }
    EXPECT_EQ(0, fake.calls.close);

    // Success at the second attempt: one recovery call, no pause.
    fake.Reset();
    Sleeps().clear();
    ClearLines();
    fake.AddPartition("trace", 4096);
    fake.openResults = {-1, 5};
    VRthSharedMemory shm("trace", false);
    EXPECT_TRUE(shm.Init(4096, error));
    EXPECT_EQ(0, error);
    EXPECT_EQ(2, fake.calls.open);
    EXPECT_EQ(1, fake.calls.cleanup);
    EXPECT_TRUE(Sleeps().empty());
    EXPECT_EQ(std::vector<std::string>{"shmOpen succeeded after 1 retries! Result = 5, area size = "
                                       "4096"},
              Messages("INFO", INIT));
}

TEST_F(VRthSharedMemoryTest, InitFailures) {
    RthFake& fake = RthFake::Get();
    int32_t error = -1;
    {
        VRthSharedMemory shm("absent", false);
        EXPECT_FALSE(shm.Init(4096, error));
        EXPECT_EQ(12, error);
        EXPECT_EQ(1, fake.calls.sizeGet);
        EXPECT_EQ(0, fake.calls.open);
        EXPECT_EQ(std::vector<std::string>{"RTH Shared Memory partition \"absent\" not available"},
                  Messages("ERROR", INIT));
    }
    uint8_t* base = fake.AddPartition("trace", 4096);
    {
        fake.openAreaSize = 8192;
        VRthSharedMemory shm("trace", false);
        EXPECT_FALSE(shm.Init(4096, error));
        EXPECT_EQ(4, error);
        EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
        fake.openAreaSize.reset();
        fake.nullAddress = true;
        EXPECT_FALSE(shm.Init(4096, error));
        EXPECT_EQ(1, error);
        EXPECT_EQ((std::vector<int32_t>{0, 1}), fake.closedHandles);
        EXPECT_EQ(0, fake.calls.cleanup);
        fake.nullAddress = false;
    }
    EXPECT_EQ(2, fake.calls.close);
    // Too small for header and end marker: refused before anything is called.
    {
        const int sizeGets = fake.calls.sizeGet;
        VRthSharedMemory shm("trace", false);
        EXPECT_FALSE(shm.Init(67, error));
        EXPECT_EQ(4, error);
        EXPECT_EQ(sizeGets, fake.calls.sizeGet);
        EXPECT_EQ(0, base[36]);
    }
    // Interference while counting the initialiser: the exception passes, the handle stays held.
    {
        VShmHeader::sAfterInterlockedStepForTesting = [](VShmHeader& h) { h.StoreInitTime(99); };
        VRthSharedMemory shm("trace", false);
        EXPECT_THROW(shm.Init(4096, error), std::runtime_error);
        VShmHeader::sAfterInterlockedStepForTesting = nullptr;
        EXPECT_EQ(0, HeaderOf(base)->checksum);
        EXPECT_EQ(1, HeaderOf(base)->refCount);
    }
    EXPECT_EQ(2, fake.calls.close);
    EXPECT_EQ(1, HeaderOf(base)->refCount);
}

}  // namespace
