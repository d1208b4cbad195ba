// The five partition-library functions as the communication layer relies on them (rth/RthLib.h),
// and the identity and role-lock calls the reader and the writer library rely on
// (rth/RthAdmin.h; the locks on POSIX only), one suite for every implementation: built once with
// each of the POSIX stand-in, the Windows stand-in (run under Wine) and the fake, whose suite
// names RTH_CONTRACT_SUITE gives. What only one implementation does (access rules, file
// locations, the other admin calls) is tested in a suite of its own.
#include <gtest/gtest.h>

#include <cstdint>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/rth/ContractPartitions.h"

namespace {

class RthContractTest : public ::testing::Test {
protected:
    void SetUp() override { ::RthContract::Begin(); }
    void TearDown() override { ::RthContract::End(); }
};

using RTH_CONTRACT_SUITE = RthContractTest;

TEST_F(RTH_CONTRACT_SUITE, OpenMapsThePartitionAndEveryHandleSeesTheSameBytes) {
    ASSERT_TRUE(RthContract::Make("part", 8192));
    EXPECT_EQ(shmSizeGet("part"), 8192u);

    uint32_t size = 100;  // the size wanted; the library writes the size opened
    const int32_t handle = shmOpen("part", 0, &size);
    ASSERT_GE(handle, 0);
    EXPECT_EQ(size, 8192u);
    auto* bytes = static_cast<uint8_t*>(shmAddrGet(handle));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0);  // made zero-filled
    EXPECT_EQ(bytes[8191], 0);

    // A second open of the same partition: another handle, the same bytes.
    uint32_t size2 = 8192;
    const int32_t handle2 = shmOpen("part", 0, &size2);
    ASSERT_GE(handle2, 0);
    EXPECT_NE(handle2, handle);
    EXPECT_EQ(size2, 8192u);
    auto* bytes2 = static_cast<uint8_t*>(shmAddrGet(handle2));
    ASSERT_NE(bytes2, nullptr);
    for (uint32_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    for (uint32_t i = 0; i < size; ++i) {
        ASSERT_EQ(bytes2[i], static_cast<uint8_t>(i * 7 + 1)) << i;
    }

    // A handle given back is no handle any more; the other one still maps the partition.
    EXPECT_EQ(shmClose(handle), 0);
    EXPECT_EQ(shmAddrGet(handle), nullptr);
    EXPECT_EQ(shmClose(handle), -1);
    EXPECT_EQ(bytes2[4095], static_cast<uint8_t>(4095 * 7 + 1));
    EXPECT_EQ(shmClose(handle2), 0);

    // Cleanup leaves a partition that is there as it was.
    EXPECT_EQ(shmCleanup("part"), 0);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
}

TEST_F(RTH_CONTRACT_SUITE, MissingPartitionsAndHandlesAreRefusedAndPartitionsStayApart) {
    EXPECT_EQ(shmSizeGet("part"), 0u);
    uint32_t size = 4096;
    EXPECT_EQ(shmOpen("part", 0, &size), SHM_KEY_INVALID);
    EXPECT_EQ(size, 4096u);  // untouched
    EXPECT_EQ(shmOpen(nullptr, 0, &size), SHM_KEY_INVALID);
    EXPECT_EQ(shmSizeGet(nullptr), 0u);
    EXPECT_EQ(shmSizeGet(""), 0u);
    EXPECT_EQ(shmAddrGet(SHM_KEY_INVALID), nullptr);
    EXPECT_EQ(shmAddrGet(12345), nullptr);
    EXPECT_EQ(shmClose(SHM_KEY_INVALID), -1);

    // Two partitions: each its own size and its own bytes.
    ASSERT_TRUE(RthContract::Make("alpha", 4096));
    ASSERT_TRUE(RthContract::Make("beta", 65536));
    EXPECT_EQ(shmSizeGet("alpha"), 4096u);
    EXPECT_EQ(shmSizeGet("beta"), 65536u);
    uint32_t alphaSize = 0;
    uint32_t betaSize = 0;
    const int32_t alpha = shmOpen("alpha", 0, &alphaSize);
    const int32_t beta = shmOpen("beta", 0, &betaSize);
    ASSERT_GE(alpha, 0);
    ASSERT_GE(beta, 0);
    EXPECT_EQ(alphaSize, 4096u);
    EXPECT_EQ(betaSize, 65536u);
    auto* alphaBytes = static_cast<uint8_t*>(shmAddrGet(alpha));
    auto* betaBytes = static_cast<uint8_t*>(shmAddrGet(beta));
    ASSERT_NE(alphaBytes, nullptr);
    ASSERT_NE(betaBytes, nullptr);
    alphaBytes[0] = 0xA5;
    EXPECT_EQ(betaBytes[0], 0);
    EXPECT_EQ(shmClose(alpha), 0);
    EXPECT_EQ(shmClose(beta), 0);
}

TEST_F(RTH_CONTRACT_SUITE, IdentityTellsTheObjectBehindTheNameWithoutOpeningIt) {
    RthPartitionIdentity first{};
    EXPECT_EQ(rthPartitionIdentify("part", &first), RTH_NOT_FOUND);
    EXPECT_EQ(rthPartitionIdentify("", &first), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionIdentify(nullptr, &first), RTH_BAD_NAME);

    ASSERT_TRUE(RthContract::Make("part", 8192));
    ASSERT_TRUE(RthContract::Make("other", 4096));
    EXPECT_EQ(rthPartitionIdentify("part", nullptr), RTH_SYSTEM);
    ASSERT_EQ(rthPartitionIdentify("part", &first), RTH_OK);
    EXPECT_EQ(first.size, 8192u);
    RthPartitionIdentity again{};
    ASSERT_EQ(rthPartitionIdentify("part", &again), RTH_OK);
    EXPECT_EQ(again.volume, first.volume);
    EXPECT_EQ(again.object, first.object);
    RthPartitionIdentity other{};
    ASSERT_EQ(rthPartitionIdentify("other", &other), RTH_OK);
    EXPECT_EQ(other.size, 4096u);
    EXPECT_FALSE(other.volume == first.volume && other.object == first.object);

    // Mapped, the identity stays; it opens nothing (no handle is taken by asking).
    uint32_t size = 8192;
    const int32_t handle = shmOpen("part", 0, &size);
    ASSERT_GE(handle, 0);
    ASSERT_EQ(rthPartitionIdentify("part", &again), RTH_OK);
    EXPECT_EQ(again.object, first.object);
    EXPECT_EQ(shmClose(handle), 0);
    EXPECT_EQ(shmClose(handle + 1), -1);
}

#ifndef _WIN32
TEST_F(RTH_CONTRACT_SUITE, OneLockPerRoleAndPartitionUntilGivenBack) {
    int32_t lock = -1;
    EXPECT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &lock, nullptr), RTH_NOT_FOUND);
    ASSERT_TRUE(RthContract::Make("part", 4096));
    ASSERT_TRUE(RthContract::Make("other", 4096));
    EXPECT_EQ(rthPartitionProbeLock("part", RTH_ROLE_READER), RTH_OK);

    RthPartitionIdentity locked{};
    int32_t reader = -1;
    ASSERT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &reader, &locked), RTH_OK);
    ASSERT_GE(reader, 0);
    RthPartitionIdentity named{};
    ASSERT_EQ(rthPartitionIdentify("part", &named), RTH_OK);
    EXPECT_EQ(locked.object, named.object);  // the object locked is the one behind the name
    EXPECT_EQ(locked.volume, named.volume);

    // The same role again (in this process too) is refused; the other role and another
    // partition are not.
    lock = 77;
    EXPECT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &lock, nullptr), RTH_BUSY);
    EXPECT_EQ(lock, 77);
    EXPECT_EQ(rthPartitionProbeLock("part", RTH_ROLE_READER), RTH_BUSY);
    EXPECT_EQ(rthPartitionProbeLock("part", RTH_ROLE_WRITER), RTH_OK);
    int32_t writer = -1;
    ASSERT_EQ(rthPartitionLock("part", RTH_ROLE_WRITER, &writer, nullptr), RTH_OK);
    EXPECT_NE(writer, reader);
    int32_t elsewhere = -1;
    ASSERT_EQ(rthPartitionLock("other", RTH_ROLE_READER, &elsewhere, nullptr), RTH_OK);

    // Given back, the role is free again; a lock given back is no lock any more.
    EXPECT_EQ(rthPartitionUnlock(reader), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(reader), RTH_SYSTEM);
    EXPECT_EQ(rthPartitionProbeLock("part", RTH_ROLE_READER), RTH_OK);
    EXPECT_EQ(rthPartitionProbeLock("part", RTH_ROLE_WRITER), RTH_BUSY);
    ASSERT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &reader, nullptr), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(reader), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(writer), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(elsewhere), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(-1), RTH_SYSTEM);
    EXPECT_EQ(rthPartitionProbeLock("absent", RTH_ROLE_WRITER), RTH_NOT_FOUND);
}
#endif

}  // namespace
