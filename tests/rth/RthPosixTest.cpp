// The POSIX partition library across processes: naming, prefixes, sizes, handles, mode.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"

namespace {

class RthPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        mPrefix = "plixtest." + std::to_string(getpid()) + ".";
        setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    }
    void TearDown() override {
        rthPartitionRemove("part");
        setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
        rthPartitionRemove("part");
    }
    std::string Path(const std::string& name) const { return "/dev/shm/" + mPrefix + name; }
    std::string mPrefix;
};

TEST_F(RthPosixTest, WriterAndReaderProcessesShareOnePartition) {
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    struct stat st {};
    ASSERT_EQ(stat(Path("part").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_size, 4096);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint32_t size = 4096;
        int32_t h = shmOpen("part", 0, &size);
        auto* p = static_cast<uint8_t*>(shmAddrGet(h));
        if (h < 0 || p == nullptr || size != 4096) _exit(1);
        for (uint32_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
        _exit(shmClose(h) == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(shmSizeGet("part"), 4096u);
    uint32_t size = 100;  // the size wanted; the library writes the size opened
    int32_t h = shmOpen("part", 0, &size);
    ASSERT_GE(h, 0);
    EXPECT_EQ(size, 4096u);
    auto* p = static_cast<uint8_t*>(shmAddrGet(h));
    ASSERT_NE(p, nullptr);
    for (uint32_t i = 0; i < size; ++i) {
        ASSERT_EQ(p[i], static_cast<uint8_t>(i * 7 + 1)) << i;
    }
    uint32_t size2 = 4096;
    int32_t h2 = shmOpen("part", 0, &size2);
    EXPECT_GE(h2, 0);
    EXPECT_NE(h2, h);
    EXPECT_EQ(shmClose(h), 0);
    EXPECT_EQ(shmAddrGet(h), nullptr);
    EXPECT_EQ(shmClose(h), -1);
    EXPECT_EQ(shmClose(h2), 0);
    EXPECT_EQ(shmCleanup("part"), 0);
}

TEST_F(RthPosixTest, MissingPartitionsAndBadArguments) {
    EXPECT_EQ(shmSizeGet("part"), 0u);
    uint32_t size = 4096;
    EXPECT_EQ(shmOpen("part", 0, &size), SHM_KEY_INVALID);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(shmOpen(nullptr, 0, &size), SHM_KEY_INVALID);
    EXPECT_EQ(shmSizeGet(nullptr), 0u);
    EXPECT_EQ(shmSizeGet(""), 0u);
    EXPECT_EQ(shmSizeGet("../etc"), 0u);
    EXPECT_EQ(shmAddrGet(-1), nullptr);
    EXPECT_EQ(shmAddrGet(12345), nullptr);
    EXPECT_EQ(shmClose(-1), -1);
}

TEST_F(RthPosixTest, PrefixesIsolatePartitions) {
    ASSERT_EQ(rthPartitionCreate("part", 8192), RTH_OK);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
    std::string other = mPrefix + "other.";
    setenv("RTH_SHM_PREFIX", other.c_str(), 1);
    EXPECT_EQ(shmSizeGet("part"), 0u);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_NOT_FOUND);
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
}

TEST_F(RthPosixTest, AdminRefusesBadRequestsAndChangesNothing) {
    EXPECT_EQ(rthPartitionCreate("part", 0), RTH_BAD_SIZE);
    EXPECT_EQ(rthPartitionCreate("", 4096), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate(std::string(32, 'n').c_str(), 4096), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate("a/b", 4096), RTH_BAD_NAME);
    EXPECT_EQ(shmSizeGet("part"), 0u);
    EXPECT_EQ(rthPartitionCreate(std::string(31, 'n').c_str(), 64), RTH_OK);
    EXPECT_EQ(rthPartitionRemove(std::string(31, 'n').c_str()), RTH_OK);

    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    EXPECT_EQ(rthPartitionCreate("part", 8192), RTH_EXISTS);
    EXPECT_EQ(shmSizeGet("part"), 4096u);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_OK);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_NOT_FOUND);
}

TEST_F(RthPosixTest, ListShowsThisPrefixOnlyInNameOrder) {
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    ASSERT_EQ(rthPartitionCreate("alpha", 128), RTH_OK);
    std::string seen;
    auto visit = [](const char* name, uint64_t size, void* ctx) {
        *static_cast<std::string*>(ctx) += std::string(name) + "=" + std::to_string(size) + ";";
    };
    EXPECT_EQ(rthPartitionList(visit, &seen), RTH_OK);
    EXPECT_EQ(seen, "alpha=128;part=4096;");
    rthPartitionRemove("alpha");
}

}  // namespace
