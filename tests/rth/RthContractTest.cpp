// The five partition-library functions as the communication layer relies on them (rth/RthLib.h),
// one suite for every implementation: built once with each of the POSIX stand-in, the Windows
// stand-in (run under Wine) and the fake, whose suite names RTH_CONTRACT_SUITE gives. What only
// one implementation does (access rules, file locations, the admin calls) is tested in a suite
// of its own.
#include <gtest/gtest.h>

#include <cstdint>

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

}  // namespace
