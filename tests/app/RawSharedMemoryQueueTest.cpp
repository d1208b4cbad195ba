// RawSharedMemoryQueue against the partition-library fake: open, attach, read, release.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/RawSharedMemoryQueue.h"
#include "rth/fake/RthFake.h"
#include "tests/oscom/OscomTestSupport.h"

using namespace ZulOsCom;
using OscomTest::DiagCaptureTest;
using OscomTest::WriteHeader;

namespace {

using RawSharedMemoryQueueTest = DiagCaptureTest;

VShmHeader* HeaderOf(uint8_t* base) { return reinterpret_cast<VShmHeader*>(base); }
VSharedMemoryQueue* QueueOf(uint8_t* base) {
    return reinterpret_cast<VSharedMemoryQueue*>(base + SHM_MGMT_HEADER_SIZE);
}

// The trace partition as its creator leaves it, with a queue of the given attach count.
uint8_t* AddTracePartition(uint32_t size, int32_t attachCount) {
    uint8_t* base = RthFake::Get().AddPartition("plixtrace", size);
    WriteHeader(base, "plixtrace", size, 12345, 1);
    if (size >= SHM_MGMT_HEADER_SIZE + SIZEOF_QUEUE_HDR) {
        QueueOf(base)->mAttachCount = attachCount;
        QueueOf(base)->mCapacity = (size - 68 - SIZEOF_QUEUE_HDR) & ~63u;
    }
    return base;
}

TEST_F(RawSharedMemoryQueueTest, OpenResults) {
    RthFake& fake = RthFake::Get();
    {
        RawSharedMemoryQueue queue;
        EXPECT_EQ(RawSharedMemoryQueue::OPEN_ABSENT, queue.Open());
        EXPECT_EQ(std::vector<std::string>{"plixtrace"}, fake.sizeGetNames);
        EXPECT_EQ(0, fake.calls.open);
    }
    uint8_t* base = fake.AddPartition("plixtrace", 4096);
    {
        RawSharedMemoryQueue queue;
        EXPECT_EQ(RawSharedMemoryQueue::OPEN_REFUSED, queue.Open());  // zeroed: wrong version
        EXPECT_EQ(1, fake.calls.open);
        EXPECT_EQ(1, fake.calls.close);
        EXPECT_FALSE(queue.AttachReader());
        uint32_t length = 5;
        EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, queue.Read(nullptr, length));
        EXPECT_EQ(5u, length);
    }
    EXPECT_EQ(1, fake.calls.close);
    for (int i = 0; i < 4096; ++i) {
        ASSERT_EQ(0, base[i]);
    }

    // Opened and destroyed: the reference goes back, the handle is closed, nothing recovered.
    fake.Reset();
    base = AddTracePartition(4096, 1);
    {
        RawSharedMemoryQueue queue;
        EXPECT_EQ(RawSharedMemoryQueue::OPEN_OK, queue.Open());
        EXPECT_EQ(2, HeaderOf(base)->LoadRefCount());
        EXPECT_EQ(0, fake.calls.close);
        EXPECT_EQ(0u, queue.DataAreaSize());
    }
    EXPECT_EQ(1, HeaderOf(base)->LoadRefCount());
    EXPECT_EQ(std::vector<int32_t>{0}, fake.closedHandles);
    EXPECT_EQ(0, fake.calls.cleanup);
}

TEST_F(RawSharedMemoryQueueTest, AttachAndRead) {
    uint8_t* base = AddTracePartition(4096, 0);
    VSharedMemoryQueue* q = QueueOf(base);
    RawSharedMemoryQueue queue;
    uint32_t length = 9;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, queue.Read(nullptr, length));  // not attached
    EXPECT_EQ(9u, length);
    ASSERT_EQ(0, queue.Open());

    // Nobody set the queue up: refused, but counted; reads stay refused.
    EXPECT_FALSE(queue.AttachReader());
    EXPECT_EQ(1, q->mAttachCount);
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, queue.Read(nullptr, length));
    EXPECT_EQ(9u, length);

    EXPECT_TRUE(queue.AttachReader());
    EXPECT_EQ(2, q->mAttachCount);
    EXPECT_EQ(3840u, queue.DataAreaSize());

    const char text[] = "trace line\n";
    const uint32_t n = sizeof text - 1;
    uint8_t* data = base + SHM_MGMT_HEADER_SIZE + SIZEOF_QUEUE_HDR;
    std::memcpy(data, &n, 4);
    std::memcpy(data + 8, text, n);
    q->mWriteOffset = 64;
    char buf[4096];
    length = sizeof buf;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, queue.Read(buf, length));
    EXPECT_EQ(n, length);
    EXPECT_EQ(std::string(text), std::string(buf, length));
    EXPECT_EQ(64u, q->mReadOffset);
    length = sizeof buf;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, queue.Read(buf, length));
    EXPECT_EQ(0u, length);

    // A capacity beyond the partition's data area is refused.
    q->mCapacity = 3904;
    q->mWriteOffset = 0;
    length = 7;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, queue.Read(buf, length));
    EXPECT_EQ(7u, length);
}

TEST_F(RawSharedMemoryQueueTest, UserAreaTooSmallForTheQueueHeader) {
    // 195 bytes: a user area of 127 bytes. Nothing is touched.
    uint8_t* base = AddTracePartition(195, 1);
    std::memset(base + 64, 0x11, 127);
    std::vector<uint8_t> before(base, base + 195);
    {
        RawSharedMemoryQueue queue;
        ASSERT_EQ(0, queue.Open());
        EXPECT_EQ(2, HeaderOf(base)->LoadRefCount());
        EXPECT_FALSE(queue.AttachReader());
        uint32_t length = 3;
        EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, queue.Read(nullptr, length));
        EXPECT_EQ(3u, length);
        HeaderOf(base)->refCount = 1;
        EXPECT_EQ(before, std::vector<uint8_t>(base, base + 195));
        HeaderOf(base)->refCount = 2;
    }

    // 196 bytes: the queue header fits, with no room for data.
    RthFake::Get().Reset();
    base = AddTracePartition(196, 1);
    RawSharedMemoryQueue queue;
    ASSERT_EQ(0, queue.Open());
    EXPECT_TRUE(queue.AttachReader());
    EXPECT_EQ(0u, queue.DataAreaSize());
    EXPECT_EQ(2, QueueOf(base)->mAttachCount);
    QueueOf(base)->mCapacity = 64;
    uint32_t length = 3;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, queue.Read(nullptr, length));

    // Without an open partition there is nothing to attach to.
    RawSharedMemoryQueue unopened;
    EXPECT_FALSE(unopened.AttachReader());
}

}  // namespace
