// MappingGuard over real partitions of the POSIX partition library: an object truncated under
// its mapping reads zeros instead of killing the process, the communication layer sees no
// valid queue there, a fatal check that fails over the zeros throws PartitionMemoryLost (also
// inside the destructor that gives the reference back), and every other SIGBUS still ends the
// process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/ZulAssert.h"
#include "oscom/VRthSharedMemory.h"
#include "oscom/VSharedMemoryQueue.h"
#include "oscom/VShmHeader.h"
#include "platform/MappingGuard.h"
#include "tests/e2e/HandPartition.h"

namespace {

using Platform::MappingGuard;
using ZulOsCom::VSharedMemoryQueue;

constexpr uint32_t PAGE = 4096;
constexpr uint32_t SIZE = 4 * PAGE;

std::string sPrefix;

// Cuts the partition object to size bytes through a descriptor of its own, as another process
// would.
void Truncate(const char* name, off_t size) {
    const std::string path = "/dev/shm/" + sPrefix + name;
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0 || ftruncate(fd, size) != 0) {
        std::abort();
    }
    close(fd);
}

uint8_t ReadByte(const uint8_t* p) { return *static_cast<const volatile uint8_t*>(p); }

class MappingGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        sPrefix = "plixguard." + std::to_string(getpid()) + ".";
        setenv("RTH_SHM_PREFIX", sPrefix.c_str(), 1);
        ASSERT_TRUE(MappingGuard::Install());
        ASSERT_TRUE(MappingGuard::Install());  // once per process; later calls agree
    }
    void TearDown() override {
        MappingGuard::Unwatch();
        VSharedMemoryQueue::sAfterEntryChecksForTesting = nullptr;
        ZulOsCom::VShmHeader::sAfterInterlockedStepForTesting = nullptr;
    }

    // A partition with a valid header and a queue holding the records given.
    static void Fill(PlixTest::HandPartition& p, std::initializer_list<const char*> records) {
        p.WriteHeader(77, 1);
        p.WriteQueue(1);
        for (const char* r : records) p.Push(r);
    }
    static VSharedMemoryQueue* Queue(PlixTest::HandPartition& p) {
        return reinterpret_cast<VSharedMemoryQueue*>(p.Base() + 64);
    }
};

TEST_F(MappingGuardTest, TruncatedPartitionReadsZerosAndHoldsNoValidQueue) {
    PlixTest::HandPartition p("part", SIZE);
    Fill(p, {"first", "second"});
    MappingGuard::Watch(p.Base(), SIZE);
    EXPECT_FALSE(MappingGuard::Lost());

    char buf[64];
    uint32_t length = sizeof buf;
    ASSERT_EQ(Queue(p)->ReadBytes(buf, &length, p.Capacity()), VSharedMemoryQueue::STATUS_OK);
    ASSERT_EQ(std::string(buf, length), "first");
    EXPECT_FALSE(MappingGuard::Lost());

    // Shrunk to its first page: the last page faults, and the whole range reads zeros from
    // then on, the page the object still has included.
    Truncate("part", PAGE);
    EXPECT_EQ(ReadByte(p.Base() + SIZE - 1), 0);
    EXPECT_TRUE(MappingGuard::Lost());
    EXPECT_EQ(ReadByte(p.Base()), 0);
    EXPECT_EQ(ReadByte(p.Base() + 64 + 128 + 64 + 8), 0);  // where "second" was

    // The queue over zeros is not valid: a status, no fatal check, *length untouched.
    length = 1234;
    EXPECT_EQ(Queue(p)->ReadBytes(buf, &length, p.Capacity()),
              VSharedMemoryQueue::STATUS_NOT_VALID);
    EXPECT_EQ(length, 1234u);

    // Writes land in the private zero pages, never in the object: a fresh mapping of the
    // object still shows its header.
    p.Base()[0] = 'X';
    uint32_t opened = PAGE;
    const int32_t handle = shmOpen("part", 0, &opened);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(static_cast<const char*>(shmAddrGet(handle))[0], 'p');
    EXPECT_EQ(shmClose(handle), 0);

    // Watching anew clears the flag.
    MappingGuard::Watch(p.Base(), PAGE);
    EXPECT_FALSE(MappingGuard::Lost());
}

TEST_F(MappingGuardTest, EveryOtherBusErrorStillEndsTheProcess) {
    PlixTest::HandPartition watched("watched", SIZE);
    PlixTest::HandPartition other("other", SIZE);
    PlixTest::HandPartition unwatched("unwatched", SIZE);
    MappingGuard::Watch(watched.Base(), SIZE);

    // A truncated mapping outside the watched range.
    EXPECT_EXIT(
        {
            Truncate("other", 0);
            ReadByte(other.Base() + PAGE);
        },
        testing::KilledBySignal(SIGBUS), "");
    // A fault in a range no longer watched.
    EXPECT_EXIT(
        {
            MappingGuard::Unwatch();
            Truncate("unwatched", 0);
            ReadByte(unwatched.Base());
        },
        testing::KilledBySignal(SIGBUS), "");
    // A SIGBUS sent by a process, while a range is watched.
    EXPECT_EXIT(raise(SIGBUS), testing::KilledBySignal(SIGBUS), "");
    EXPECT_FALSE(MappingGuard::Lost());
}

std::string sTruncateOnHook;
void TruncateOnHook(VSharedMemoryQueue&) { Truncate(sTruncateOnHook.c_str(), 0); }
void TruncateOnHeaderHook(ZulOsCom::VShmHeader&) { Truncate(sTruncateOnHook.c_str(), 0); }

TEST_F(MappingGuardTest, FatalChecksOverLostMemoryThrowInsteadOfEndingTheProcess) {
    // The object vanishes between ReadBytes's entry checks and its fatal checks.
    {
        PlixTest::HandPartition p("midread", SIZE);
        Fill(p, {"record"});
        MappingGuard::Watch(p.Base(), SIZE);
        sTruncateOnHook = "midread";
        VSharedMemoryQueue::sAfterEntryChecksForTesting = TruncateOnHook;
        char buf[64];
        uint32_t length = sizeof buf;
        testing::internal::CaptureStderr();
        std::string what;
        try {
            Queue(p)->ReadBytes(buf, &length, p.Capacity());
        } catch (const PlixBase::PartitionMemoryLost& e) {
            what = e.what();
        }
        VSharedMemoryQueue::sAfterEntryChecksForTesting = nullptr;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no fatal line
        EXPECT_NE(what.find("[this->IsValid()] in ZulOsCom::VSharedMemoryQueue::ReadBytes"),
                  std::string::npos)
            << what;
        EXPECT_TRUE(MappingGuard::Lost());
    }

    // The object vanishes while the destructor gives the reference back, between the
    // interlocked step and the second read of initTime: the check that fails there must not
    // escape the destructor (that would end the process).
    {
        PlixTest::HandPartition p("release", SIZE);
        Fill(p, {});
        {
            ZulOsCom::VRthSharedMemory memory("release", false);
            uint32_t size = 0;
            ASSERT_TRUE(memory.Open(size));
            ASSERT_EQ(p.RefCount(), 2);
            MappingGuard::Watch(static_cast<uint8_t*>(memory.GetUserAreaAddress()) - 64, size);
            sTruncateOnHook = "release";
            ZulOsCom::VShmHeader::sAfterInterlockedStepForTesting = TruncateOnHeaderHook;
        }
        ZulOsCom::VShmHeader::sAfterInterlockedStepForTesting = nullptr;
        EXPECT_TRUE(MappingGuard::Lost());
    }

    // Without a loss since the last Watch, the same kind of check ends the process as always.
    PlixTest::HandPartition live("live", SIZE);
    MappingGuard::Watch(live.Base(), SIZE);
    EXPECT_EXIT(ZUL_ASSERT(live.Base()[0] == 'X'), testing::ExitedWithCode(254),
                "fatal: ZUL_ASSERT failed");
}

}  // namespace
