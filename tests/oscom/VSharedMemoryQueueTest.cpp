// VSharedMemoryQueue::ReadBytes: statuses, wrap markers, a ring round trip, the fatal checks,
// and hostile or changing headers that must never lead the reader out of the partition. Every
// queue lies at the very end of a mapping, right before a PROT_NONE page.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "oscom/VSharedMemoryQueue.h"
#include "tests/oscom/OscomTestSupport.h"
#include "tests/support/Portable.h"

using namespace ZulOsCom;
using OscomTest::DiagCaptureTest;
using OscomTest::FatalLine;
using OscomTest::GuardedRegion;

namespace {

constexpr const char* READ = "ZulOsCom::VSharedMemoryQueue::ReadBytes";

// The tests name the statuses; their numbers are what callers compare with, and stay.
static_assert(VSharedMemoryQueue::STATUS_OK == 0 && VSharedMemoryQueue::STATUS_MISSING_ARG == 6 &&
              VSharedMemoryQueue::STATUS_BUFFER_SMALL == 8 &&
              VSharedMemoryQueue::STATUS_NOT_VALID == 11);
constexpr uint32_t DATA = 3840;  // the data area of a 4096-byte partition

// A queue header followed by a data area of dataAreaSize bytes, ending at a guard page.
class TestQueue {
public:
    explicit TestQueue(uint32_t dataAreaSize = DATA) : TestQueue(dataAreaSize, dataAreaSize) {}
    TestQueue(uint32_t dataAreaSize, uint32_t capacity)
        : mRegion(SIZEOF_QUEUE_HDR + dataAreaSize), mDataAreaSize(dataAreaSize) {
        std::memset(mRegion.Begin(), 0, mRegion.Size());
        Q().mCapacity = capacity;
        Q().mAttachCount = 1;
    }

    VSharedMemoryQueue& Q() const {
        return *reinterpret_cast<VSharedMemoryQueue*>(mRegion.Begin());
    }
    uint8_t* Data() const { return mRegion.Begin() + SIZEOF_QUEUE_HDR; }
    uint32_t DataAreaSize() const { return mDataAreaSize; }

    void PutElement(uint32_t offset, const std::string& payload) {
        PutHeader(offset, static_cast<uint32_t>(payload.size()), 0);
        std::memcpy(Data() + offset + SIZEOF_ELEMENT_HDR, payload.data(), payload.size());
    }
    void PutHeader(uint32_t offset, uint32_t length, uint8_t wrapFlag) {
        std::memcpy(Data() + offset, &length, 4);
        Data()[offset + 4] = wrapFlag;
    }
    uint8_t WrapFlag(uint32_t offset) const { return Data()[offset + 4]; }

    uint32_t Read(void* dest, uint32_t* length) {
        return Q().ReadBytes(dest, length, mDataAreaSize);
    }
    // Reads into a string buffer of capacity bytes; returns the status.
    uint32_t Read(uint32_t capacity, std::string& out) {
        std::vector<char> buf(capacity + 1, '#');
        uint32_t length = capacity;
        uint32_t status = Read(buf.data(), &length);
        out.assign(buf.data(), status == 0 ? length : 0);
        mLastLength = length;
        return status;
    }
    uint32_t LastLength() const { return mLastLength; }

private:
    GuardedRegion mRegion;
    uint32_t mDataAreaSize;
    uint32_t mLastLength = 0;
};

std::string Payload(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>('A' + (seed * 7 + i * 13) % 26);
    }
    return s;
}

using QueueTest = DiagCaptureTest;
using QueueDeathTest = DiagCaptureTest;

TEST_F(QueueTest, EntryStatuses) {
    TestQueue zero(DATA, 0);
    zero.Q().mAttachCount = 0;
    uint32_t length = 77;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, zero.Read(nullptr, &length));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(VSharedMemoryQueue::STATUS_MISSING_ARG, zero.Read(nullptr, nullptr));

    TestQueue q;
    q.PutElement(0, "x");
    q.Q().mWriteOffset = 64;
    q.Q().mAttachCount = 0;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, q.Read(nullptr, &length));
    q.Q().mAttachCount = -1;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, q.Read(nullptr, &length));
    q.Q().mAttachCount = 1;
    q.Q().mWriteOffset = DATA;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, q.Read(nullptr, &length));
    q.Q().mWriteOffset = 64;
    q.Q().mReadOffset = DATA;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, q.Read(nullptr, &length));
    EXPECT_EQ(77u, length);

    // A capacity beyond the data area the partition holds: the read offset would lie on the
    // guard page.
    q.Q().mCapacity = DATA + 64;
    q.Q().mWriteOffset = 0;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_NOT_VALID, q.Read(nullptr, &length));
    EXPECT_EQ(77u, length);
    EXPECT_EQ(DATA, q.Q().mReadOffset);

    // Empty: a pending wrap marker is not looked at.
    q.Q().mCapacity = DATA;
    q.Q().mReadOffset = 3776;
    q.Q().mWriteOffset = 3776;
    q.PutHeader(3776, 0, 1);
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(nullptr, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(1, q.WrapFlag(3776));
    EXPECT_EQ(3776u, q.Q().mReadOffset);
}

TEST_F(QueueTest, ElementsSizesAndBuffers) {
    TestQueue q;
    q.PutElement(0, "hello world");
    q.PutElement(64, "");
    q.PutElement(128, Payload(56, 1));  // fills its 64-byte slot
    q.PutElement(192, Payload(57, 2));  // takes two slots
    q.Q().mWriteOffset = 320;
    std::string out;

    // Size query, too small a buffer, missing destination: nothing consumed.
    uint32_t length = 0;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_BUFFER_SMALL, q.Read(nullptr, &length));
    EXPECT_EQ(11u, length);
    EXPECT_EQ(VSharedMemoryQueue::STATUS_BUFFER_SMALL, q.Read(10, out));
    EXPECT_EQ(11u, q.LastLength());
    length = 11;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_MISSING_ARG, q.Read(nullptr, &length));
    EXPECT_EQ(11u, length);
    EXPECT_EQ(0u, q.Q().mReadOffset);

    // Exactly large enough; the bytes after the payload stay untouched.
    std::vector<char> buf(16, '#');
    length = 11;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(buf.data(), &length));
    EXPECT_EQ(11u, length);
    EXPECT_EQ("hello world#####", std::string(buf.data(), 16));
    EXPECT_EQ(64u, q.Q().mReadOffset);

    // Empty payload: the size query says 6, a read consumes it with length 0.
    length = 0;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_MISSING_ARG, q.Read(nullptr, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(100, out));
    EXPECT_EQ(0u, q.LastLength());
    EXPECT_EQ(128u, q.Q().mReadOffset);

    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(4096, out));
    EXPECT_EQ(Payload(56, 1), out);
    EXPECT_EQ(192u, q.Q().mReadOffset);
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(57, out));
    EXPECT_EQ(Payload(57, 2), out);
    EXPECT_EQ(320u, q.Q().mReadOffset);

    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(4096, out));
    EXPECT_EQ(0u, q.LastLength());
    EXPECT_EQ(320u, q.Q().mReadOffset);
}

TEST_F(QueueTest, WrapMarkers) {
    std::string out;
    const std::string first = Payload(100, 3);
    for (int variant = 0; variant < 3; ++variant) {
        TestQueue q;
        q.PutHeader(3776, 0xFFFFFFFF, 1);  // a marker's length is not read
        q.PutElement(0, first);
        q.Q().mReadOffset = 3776;
        q.Q().mWriteOffset = 128;
        if (variant == 0) {  // a large enough buffer passes marker and element in one call
            EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(4096, out));
            EXPECT_EQ(first, out);
        } else {  // too small a buffer, or no buffer: the marker alone is used up
            uint32_t status;
            if (variant == 1) {
                status = q.Read(99, out);
                EXPECT_EQ(VSharedMemoryQueue::STATUS_BUFFER_SMALL, status);
                EXPECT_EQ(100u, q.LastLength());
            } else {
                uint32_t length = 100;
                status = q.Read(nullptr, &length);
                EXPECT_EQ(VSharedMemoryQueue::STATUS_MISSING_ARG, status);
                EXPECT_EQ(100u, length);
            }
            EXPECT_EQ(0u, q.Q().mReadOffset);
            EXPECT_EQ(0, q.WrapFlag(3776));
            EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(100, out));
            EXPECT_EQ(first, out);
        }
        EXPECT_EQ(0, q.WrapFlag(3776));
        EXPECT_EQ(128u, q.Q().mReadOffset);
    }
}

TEST_F(QueueTest, SlotEndingAtCapacityWrapsTheReadOffset) {
    std::string out;
    TestQueue q;
    q.PutElement(3712, Payload(57, 4));  // 128-byte slot up to 3840
    q.Q().mReadOffset = 3712;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(4096, out));
    EXPECT_EQ(Payload(57, 4), out);
    EXPECT_EQ(0u, q.Q().mReadOffset);

    // The last payload byte is the last byte before the guard page.
    TestQueue tight(128);
    tight.PutElement(64, Payload(56, 5));
    tight.Q().mReadOffset = 64;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_OK, tight.Read(56, out));
    EXPECT_EQ(Payload(56, 5), out);
    EXPECT_EQ(0u, tight.Q().mReadOffset);
}

// A writer as the queue expects it, with its own free-space rule: the write offset never
// reaches the read offset from behind.
class RingWriter {
public:
    explicit RingWriter(TestQueue& q) : mQ(q) {}

    bool Put(const std::string& payload) {
        const uint32_t capacity = mQ.Q().mCapacity;
        const uint32_t slot =
            static_cast<uint32_t>(ElementSlotSize(static_cast<uint32_t>(payload.size())));
        const uint32_t w = mQ.Q().mWriteOffset;
        const uint32_t r = mQ.Q().mReadOffset;
        uint32_t at = w;
        if (w >= r) {
            if (w + slot > capacity) {
                if (slot >= r) {
                    return false;
                }
                at = 0;
            } else if (w + slot == capacity && r == 0) {
                return false;
            }
        } else if (w + slot >= r) {
            return false;
        }
        mQ.PutElement(at, payload);
        if (at != w) {
            mQ.PutHeader(w, 0, 1);
        }
        const uint32_t next = at + slot;
        std::atomic_ref<uint32_t>(mQ.Q().mWriteOffset)
            .store(next == capacity ? 0 : next, std::memory_order_release);
        return true;
    }

private:
    TestQueue& mQ;
};

TEST_F(QueueTest, RingRoundTripLosesNothing) {
    TestQueue q;
    RingWriter writer(q);
    std::mt19937 rng(7);
    unsigned written = 0;
    unsigned read = 0;
    std::string out;
    while (read < 3000) {
        // Up to four records, then read all that are there.
        for (int i = 0, n = static_cast<int>(rng() % 5); i < n; ++i) {
            const size_t len = rng() % 4 == 0 ? rng() % 1500 : rng() % 120;
            if (!writer.Put(Payload(len, written))) {
                break;
            }
            ++written;
        }
        for (;;) {
            uint32_t length = 0;
            uint32_t status = q.Read(nullptr, &length);
            if (status == 0) {
                EXPECT_EQ(0u, length);
                break;
            }
            ASSERT_TRUE(status == 8 || status == 6) << status;
            ASSERT_EQ(VSharedMemoryQueue::STATUS_OK, q.Read(length, out));
            ASSERT_EQ(Payload(length, read), out) << "record " << read;
            ++read;
        }
        ASSERT_EQ(written, read);
    }
}

// Changes made by the entry hook below: what a concurrent writer might do between the
// reader's entry checks and its further loads.
void DropAttachCount(VSharedMemoryQueue& q) { std::atomic_ref<int32_t>(q.mAttachCount).store(0); }
void MoveReadOffsetBeyondCapacity(VSharedMemoryQueue& q) {
    std::atomic_ref<uint32_t>(q.mReadOffset).store(DATA);
    std::atomic_ref<uint32_t>(q.mCapacity).store(2 * DATA);
}

TEST_F(QueueDeathTest, FatalChecksOfTheElementAndOffsets) {
    std::string out;
    {  // an element longer than the data area can hold
        TestQueue q;
        q.Q().mWriteOffset = 64;
        for (uint32_t length : {DATA - 7, 0xFFFFFFFFu}) {
            q.PutHeader(0, length, 0);
            EXPECT_EXIT(
                {
                    EchoToStderr();
                    q.Read(4096, out);
                },
                testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
                FatalLine(READ, "elLength <= this->mCapacity - SIZEOF_ELEMENT_HDR"));
        }
    }
    {  // an element reaching past the end of the data area
        TestQueue q;
        q.PutHeader(3776, 100, 0);
        q.Q().mReadOffset = 3776;
        EXPECT_EXIT(
            {
                EchoToStderr();
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "tmpOffset + SIZEOF_ELEMENT_HDR + elLength <= this->mCapacity"));
    }
    {  // a capacity that is no multiple of 64 leaves the read offset beyond it
        TestQueue q(256, 200);
        q.PutElement(128, Payload(60, 6));
        q.Q().mReadOffset = 128;
        EXPECT_EXIT(
            {
                EchoToStderr();
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "this->mReadOffset <= this->mCapacity"));
    }
    {  // a read offset that is no multiple of 64
        TestQueue q;
        q.PutElement(8, Payload(8, 7));
        q.Q().mReadOffset = 8;
        EXPECT_EXIT(
            {
                EchoToStderr();
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "isAligned64(this->mReadOffset)"));
    }
    {  // the header turns invalid during the call; here the copy itself clears mAttachCount
        TestQueue q;
        q.PutElement(0, std::string(4, '\0'));
        q.Q().mWriteOffset = 64;
        EXPECT_EXIT(
            {
                EchoToStderr();
                uint32_t length = 4;
                q.Read(&q.Q().mAttachCount, &length);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE), FatalLine(READ, "this->IsValid()"));
    }
    {  // ... and right after the entry checks
        TestQueue q;
        q.PutElement(0, "x");
        q.Q().mWriteOffset = 64;
        EXPECT_EXIT(
            {
                EchoToStderr();
                VSharedMemoryQueue::sAfterEntryChecksForTesting = DropAttachCount;
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE), FatalLine(READ, "this->IsValid()"));
        // The read offset taken after the checks lies outside the data area, while the header
        // as read again looks valid: the bound taken at entry still holds.
        q.Q().mAttachCount = 1;  // the region is shared with the child above
        EXPECT_EXIT(
            {
                EchoToStderr();
                VSharedMemoryQueue::sAfterEntryChecksForTesting = MoveReadOffsetBeyondCapacity;
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "nextUsedElement >= startAddress && nextUsedElement < endAddress"));
    }
}

TEST_F(QueueDeathTest, HostileHeadersStayInsideThePartition) {
    std::string out;
    {  // an element header that would straddle the guard page
        TestQueue q(256);
        q.Q().mReadOffset = 252;
        EXPECT_EXIT(
            {
                EchoToStderr();
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "tmpOffset + SIZEOF_ELEMENT_HDR <= this->mCapacity"));
    }
    {  // a data area too small for any element header
        TestQueue q(4);
        q.Q().mWriteOffset = 1;
        EXPECT_EXIT(
            {
                EchoToStderr();
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "tmpOffset + SIZEOF_ELEMENT_HDR <= this->mCapacity"));
    }
    {  // a wrap marker in front of an element at offset 0 that is too long
        TestQueue q;
        q.PutHeader(3776, 0, 1);
        q.PutHeader(0, 0x7FFFFFFF, 0);
        q.Q().mReadOffset = 3776;
        EXPECT_EXIT(
            {
                EchoToStderr();
                q.Read(4096, out);
            },
            testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
            FatalLine(READ, "elLength <= this->mCapacity - SIZEOF_ELEMENT_HDR"));
    }
    // An odd read offset whose element header fits: read as it lies, little-endian.
    TestQueue q;
    q.PutHeader(3, 0x00000201, 0);
    q.Q().mReadOffset = 3;
    EXPECT_EQ(VSharedMemoryQueue::STATUS_BUFFER_SMALL, q.Read(16, out));
    EXPECT_EQ(0x201u, q.LastLength());
    EXPECT_EQ(3u, q.Q().mReadOffset);
}

// The reader in a loop while another thread writes random values into the header and the data
// area. Ends the process with 0 after reads reads, with 254 through a fatal check, or with 3
// when a read reports what it must not.
[[noreturn]] void ReadWhileScribbled(unsigned seed, int reads) {
    TestQueue q;
    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        std::mt19937 rng(seed);
        auto plausibleOffset = [&] { return static_cast<uint32_t>(rng() % (DATA / 64)) * 64; };
        auto anyValue = [&]() -> uint32_t {
            switch (rng() % 8) {
                case 0:
                    return rng();
                case 1:
                    return rng() % (2 * DATA);
                case 2:
                    return DATA - rng() % 16;
                default:
                    return plausibleOffset();
            }
        };
        VSharedMemoryQueue& h = q.Q();
        while (!stop.load(std::memory_order_relaxed)) {
            switch (rng() % 10) {
                case 0:
                    __atomic_store_n(&h.mCapacity, rng() % 4 == 0 ? anyValue() : DATA,
                                     __ATOMIC_RELAXED);
                    break;
                case 1:
                    __atomic_store_n(&h.mReadOffset, anyValue(), __ATOMIC_RELAXED);
                    break;
                case 2:
                    __atomic_store_n(&h.mWriteOffset, anyValue(), __ATOMIC_RELAXED);
                    break;
                case 3:
                    __atomic_store_n(&h.mAttachCount, static_cast<int32_t>(rng() % 4) - 1,
                                     __ATOMIC_RELAXED);
                    break;
                case 4:
                case 5: {  // an element length
                    uint32_t at = rng() % 3 == 0 ? static_cast<uint32_t>(rng() % (DATA - 3)) & ~3u
                                                 : plausibleOffset();
                    __atomic_store_n(reinterpret_cast<uint32_t*>(q.Data() + at),
                                     rng() % 3 == 0 ? rng() : rng() % 400, __ATOMIC_RELAXED);
                    break;
                }
                case 6:
                    __atomic_store_n(q.Data() + plausibleOffset() + 4,
                                     static_cast<uint8_t>(rng() % 2), __ATOMIC_RELAXED);
                    break;
                default:
                    __atomic_store_n(q.Data() + rng() % DATA, static_cast<uint8_t>(rng()),
                                     __ATOMIC_RELAXED);
                    break;
            }
        }
    });
    std::vector<char> buf(DATA);
    std::mt19937 rng(seed + 1000);
    bool ok = true;
    for (int i = 0; i < reads && ok; ++i) {
        uint32_t length = rng() % 2 == 0 ? DATA : rng() % 200;
        const uint32_t status = q.Read(rng() % 8 == 0 ? nullptr : buf.data(), &length);
        ok = status == 11 || ((status == 0 || status == 6 || status == 8) && length <= DATA - 8);
    }
    stop = true;
    scribbler.join();
    std::exit(ok ? 0 : 3);
}

TEST_F(QueueDeathTest, HostileWriterMeetsStatusesOrTheFatalCheck) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto orderly = [](int status) {
        return testing::ExitedWithCode(0)(status) ||
               testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE)(status);
    };
    for (unsigned seed = 1; seed <= 8; ++seed) {
        EXPECT_EXIT(ReadWhileScribbled(seed, 200000), orderly, "") << "seed " << seed;
    }
}

}  // namespace
