// The wake-up beside a queue on POSIX (QueueWakeUp over Platform::WakeUpObject): the object the
// reader makes, takes over and removes; what it refuses, as the writer does (objects another
// local user could have planted); and the handshake: the reader does not wait while records are
// there, and a writer's wake-up ends its wait long before the time-out (the bounds below are
// hang guards, not timing claims).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "oscom/QueueWakeUp.h"
#include "oscom/SharedAccess.h"
#include "tests/support/ShmObjects.h"

namespace {

using ZulOsCom::QueueWakeUp;
using ZulOsCom::SharedAccess;
using ZulOsCom::VSharedMemoryQueue;
using Status = QueueWakeUp::Status;
using Clock = std::chrono::steady_clock;

constexpr uint32_t LONG_WAIT_US = 10000000;  // the wait's time-out: never reached when woken
constexpr auto WOKEN_WITHIN = std::chrono::seconds(5);

class QueueWakeUpTest : public ::testing::Test {
protected:
    void SetUp() override {
        mPrefix = "plixwake." + std::to_string(getpid()) + ".";
        setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
        PlixTest::RemoveShmObjects(mPrefix);
        mPath = "/dev/shm/" + QueueWakeUp::ObjectName("part");
    }
    void TearDown() override { PlixTest::RemoveShmObjects(mPrefix); }

    // The 32-bit word at offset of the object's file, read through a mapping of its own.
    uint32_t FileWord(uint32_t offset) const {
        const int fd = open(mPath.c_str(), O_RDONLY);
        uint32_t value = UINT32_MAX;
        if (fd >= 0 && pread(fd, &value, sizeof value, offset) != sizeof value) value = UINT32_MAX;
        if (fd >= 0) close(fd);
        return value;
    }

    std::string mPrefix;
    std::string mPath;
};

TEST_F(QueueWakeUpTest, TheReaderMakesItsOwnObjectAndRefusesWhatOthersCouldPlant) {
    // Made readable by every writer and writable by its owner alone, whatever the umask.
    const mode_t umaskBefore = umask(077);
    QueueWakeUp reader;
    std::string reason;
    ASSERT_EQ(reader.Create("part", &reason), Status::READY) << reason;
    umask(umaskBefore);
    EXPECT_EQ(mPath, "/dev/shm/plixtrace.wake." + mPrefix + "part");
    struct stat st {};
    ASSERT_EQ(lstat(mPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_size, 64);
    EXPECT_EQ(FileWord(0), ZulOsCom::WAKE_UP_MAGIC);
    QueueWakeUp writer;
    writer.Open("part");
    EXPECT_TRUE(writer.Ready());

    // At its end the reader removes it; the writer follows and finds none.
    reader.Close();
    EXPECT_NE(lstat(mPath.c_str(), &st), 0);
    writer.Follow();
    EXPECT_FALSE(writer.Ready());

    // One left by a reader that ended while waiting is taken over, nobody waiting.
    {
        const uint32_t left[3] = {ZulOsCom::WAKE_UP_MAGIC, ZulOsCom::WAKE_UP_VERSION, 1};
        const int fd = open(mPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, left, sizeof left, 0), static_cast<ssize_t>(sizeof left));
        ASSERT_EQ(ftruncate(fd, 64), 0);
        close(fd);
    }
    ASSERT_EQ(reader.Create("part", &reason), Status::READY) << reason;
    EXPECT_EQ(FileWord(8), 0u);
    writer.Open("part");
    ASSERT_TRUE(writer.Ready());

    // Replaced under the reader: its end removes nothing that is not its own.
    ASSERT_EQ(unlink(mPath.c_str()), 0);
    QueueWakeUp successor;
    ASSERT_EQ(successor.Create("part", &reason), Status::READY) << reason;
    reader.Close();
    EXPECT_EQ(lstat(mPath.c_str(), &st), 0);
    successor.Close();

    // Planted objects: refused, the reason says what is wrong, nothing is changed or waited on.
    struct Planted {
        const char* what;
        std::function<std::string()> plant;  // "" when planted, else why the case is skipped
        const char* says;
    };
    const Planted planted[] = {
        {"another user's", [&] { return PlixTest::CreateAsNobody(mPath, 64, "0644"); },
         "is owned by uid"},
        {"writable by every user",
         [&] { return mknod(mPath.c_str(), S_IFREG | 0600, 0) == 0 && chmod(mPath.c_str(), 0666) == 0
                          ? "" : "cannot make the file"; },
         "is writable by every user (mode 0666)"},
        {"a symbolic link",
         [&] { return symlink("/etc/hostname", mPath.c_str()) == 0 ? "" : "cannot make the link"; },
         "is a symbolic link"},
        {"a FIFO", [&] { return mkfifo(mPath.c_str(), 0644) == 0 ? "" : "cannot make the FIFO"; },
         "is not a regular file"},
    };
    for (const Planted& object : planted) {
        SCOPED_TRACE(object.what);
        PlixTest::RemoveShmObjects(mPrefix);
        const std::string skipped = object.plant();
        if (!skipped.empty()) {
            ADD_FAILURE() << "not planted: " << skipped;
            continue;
        }
        struct stat before {};
        ASSERT_EQ(lstat(mPath.c_str(), &before), 0);
        reason.clear();
        EXPECT_EQ(reader.Create("part", &reason), Status::REFUSED);
        EXPECT_NE(reason.find(mPath + " " + object.says), std::string::npos) << reason;
        EXPECT_FALSE(reader.Ready());
        writer.Open("part");
        EXPECT_FALSE(writer.Ready());
        struct stat after {};
        ASSERT_EQ(lstat(mPath.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size);
    }
}

TEST_F(QueueWakeUpTest, AWriteIntoTheEmptyQueueEndsTheReadersWait) {
    // A queue header in memory shared as a partition's is.
    void* memory = mmap(nullptr, sizeof(VSharedMemoryQueue), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* queue = static_cast<VSharedMemoryQueue*>(memory);
    // The writer opened the wake-up of a reader that has been started anew since: it follows
    // the name to the new one (else none of the wake-ups below would reach the reader).
    QueueWakeUp earlier;
    std::string reason;
    ASSERT_EQ(earlier.Create("part", &reason), Status::READY) << reason;
    QueueWakeUp writer;
    writer.Open("part");
    ASSERT_TRUE(writer.Ready());
    earlier.Close();
    QueueWakeUp reader;
    ASSERT_EQ(reader.Create("part", &reason), Status::READY) << reason;
    writer.Follow();

    // Records waiting: the reader does not wait at all.
    SharedAccess::Store(queue->mWriteOffset, 64, std::memory_order_release);
    auto start = Clock::now();
    reader.WaitForRecords(queue, LONG_WAIT_US);
    EXPECT_LT(Clock::now() - start, WOKEN_WITHIN);

    // Empty: a write and its wake-up end the wait, whether they come before or during it.
    for (const int delayMs : {0, 100}) {
        SharedAccess::Store(queue->mReadOffset, 64 + 64 * static_cast<uint32_t>(delayMs),
                            std::memory_order_release);
        SharedAccess::Store(queue->mWriteOffset, 64 + 64 * static_cast<uint32_t>(delayMs),
                            std::memory_order_release);
        std::thread writing([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            SharedAccess::Store(queue->mWriteOffset, 2048, std::memory_order_release);
            writer.WakeReader(queue);
        });
        start = Clock::now();
        reader.WaitForRecords(queue, LONG_WAIT_US);
        EXPECT_LT(Clock::now() - start, WOKEN_WITHIN) << "write after " << delayMs << " ms";
        writing.join();
        EXPECT_EQ(FileWord(8), 0u);  // nobody waits any more
    }

    // Wake-ups without records only end the wait (a wasted pass).
    SharedAccess::Store(queue->mReadOffset, 2048, std::memory_order_release);
    std::atomic<bool> waited{false};
    std::thread posting([&] {
        while (!waited) {
            writer.WakeReader(queue);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    start = Clock::now();
    reader.WaitForRecords(queue, LONG_WAIT_US);
    waited = true;
    posting.join();
    EXPECT_LT(Clock::now() - start, WOKEN_WITHIN);
    munmap(memory, sizeof(VSharedMemoryQueue));
}

}  // namespace
