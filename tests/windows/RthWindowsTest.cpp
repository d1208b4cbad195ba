// What only the Windows partition library (libRth.dll) does (the five functions' contract,
// common to every implementation, is RthContractTest.cpp): partitions are files under
// %ProgramData%\rth that outlive the processes mapping them, shared by every process that opens
// them; names and prefixes never reach outside that directory. A death-test child on Windows is
// a new process, which makes it the other process here.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/support/Portable.h"

namespace fs = std::filesystem;

namespace {

class RthWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        mPrefix = "plixtest." + PlixTest::RunTag() + ".";  // the death-test child's, too
        SetPrefix(mPrefix);
    }
    void TearDown() override {
        SetPrefix(mPrefix);
        rthPartitionRemove("part");
        rthPartitionRemove("alpha");
    }
    static void SetPrefix(const std::string& prefix) {
        SetEnvironmentVariableA("RTH_SHM_PREFIX", prefix.c_str());
    }
    fs::path File(const std::string& name) const {
        return fs::path(std::getenv("ProgramData")) / "rth" / (mPrefix + name);
    }
    std::string mPrefix;
};

// In another process: maps the partition and fills it with a pattern, then ends.
[[noreturn]] void FillInAnotherProcess() {
    uint32_t size = 4096;
    const int32_t handle = shmOpen("part", 0, &size);
    auto* bytes = static_cast<uint8_t*>(shmAddrGet(handle));
    if (handle < 0 || bytes == nullptr || size != 4096) {
        std::exit(1);
    }
    for (uint32_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    std::exit(shmClose(handle) == 0 ? 0 : 2);
}

TEST_F(RthWindowsTest, PartitionIsAFileThatProcessesShareAndThatOutlivesThem) {
    // The death-test child runs this test from its start, too: it finds the partition made.
    const int32_t created = rthPartitionCreate("part", 4096);
    ASSERT_TRUE(created == RTH_OK || created == RTH_EXISTS) << created;
    ASSERT_TRUE(fs::is_regular_file(File("part")));
    EXPECT_EQ(fs::file_size(File("part")), 4096u);

    // Mapped here before the other process writes: the view sees its writes.
    uint32_t size = 100;  // the size wanted; the library writes the size opened
    const int32_t handle = shmOpen("part", 0, &size);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(size, 4096u);
    auto* bytes = static_cast<uint8_t*>(shmAddrGet(handle));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0);  // created zero-filled
    EXPECT_EQ(bytes[4095], 0);

    EXPECT_EXIT(FillInAnotherProcess(), testing::ExitedWithCode(0), "");
    for (uint32_t i = 0; i < size; ++i) {
        ASSERT_EQ(bytes[i], static_cast<uint8_t>(i * 7 + 1)) << i;
    }
    // Handles, second opens and cleanup: RthContractTest.cpp (RthWindowsContract).

    // With no process mapping it, the contents stay.
    EXPECT_EQ(shmClose(handle), 0);
    uint32_t size3 = 4096;
    const int32_t handle3 = shmOpen("part", 0, &size3);
    ASSERT_GE(handle3, 0);
    EXPECT_EQ(static_cast<uint8_t*>(shmAddrGet(handle3))[4095], static_cast<uint8_t>(4095 * 7 + 1));
    EXPECT_EQ(shmClose(handle3), 0);
}

TEST_F(RthWindowsTest, MissingPartitionsAndNamesOutsideTheDirectory) {
    // What every implementation answers for a missing partition or handle: RthContractTest.cpp.
    EXPECT_EQ(shmOpen("part", 0, nullptr), SHM_KEY_INVALID);

    // Separators, drive letters, wildcards and a trailing dot or blank (which the file system
    // drops, so that two names would be one file) are no partition names.
    for (const char* bad :
         {"a/b", "..\\part", "c:part", "pa*t", "part?", "part.", "part ", "a|b", "a\"b", "a\tb"}) {
        EXPECT_EQ(rthNameValid(bad), 0) << bad;
        EXPECT_EQ(rthPartitionCreate(bad, 4096), RTH_BAD_NAME) << bad;
        EXPECT_EQ(shmSizeGet(bad), 0u) << bad;
    }
    EXPECT_EQ(rthNameValid("plix.trace-1_x"), 1);

    // A prefix that names another directory is refused as a whole.
    SetPrefix("..\\escape.");
    EXPECT_EQ(rthPartitionCreate("part", 4096), RTH_SYSTEM);
    EXPECT_EQ(shmSizeGet("part"), 0u);
    EXPECT_EQ(rthPartitionList([](const char*, uint64_t, void*) {}, nullptr), RTH_SYSTEM);
    EXPECT_FALSE(fs::exists(fs::path(std::getenv("ProgramData")) / "escape.part"));
}

TEST_F(RthWindowsTest, PrefixesIsolateAndAdminRefusesBadRequests) {
    ASSERT_EQ(rthPartitionCreate("part", 8192), RTH_OK);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
    SetPrefix(mPrefix + "other.");
    EXPECT_EQ(shmSizeGet("part"), 0u);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_NOT_FOUND);
    SetPrefix(mPrefix);
    EXPECT_EQ(shmSizeGet("part"), 8192u);

    EXPECT_EQ(rthPartitionCreate("part", 4096), RTH_EXISTS);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
    // Explain tells only whether the file is there; a short buffer gets the text cut.
    char reason[RTH_REASON_SIZE];
    EXPECT_EQ(rthPartitionExplain("part", reason, sizeof reason), RTH_OK);
    EXPECT_NE(std::string(reason).find("exists ("), std::string::npos) << reason;
    EXPECT_NE(std::string(reason).find(", 8192 bytes)"), std::string::npos) << reason;
    EXPECT_EQ(rthPartitionExplain("absent", reason, 5), RTH_NOT_FOUND);
    EXPECT_STREQ(reason, "does");
    EXPECT_EQ(rthPartitionExplain("a|b", reason, sizeof reason), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate("alpha", 0), RTH_BAD_SIZE);
    EXPECT_EQ(rthPartitionCreate("", 4096), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate(std::string(32, 'n').c_str(), 4096), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate(std::string(31, 'n').c_str(), 64), RTH_OK);
    EXPECT_EQ(rthPartitionRemove(std::string(31, 'n').c_str()), RTH_OK);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_OK);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_NOT_FOUND);
    EXPECT_FALSE(fs::exists(File("part")));
}

TEST_F(RthWindowsTest, ListShowsThisPrefixOnlyInNameOrder) {
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    ASSERT_EQ(rthPartitionCreate("alpha", 128), RTH_OK);
    SetPrefix(mPrefix + "other.");
    ASSERT_EQ(rthPartitionCreate("beta", 64), RTH_OK);
    std::string seen;
    auto visit = [](const char* name, uint64_t size, void* context) {
        *static_cast<std::string*>(context) += std::string(name) + "=" + std::to_string(size) + ";";
    };
    EXPECT_EQ(rthPartitionList(visit, &seen), RTH_OK);
    EXPECT_EQ(seen, "beta=64;");
    EXPECT_EQ(rthPartitionRemove("beta"), RTH_OK);

    SetPrefix(mPrefix);
    seen.clear();
    EXPECT_EQ(rthPartitionList(visit, &seen), RTH_OK);
    EXPECT_EQ(seen, "alpha=128;part=4096;");
}

}  // namespace
