// TraceWriter against the byte layout alone (partitions served by the fake library): header
// and queue set-up, element bytes, wrap marker with the element at 0, filler, the rule that
// the write offset never meets the read offset while records wait, drop counting, and a second
// writer going on where the first stopped. The reader used here is the real one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/RawSharedMemoryQueue.h"
#include "rth/RthAdmin.h"
#include "rth/fake/RthFake.h"
#include "tests/tools/ToolTestSupport.h"
#include "writer/TraceWriter.h"

namespace {

using PlixToolTest::Get32;
using Result = TraceWriter::Result;

constexpr uint32_t DATA = 192;       // data area from the partition base
constexpr uint32_t W_OFFSET = 64;    // queue header fields from the partition base
constexpr uint32_t ATTACH = 68;
constexpr uint32_t CAPACITY = 76;
constexpr uint32_t R_OFFSET = 128;

class TraceWriterTest : public ::testing::Test {
protected:
    void SetUp() override { RthFake::Get().Reset(); }
    void TearDown() override { RthFake::Get().Reset(); }

    uint8_t* Partition(uint32_t size, uint8_t fill = 0) {
        mSize = size;
        mBase = RthFake::Get().AddPartition("plixtrace", size);
        std::memset(mBase, fill, size);
        return mBase;
    }
    std::unique_ptr<TraceWriter> OpenWriter(TraceWriter::OpenMode expected) {
        auto writer = std::make_unique<TraceWriter>("plixtrace");
        std::string error;
        EXPECT_TRUE(writer->Open(error)) << error;
        EXPECT_EQ(writer->HowOpened(), expected);
        return writer;
    }
    std::unique_ptr<RawSharedMemoryQueue> OpenReader() {
        auto reader = std::make_unique<RawSharedMemoryQueue>();
        EXPECT_EQ(reader->Open(), RawSharedMemoryQueue::OPEN_OK);
        EXPECT_TRUE(reader->AttachReader());
        return reader;
    }
    // The next record through the real reader; "<empty>" when there is none.
    static std::string ReadOne(RawSharedMemoryQueue& reader) {
        std::vector<char> buffer(65536);
        uint32_t length = static_cast<uint32_t>(buffer.size());
        uint32_t status = reader.Read(buffer.data(), length);
        EXPECT_EQ(status, ZulOsCom::VSharedMemoryQueue::STATUS_OK);
        return length == 0 ? "<empty>" : std::string(buffer.data(), length);
    }
    uint32_t At(uint32_t offset) const { return Get32(mBase, offset); }
    uint32_t WriteOffset() const { return At(W_OFFSET); }
    uint32_t ReadOffset() const { return At(R_OFFSET); }
    // Element header at data offset o: length, wrapFlag, mark.
    uint32_t ElLength(uint32_t o) const { return At(DATA + o); }
    uint8_t ElWrap(uint32_t o) const { return mBase[DATA + o + 4]; }
    uint8_t ElMark(uint32_t o) const { return mBase[DATA + o + 5]; }
    std::string Payload(uint32_t o) const {
        return std::string(reinterpret_cast<const char*>(mBase + DATA + o + 8), ElLength(o));
    }

    uint8_t* mBase = nullptr;
    uint32_t mSize = 0;
};

TEST_F(TraceWriterTest, InitialisesHeaderAndQueueFromAnyContents) {
    Partition(4096, 0xAB);
    {
        auto writer = OpenWriter(TraceWriter::OpenMode::INITIALISED);
        EXPECT_EQ(writer->Capacity(), 3840u);
        EXPECT_EQ(writer->MaxRecordLength(), 3768u);

        char name[32] = "plixtrace";
        EXPECT_EQ(std::memcmp(mBase, name, 32), 0);  // NUL-terminated, zero-padded
        EXPECT_EQ(At(32), 4096u);
        EXPECT_EQ(At(36), 0x00020000u);
        EXPECT_TRUE(At(40) != 0 || At(44) != 0);  // initTime
        uint8_t sum = 0;
        for (int i = 0; i <= 48; ++i) {
            sum = static_cast<uint8_t>(sum + mBase[i]);
        }
        EXPECT_EQ(sum, 0);
        EXPECT_EQ(mBase[49] | mBase[50] | mBase[51], 0);
        EXPECT_EQ(static_cast<int32_t>(At(52)), 1);  // the writer's reference
        EXPECT_EQ(At(4092), 0xDEDEDEDEu);
        EXPECT_EQ(WriteOffset(), 0u);
        EXPECT_EQ(At(ATTACH), 1u);
        EXPECT_EQ(At(CAPACITY), 3840u);
        EXPECT_EQ(ReadOffset(), 0u);
        for (uint32_t i = DATA; i < 4092; ++i) {
            ASSERT_EQ(mBase[i], 0) << i;
        }
    }
    // The writer gives its reference back; the queue stays valid for readers.
    EXPECT_EQ(static_cast<int32_t>(At(52)), 0);
    EXPECT_EQ(At(ATTACH), 1u);
    auto reader = OpenReader();
    EXPECT_EQ(At(ATTACH), 2u);
    EXPECT_EQ(ReadOne(*reader), "<empty>");

    // Smallest partition: capacity 128, records up to 56 bytes. One byte less is refused.
    reader.reset();
    RthFake::Get().Reset();
    Partition(TraceWriter::MIN_PARTITION_SIZE);
    {
        auto small = OpenWriter(TraceWriter::OpenMode::INITIALISED);
        EXPECT_EQ(small->Capacity(), 128u);
        EXPECT_EQ(small->MaxRecordLength(), 56u);
    }
    RthFake::Get().Reset();
    Partition(TraceWriter::MIN_PARTITION_SIZE - 1);
    TraceWriter tooSmall("plixtrace");
    std::string error;
    EXPECT_FALSE(tooSmall.Open(error));
    EXPECT_NE(error.find("too small"), std::string::npos) << error;
    EXPECT_EQ(tooSmall.Write("x", 1), Result::NOT_OPEN);
    TraceWriter absent("nothere");
    EXPECT_FALSE(absent.Open(error));
    EXPECT_NE(error.find("does not exist"), std::string::npos) << error;
}

TEST_F(TraceWriterTest, ElementsWrapMarkerAndFillerByteForByte) {
    Partition(4096);
    auto writer = OpenWriter(TraceWriter::OpenMode::INITIALISED);
    auto reader = OpenReader();
    writer->SetDropWhenFull(true);

    // Slots: 56 bytes take 64, 57 take 128, 0 take 64.
    std::string a(56, 'a'), b(57, 'b');
    ASSERT_EQ(writer->Write(a.data(), 56), Result::WRITTEN);
    EXPECT_EQ(WriteOffset(), 64u);
    ASSERT_EQ(writer->Write(b.data(), 57), Result::WRITTEN);
    EXPECT_EQ(WriteOffset(), 192u);
    ASSERT_EQ(writer->Write(nullptr, 0), Result::WRITTEN);
    EXPECT_EQ(WriteOffset(), 256u);
    EXPECT_EQ(ElLength(0), 56u);
    EXPECT_EQ(ElWrap(0), 0);
    EXPECT_EQ(ElMark(0), 0);
    EXPECT_EQ(Payload(0), a);
    EXPECT_EQ(ElLength(64), 57u);
    EXPECT_EQ(Payload(64), b);
    EXPECT_EQ(ElLength(192), 0u);
    EXPECT_EQ(ReadOne(*reader), a);
    EXPECT_EQ(ReadOne(*reader), b);
    EXPECT_EQ(ReadOne(*reader), "<empty>");  // the empty record
    EXPECT_EQ(ReadOffset(), 256u);

    // Up to 3072, read; then a 1000-byte record (slot 1024) does not fit before the end and
    // goes to 0 behind a wrap marker at 3072.
    std::string c(1000, 'c');
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(writer->Write(c.data(), 1000), Result::WRITTEN);
        ReadOne(*reader);
    }
    ASSERT_EQ(writer->Write(c.data(), 760), Result::WRITTEN);  // slot 768: ends at 3072
    ReadOne(*reader);
    ASSERT_EQ(WriteOffset(), 3072u);
    ASSERT_EQ(ReadOffset(), 3072u);
    std::string d(1000, 'd');
    ASSERT_EQ(writer->Write(d.data(), 1000), Result::WRITTEN);
    EXPECT_EQ(WriteOffset(), 1024u);
    EXPECT_NE(ElWrap(3072), 0);
    EXPECT_EQ(ElLength(0), 1000u);
    EXPECT_EQ(ElWrap(0), 0);
    EXPECT_EQ(Payload(0), d);
    EXPECT_EQ(ReadOne(*reader), d);
    EXPECT_EQ(ElWrap(3072), 0);  // the reader cleared the marker it passed
    EXPECT_EQ(ReadOffset(), 1024u);

    // Move to 3072 again and empty the queue; then the longest record (slot 3776) fits neither
    // at 3072 nor at 0 before 3072: a filler covers 3072..3840 (length 768 - 71), the record
    // waits (dropped here) until the reader has passed the filler.
    std::string e(2040, 'e');
    ASSERT_EQ(writer->Write(e.data(), 2040), Result::WRITTEN);  // slot 2048
    ReadOne(*reader);
    ASSERT_EQ(ReadOffset(), 3072u);
    std::string longest(3768, 'L');
    EXPECT_EQ(writer->Write(longest.data(), 3768), Result::DROPPED);
    EXPECT_EQ(writer->Fillers(), 1u);
    EXPECT_EQ(WriteOffset(), 0u);
    EXPECT_EQ(ElLength(3072), 768u - 71u);
    EXPECT_EQ(ElWrap(3072), 0);
    EXPECT_EQ(ElMark(3072), TraceWriter::FILLER_MARK);
    EXPECT_EQ(mBase[DATA + 3072 + 8], 0);  // a reader prints nothing
    std::string filler = ReadOne(*reader);
    EXPECT_EQ(filler.size(), 697u);
    EXPECT_EQ(filler[0], '\0');
    EXPECT_EQ(ReadOffset(), 0u);
    ASSERT_EQ(writer->Write(longest.data(), 3768), Result::WRITTEN);
    EXPECT_EQ(WriteOffset(), 3776u);
    EXPECT_EQ(ReadOne(*reader), longest);

    // 64 bytes left: the filler has length 0.
    ASSERT_EQ(ReadOffset(), 3776u);
    EXPECT_EQ(writer->Write(longest.data(), 3768), Result::DROPPED);
    EXPECT_EQ(writer->Fillers(), 2u);
    EXPECT_EQ(ElLength(3776), 0u);
    EXPECT_EQ(ElMark(3776), TraceWriter::FILLER_MARK);
    EXPECT_EQ(WriteOffset(), 0u);
    EXPECT_EQ(ReadOne(*reader), "<empty>");  // the filler, consumed
    EXPECT_EQ(ReadOffset(), 0u);

    // Longer than the longest record: refused, nothing changes.
    EXPECT_EQ(writer->Write(longest.data(), 3769), Result::TOO_LONG);
    EXPECT_EQ(WriteOffset(), 0u);
    EXPECT_EQ(writer->Written(), 9u);
    EXPECT_EQ(writer->Dropped(), 2u);
}

TEST_F(TraceWriterTest, WriteOffsetNeverMeetsReadOffsetWhileRecordsWait) {
    Partition(4096);
    auto writer = OpenWriter(TraceWriter::OpenMode::INITIALISED);
    auto reader = OpenReader();
    writer->SetDropWhenFull(true);
    // 8-byte records take one 64-byte slot: 59 fill 3776 of 3840; the 60th would move the
    // write offset to 0, onto the read offset, and is dropped.
    uint64_t next = 0;
    auto put = [&] { return writer->Write(&next, 8); };
    for (; next < 59; ++next) {
        ASSERT_EQ(put(), Result::WRITTEN);
        ASSERT_NE(WriteOffset(), ReadOffset());
    }
    EXPECT_EQ(put(), Result::DROPPED);
    EXPECT_EQ(WriteOffset(), 3776u);
    ASSERT_EQ(ReadOne(*reader), std::string(8, '\0'));  // record 0
    EXPECT_EQ(put(), Result::WRITTEN);  // record 59 now ends at the end: write offset 0
    ++next;
    EXPECT_EQ(WriteOffset(), 0u);
    EXPECT_EQ(put(), Result::DROPPED);  // 0 + 64 would meet the read offset 64
    EXPECT_EQ(writer->Dropped(), 2u);
    EXPECT_EQ(writer->Written(), 60u);
    for (uint64_t i = 1; i < 60; ++i) {
        std::string record = ReadOne(*reader);
        ASSERT_EQ(record.size(), 8u);
        uint64_t seen;
        std::memcpy(&seen, record.data(), 8);
        ASSERT_EQ(seen, i);
    }
    EXPECT_EQ(ReadOne(*reader), "<empty>");

    // Without drop mode the writer waits instead, and goes on once the reader has made room.
    writer->SetDropWhenFull(false);
    for (next = 100; next < 159; ++next) {
        ASSERT_EQ(put(), Result::WRITTEN);
    }
    uint32_t full = WriteOffset();
    std::atomic<bool> done{false};
    std::thread blocked([&] {
        EXPECT_EQ(put(), Result::WRITTEN);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(WriteOffset(), full);
    EXPECT_EQ(ReadOne(*reader).size(), 8u);
    blocked.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(writer->Dropped(), 2u);
}

TEST_F(TraceWriterTest, SecondWriterGoesOnAtTheWriteOffset) {
    Partition(4096);
    uint64_t initTime = 0;
    {
        auto first = OpenWriter(TraceWriter::OpenMode::INITIALISED);
        ASSERT_EQ(first->Write("one", 3), Result::WRITTEN);
        ASSERT_EQ(first->Write("two", 3), Result::WRITTEN);
        initTime = At(40) | static_cast<uint64_t>(At(44)) << 32;
    }
    auto reader = OpenReader();
    EXPECT_EQ(ReadOne(*reader), "one");
    {
        auto second = OpenWriter(TraceWriter::OpenMode::ATTACHED);
        EXPECT_EQ(static_cast<int32_t>(At(52)), 2);  // reader and writer
        ASSERT_EQ(second->Write("three", 5), Result::WRITTEN);
        EXPECT_EQ(WriteOffset(), 192u);
        EXPECT_EQ(Payload(128), "three");
    }
    EXPECT_EQ(initTime, At(40) | static_cast<uint64_t>(At(44)) << 32);  // not initialised anew
    EXPECT_EQ(At(ATTACH), 2u);
    EXPECT_EQ(ReadOne(*reader), "two");
    EXPECT_EQ(ReadOne(*reader), "three");
    reader.reset();

    // A queue header that is not plausible, or a broken management header, is set up anew.
    const std::vector<std::pair<uint32_t, uint32_t>> damage = {
        {CAPACITY, 3904}, {W_OFFSET, 3840}, {R_OFFSET, 65}, {ATTACH, 0}, {36, 0x00010000}};
    for (const auto& [offset, value] : damage) {
        SCOPED_TRACE(offset);
        {
            auto writer = OpenWriter(TraceWriter::OpenMode::ATTACHED);
            ASSERT_EQ(writer->Write("x", 1), Result::WRITTEN);
        }
        std::memcpy(mBase + offset, &value, 4);
        auto writer = OpenWriter(TraceWriter::OpenMode::INITIALISED);
        EXPECT_EQ(WriteOffset(), 0u);
        EXPECT_EQ(ReadOffset(), 0u);
        EXPECT_EQ(At(CAPACITY), 3840u);
        EXPECT_EQ(At(ATTACH), 1u);
        EXPECT_EQ(At(36), 0x00020000u);
    }
    mBase[3] ^= 1;  // checksum no longer matches
    OpenWriter(TraceWriter::OpenMode::INITIALISED);
}

// The writer decides with the reader's rules: a queue the reader reads on is continued, never
// wiped (a header size below the object's size after the object grew is the reader's too); only
// what the reader refuses is set up, and never under a reader's claim. One writer at a time.
TEST_F(TraceWriterTest, WriterSetsUpOnlyWhatTheReaderRefusesAndNeverUnderAReader) {
    // A queue holding the record "kept", then damaged; object: the partition's size.
    auto prepare = [this](uint32_t object, uint32_t offset, uint32_t value) {
        RthFake::Get().Reset();
        Partition(4096);
        {
            auto first = OpenWriter(TraceWriter::OpenMode::INITIALISED);
            ASSERT_EQ(first->Write("kept", 4), Result::WRITTEN);
        }
        if (object != 4096) {  // the object grew: the same bytes in a larger object
            std::vector<uint8_t> bytes(mBase, mBase + 4096);
            Partition(object);
            std::memcpy(mBase, bytes.data(), bytes.size());
        }
        std::memcpy(mBase + offset, &value, 4);
        // The checksum kept right: only the field named is wrong.
        mBase[48] = 0;
        uint8_t sum = 0;
        for (int i = 0; i <= 48; ++i) sum = static_cast<uint8_t>(sum + mBase[i]);
        mBase[48] = static_cast<uint8_t>(0u - sum);
    };
    struct Case {
        const char* what;
        uint32_t object, offset, value;
        bool readerReads;
    };
    const Case cases[] = {
        {"as set up", 4096, ATTACH, 1, true},
        {"object grew to 8192", 8192, ATTACH, 1, true},
        {"capacity below the expected one", 4096, CAPACITY, 3776, true},
        {"capacity beyond the data area", 4096, CAPACITY, 3904, false},
        {"write offset at the capacity", 4096, W_OFFSET, 3840, false},
        {"attach count 0", 4096, ATTACH, 0, false},
        {"header size beyond the object", 4096, 32, 8192, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        prepare(c.object, c.offset, c.value);
        // The reader's verdict, as the rules say and as the reader itself finds it.
        EXPECT_EQ(TraceWriter::QueueLooksSetUp(mBase, mSize), c.readerReads);
        {
            RawSharedMemoryQueue reader;
            uint32_t length = 64;
            char buffer[64];
            const bool reads = reader.Open() == RawSharedMemoryQueue::OPEN_OK &&
                               reader.AttachReader() &&
                               reader.Read(buffer, length) == ZulOsCom::VSharedMemoryQueue::STATUS_OK &&
                               std::string(buffer, length) == "kept";
            EXPECT_EQ(reads, c.readerReads);
        }
        // The writer (initialising allowed) continues what the reader reads, behind "kept".
        prepare(c.object, c.offset, c.value);
        auto writer = OpenWriter(c.readerReads ? TraceWriter::OpenMode::ATTACHED
                                               : TraceWriter::OpenMode::INITIALISED);
        ASSERT_EQ(writer->Write("more", 4), Result::WRITTEN);
        // Within the queue's own capacity when continued, the object's when set up.
        const uint32_t kept = c.offset == CAPACITY ? c.value : 3840u;
        EXPECT_EQ(writer->Capacity(), c.readerReads ? kept : (c.object - 196) / 64 * 64);
        writer.reset();
        auto reader = OpenReader();
        if (c.readerReads) {
            EXPECT_EQ(ReadOne(*reader), "kept");
        }
        EXPECT_EQ(ReadOne(*reader), "more");
    }

    // Refused by the reader, but a reader holds the partition: not set up, nothing changed.
    prepare(4096, ATTACH, 0);
    const std::vector<uint8_t> before(mBase, mBase + mSize);
    int32_t readerLock = -1;
    ASSERT_EQ(rthPartitionLock("plixtrace", RTH_ROLE_READER, &readerLock, nullptr), RTH_OK);
    TraceWriter underReader("plixtrace");
    std::string error;
    EXPECT_FALSE(underReader.Open(error));
    EXPECT_NE(error.find("a reader holds it"), std::string::npos) << error;
    EXPECT_EQ(std::vector<uint8_t>(mBase, mBase + mSize), before);
    ASSERT_EQ(rthPartitionUnlock(readerLock), RTH_OK);

    // One writer at a time: a second one is refused until the first has gone.
    auto first = OpenWriter(TraceWriter::OpenMode::INITIALISED);
    TraceWriter second("plixtrace");
    EXPECT_FALSE(second.Open(error));
    EXPECT_NE(error.find("has another writer"), std::string::npos) << error;
    EXPECT_EQ(second.Write("x", 1), Result::NOT_OPEN);
    first.reset();
    EXPECT_TRUE(second.Open(error)) << error;
}

// Safety of the placement rule over every state of a small queue: an element or marker never
// lands on unread bytes, the write offset never meets the read offset while something is
// unread, fillers only fill an empty queue, and an empty queue never makes a record wait.
TEST(TraceWriterPlanTest, PlacementsNeverOverlapUnreadBytes) {
    constexpr uint32_t C = 512;
    using P = TraceWriter::Placement;
    for (uint32_t w = 0; w < C; w += 64) {
        for (uint32_t r = 0; r < C; r += 64) {
            // Unread bytes, as the writer's and reader's offsets describe them.
            auto unread = [&](uint32_t o) {
                return r <= w ? (o >= r && o < w) : (o >= r || o < w);
            };
            for (uint32_t slot = 64; slot < C; slot += 64) {
                SCOPED_TRACE(testing::Message() << "w=" << w << " r=" << r << " slot=" << slot);
                P p = TraceWriter::Plan(C, w, r, slot);
                uint32_t start = 0, newW = 0;
                switch (p) {
                    case P::AT_WRITE_OFFSET:
                        start = w;
                        ASSERT_LE(w + slot, C);
                        newW = (w + slot) % C;
                        break;
                    case P::WRAP:
                        start = 0;
                        newW = slot;
                        ASSERT_FALSE(unread(w));  // the marker's slot
                        ASSERT_GE(w, slot);       // marker not inside the element
                        break;
                    case P::FILLER:
                        ASSERT_EQ(r, w);
                        ASSERT_TRUE(w + slot > C && slot >= r);  // nothing else would do
                        continue;
                    case P::WAIT:
                        ASSERT_NE(r, w);
                        continue;
                }
                for (uint32_t o = start; o < start + slot; o += 64) {
                    ASSERT_FALSE(unread(o)) << "element over unread offset " << o;
                }
                ASSERT_NE(newW, r);
            }
        }
    }
}

}  // namespace
