// The writer library's C interface (libplixwriter.so as shipped, over real shared memory in a
// private partition namespace): the status of every kind of bad input, partitions it must
// refuse and leave as they are, drop counting, waiting versus dropping, and records read back
// byte for byte by the reader's own queue code. Also the header-only C++ layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/RawSharedMemoryQueue.h"
#include "plixtrace/PlixWriter.hpp"
#include "plixtrace/plixwriter.h"
#include "rth/RthAdmin.h"
#include "tests/tools/ToolTestSupport.h"

namespace {

using PlixToolTest::Get32;
using PlixToolTest::MappedPartition;

constexpr uint32_t R_OFFSET = 128;  // the queue's read offset, from the partition base
constexpr uint32_t REF_COUNT = 52;

class PlixWriterLibraryTest : public ::testing::Test {
protected:
    void Create(uint32_t size) { ASSERT_EQ(rthPartitionCreate("plixtrace", size), RTH_OK); }

    plixw_writer* Open(uint32_t flags) {
        plixw_writer* writer = nullptr;
        EXPECT_EQ(plixw_open("plixtrace", flags, &writer), PLIXW_OK);
        return writer;
    }
    static uint64_t Dropped(plixw_writer* writer) {
        uint64_t count = 0;
        EXPECT_EQ(plixw_dropped(writer, &count), PLIXW_OK);
        return count;
    }
    static uint64_t Written(plixw_writer* writer) {
        uint64_t count = 0;
        EXPECT_EQ(plixw_written(writer, &count), PLIXW_OK);
        return count;
    }
    // The next record through the reader's queue code; "<none>" when the queue is empty.
    static std::string ReadOne(RawSharedMemoryQueue& reader) {
        std::vector<char> buffer(65536);
        uint32_t length = static_cast<uint32_t>(buffer.size());
        EXPECT_EQ(reader.Read(buffer.data(), length), ZulOsCom::VSharedMemoryQueue::STATUS_OK);
        return length == 0 ? "<none>" : std::string(buffer.data(), length);
    }
    static void AttachReader(RawSharedMemoryQueue& reader) {
        ASSERT_EQ(reader.Open(), RawSharedMemoryQueue::OPEN_OK);
        ASSERT_TRUE(reader.AttachReader());
    }

    PlixToolTest::PrivatePartitions mPartitions;
};

TEST_F(PlixWriterLibraryTest, BadInputAndUnusablePartitionsGiveTheirStatus) {
    plixw_writer* writer = reinterpret_cast<plixw_writer*>(0x1);
    EXPECT_EQ(plixw_open(nullptr, 0, &writer), PLIXW_E_ARGUMENT);
    EXPECT_EQ(writer, nullptr);  // cleared on every failure
    EXPECT_EQ(plixw_open("plixtrace", 0, nullptr), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_open("", PLIXW_OPEN_INIT, &writer), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_open(std::string(32, 'n').c_str(), PLIXW_OPEN_INIT, &writer),
              PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_open("plixtrace", 0x2, &writer), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_open("plixtrace", PLIXW_OPEN_INIT, &writer), PLIXW_E_NO_PARTITION);
    EXPECT_EQ(writer, nullptr);
    EXPECT_TRUE(mPartitions.Names().empty());  // the library never creates a partition

    // Too small for a queue: refused even with the set-up flag.
    ASSERT_EQ(rthPartitionCreate("small", 323), RTH_OK);
    EXPECT_EQ(plixw_open("small", PLIXW_OPEN_INIT, &writer), PLIXW_E_TOO_SMALL);

    // Fresh (all zero) and broken partitions are refused without the flag and left as found.
    Create(4096);
    EXPECT_EQ(plixw_open("plixtrace", 0, &writer), PLIXW_E_NOT_SET_UP);
    {
        MappedPartition mapped("plixtrace");
        for (uint32_t i = 0; i < mapped.Size(); ++i) {
            ASSERT_EQ(mapped.Base()[i], 0) << i;
        }
    }
    writer = Open(PLIXW_OPEN_INIT);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(plixw_write(writer, "kept\n", 6), PLIXW_OK);
    ASSERT_EQ(plixw_close(writer), PLIXW_OK);
    std::vector<uint8_t> before;
    {
        MappedPartition mapped("plixtrace");
        mapped.Base()[3] ^= 0x40;  // the header's checksum no longer matches
        before.assign(mapped.Base(), mapped.Base() + mapped.Size());
    }
    EXPECT_EQ(plixw_open("plixtrace", 0, &writer), PLIXW_E_BROKEN);
    EXPECT_EQ(writer, nullptr);
    {
        MappedPartition mapped("plixtrace");
        EXPECT_EQ(std::vector<uint8_t>(mapped.Base(), mapped.Base() + mapped.Size()), before);
    }
    // Asked for, the set-up replaces it with an empty queue.
    writer = Open(PLIXW_OPEN_INIT);
    ASSERT_NE(writer, nullptr);
    uint32_t longest = 0;
    ASSERT_EQ(plixw_max_record_length(writer, &longest), PLIXW_OK);
    EXPECT_EQ(longest, 3768u);

    // Calls on an open writer with bad arguments change nothing and count nothing.
    std::vector<char> record(longest + 1, 'x');
    EXPECT_EQ(plixw_write(nullptr, "x", 1), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_write(writer, nullptr, 1), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_write(writer, record.data(), longest + 1), PLIXW_E_TOO_LONG);
    EXPECT_EQ(plixw_set_full_policy(writer, 7, 0), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_set_full_policy(nullptr, PLIXW_FULL_DROP, 0), PLIXW_E_ARGUMENT);
    uint64_t count = 0;
    EXPECT_EQ(plixw_dropped(nullptr, &count), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_dropped(writer, nullptr), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_written(writer, nullptr), PLIXW_E_ARGUMENT);
    EXPECT_EQ(plixw_max_record_length(nullptr, &longest), PLIXW_E_ARGUMENT);
    EXPECT_EQ(Dropped(writer), 0u);
    EXPECT_EQ(Written(writer), 0u);
    EXPECT_EQ(plixw_write(writer, nullptr, 0), PLIXW_OK);  // the empty record
    EXPECT_EQ(plixw_write(writer, record.data(), 56), PLIXW_OK);
    EXPECT_EQ(Written(writer), 2u);

    // A queue header broken under the writer: a status, nothing written, the host lives on.
    {
        MappedPartition mapped("plixtrace");
        uint32_t bad = 65;
        std::memcpy(mapped.Base() + R_OFFSET, &bad, 4);
        EXPECT_EQ(plixw_write(writer, "x", 1), PLIXW_E_BROKEN);
        bad = 3840;  // the capacity itself
        std::memcpy(mapped.Base() + R_OFFSET, &bad, 4);
        EXPECT_EQ(plixw_write(writer, "x", 1), PLIXW_E_BROKEN);
        EXPECT_EQ(Get32(mapped.Base(), 64), 128u);  // the write offset behind the two records
    }
    EXPECT_EQ(Written(writer), 2u);
    EXPECT_EQ(plixw_close(writer), PLIXW_OK);
    EXPECT_EQ(plixw_close(nullptr), PLIXW_OK);

    // Every status has a text of its own; anything else is unknown.
    std::vector<std::string> texts;
    for (int status = PLIXW_OK; status <= PLIXW_E_READER_ATTACHED; ++status) {
        std::string text = plixw_strerror(status);
        EXPECT_NE(text, "unknown status") << status;
        EXPECT_EQ(std::find(texts.begin(), texts.end(), text), texts.end()) << text;
        texts.push_back(text);
    }
    EXPECT_STREQ(plixw_strerror(-1), "unknown status");
    EXPECT_STREQ(plixw_strerror(PLIXW_E_READER_ATTACHED + 1), "unknown status");
}

TEST_F(PlixWriterLibraryTest, DropsAreCountedAndWaitingEndsWhenTheReaderMakesRoom) {
    Create(4096);
    plixw_writer* writer = Open(PLIXW_OPEN_INIT);
    ASSERT_NE(writer, nullptr);
    RawSharedMemoryQueue reader;
    AttachReader(reader);
    // The stream exactly as written: no drop markers (those have a case of their own).
    EXPECT_EQ(plixw_set_drop_markers(nullptr, 0), PLIXW_E_ARGUMENT);
    ASSERT_EQ(plixw_set_drop_markers(writer, 0), PLIXW_OK);

    // By default a full queue drops at once: 59 records of 8 bytes fill 3776 of 3840 bytes.
    uint64_t n = 0;
    for (; n < 59; ++n) {
        ASSERT_EQ(plixw_write(writer, &n, 8), PLIXW_OK) << n;
    }
    EXPECT_EQ(plixw_write(writer, &n, 8), PLIXW_E_FULL);
    EXPECT_EQ(plixw_write(writer, &n, 8), PLIXW_E_FULL);
    EXPECT_EQ(Dropped(writer), 2u);
    EXPECT_EQ(Written(writer), 59u);

    // Waiting with a time-out and no reader: the record is given up and counted.
    ASSERT_EQ(plixw_set_full_policy(writer, PLIXW_FULL_WAIT, 20), PLIXW_OK);
    EXPECT_EQ(plixw_write(writer, &n, 8), PLIXW_E_TIMEOUT);
    EXPECT_EQ(Dropped(writer), 3u);

    // Waiting without a limit ends when the reader takes one record; counts are readable from
    // another thread meanwhile.
    ASSERT_EQ(plixw_set_full_policy(writer, PLIXW_FULL_WAIT, PLIXW_WAIT_FOREVER), PLIXW_OK);
    std::atomic<int> status{-1};
    std::thread waiting([&] { status = plixw_write(writer, &n, 8); });
    EXPECT_EQ(Dropped(writer), 3u);
    uint64_t first = 0;
    std::string record = ReadOne(reader);
    ASSERT_EQ(record.size(), 8u);
    std::memcpy(&first, record.data(), 8);
    EXPECT_EQ(first, 0u);
    waiting.join();
    EXPECT_EQ(status.load(), PLIXW_OK);

    // Back to dropping: the queue is full again.
    ASSERT_EQ(plixw_set_full_policy(writer, PLIXW_FULL_DROP, 0), PLIXW_OK);
    EXPECT_EQ(plixw_write(writer, &n, 8), PLIXW_E_FULL);
    EXPECT_EQ(Dropped(writer), 4u);
    EXPECT_EQ(Written(writer), 60u);
    // Records 1..58 and the one that waited (59) arrive in order; the dropped ones never do.
    for (uint64_t expected = 1; expected <= 59; ++expected) {
        record = ReadOne(reader);
        ASSERT_EQ(record.size(), 8u);
        uint64_t seen = 0;
        std::memcpy(&seen, record.data(), 8);
        ASSERT_EQ(seen, expected);
    }
    EXPECT_EQ(ReadOne(reader), "<none>");
    plixw_close(writer);
}

TEST_F(PlixWriterLibraryTest, DropsAreMarkedWhereTheyHappenedAndAtClose) {
    Create(4096);
    RawSharedMemoryQueue reader;
    plixw_writer* writer = Open(PLIXW_OPEN_INIT);
    ASSERT_NE(writer, nullptr);
    AttachReader(reader);
    auto marker = [](int dropped) {
        return std::string(PLIXW_DROP_MARKER_PREFIX) + std::to_string(dropped) +
               " records dropped (queue full)\n" + '\0';
    };
    // Records are their 8-byte numbers; 59 of them fill the queue.
    uint64_t n = 0;
    auto write = [&] { return plixw_write(writer, &n, 8); };
    auto readRecords = [&](int count) {
        for (int i = 0; i < count; ++i) ReadOne(reader);
    };
    for (; n < 59; ++n) ASSERT_EQ(write(), PLIXW_OK) << n;
    // Full: 59 and 60 dropped; their marker finds no room either.
    EXPECT_EQ(write(), PLIXW_E_FULL);
    ++n;
    EXPECT_EQ(write(), PLIXW_E_FULL);
    ++n;
    // One slot free: the marker takes it, record 61 finds none and waits for the next marker.
    readRecords(1);
    EXPECT_EQ(write(), PLIXW_E_FULL);
    ++n;
    // Two free: the marker of 61, then 62; then full again (63 dropped).
    readRecords(2);
    EXPECT_EQ(write(), PLIXW_OK);
    ++n;
    EXPECT_EQ(write(), PLIXW_E_FULL);
    EXPECT_EQ(Written(writer), 60u);  // markers are counted neither as written nor as dropped
    EXPECT_EQ(Dropped(writer), 4u);
    // Room at close: the last marker goes in.
    readRecords(1);
    ASSERT_EQ(plixw_close(writer), PLIXW_OK);

    std::vector<std::string> stream;
    for (std::string record; (record = ReadOne(reader)) != "<none>";) stream.push_back(record);
    auto record = [](uint64_t number) {
        return std::string(reinterpret_cast<const char*>(&number), 8);
    };
    ASSERT_EQ(stream.size(), 55u + 4u);
    for (uint64_t i = 0; i < 55; ++i) ASSERT_EQ(stream[i], record(i + 4)) << i;
    EXPECT_EQ(stream[55], marker(2));  // 59, 60
    EXPECT_EQ(stream[56], marker(1));  // 61
    EXPECT_EQ(stream[57], record(62));
    EXPECT_EQ(stream[58], marker(1));  // 63, at close

    // No room at close: the count is the host's alone (plixw_dropped), the queue holds no marker.
    writer = Open(0);
    ASSERT_NE(writer, nullptr);
    for (n = 0; n < 60; ++n) write();
    EXPECT_EQ(Dropped(writer), 1u);
    plixtrace::Writer cpp;  // the C++ layer's switch, on a writer not open
    EXPECT_EQ(cpp.DropMarkers(true).Code(), PLIXW_E_ARGUMENT);
    ASSERT_EQ(plixw_close(writer), PLIXW_OK);
    readRecords(59);
    EXPECT_EQ(ReadOne(reader), "<none>");
}

TEST_F(PlixWriterLibraryTest, RecordsAreReadBackByteForByte) {
    Create(4096);
    RawSharedMemoryQueue reader;
    std::vector<std::string> sent;
    {
        plixtrace::Writer writer;
        ASSERT_TRUE(writer.Open("plixtrace", PLIXW_OPEN_INIT).Ok());
        AttachReader(reader);
        ASSERT_TRUE(writer.WaitWhenFull(PLIXW_WAIT_FOREVER).Ok());
        // Lengths around the slot edges and the longest; every byte value, NULs included,
        // after a first byte 'R' (a filler, which the queue may need before a long record,
        // begins with NUL); enough of them to wrap the data area many times.
        const uint32_t lengths[] = {1, 55, 56, 57, 63, 64, 120, 1000, 2047, 3768};
        uint32_t seed = 1;
        for (int round = 0; round < 20; ++round) {
            for (uint32_t length : lengths) {
                std::string record(length, 'R');
                for (size_t i = 1; i < record.size(); ++i) {
                    seed = seed * 1103515245u + 12345u;
                    record[i] = static_cast<char>(seed >> 24);
                }
                sent.push_back(record);
            }
        }
        std::thread writing([&] {
            for (const std::string& record : sent) {
                ASSERT_TRUE(writer.Write(record).Ok()) << record.size();
            }
        });
        std::vector<std::string> received;
        std::vector<char> buffer(65536);
        auto lastRecord = std::chrono::steady_clock::now();
        while (received.size() < sent.size() &&
               std::chrono::steady_clock::now() - lastRecord < std::chrono::seconds(60)) {
            uint32_t length = static_cast<uint32_t>(buffer.size());
            ASSERT_EQ(reader.Read(buffer.data(), length), ZulOsCom::VSharedMemoryQueue::STATUS_OK);
            if (length == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            } else if (buffer[0] != '\0') {
                received.emplace_back(buffer.data(), length);
                lastRecord = std::chrono::steady_clock::now();
            }
        }
        writing.join();
        ASSERT_EQ(received.size(), sent.size());
        for (size_t i = 0; i < sent.size(); ++i) {
            ASSERT_EQ(received[i], sent[i]) << "record " << i;
        }
        EXPECT_EQ(writer.Written(), sent.size());
        EXPECT_EQ(writer.Dropped(), 0u);

        // Moved, the writer goes on; the moved-from one is closed and refuses.
        plixtrace::Writer moved = std::move(writer);
        EXPECT_FALSE(writer.IsOpen());
        EXPECT_EQ(writer.Write("x", 1).Code(), PLIXW_E_ARGUMENT);
        ASSERT_TRUE(moved.Write(std::string_view("last\n\0", 6)).Ok());
        MappedPartition mapped("plixtrace");
        EXPECT_EQ(static_cast<int32_t>(Get32(mapped.Base(), REF_COUNT)), 2);  // reader, writer
    }
    // Closed: its reference is given back, its records stay.
    {
        MappedPartition mapped("plixtrace");
        EXPECT_EQ(static_cast<int32_t>(Get32(mapped.Base(), REF_COUNT)), 1);
    }
    EXPECT_EQ(ReadOne(reader), std::string("last\n\0", 6));

    // A second writer without the flag attaches and goes on behind the records waiting.
    plixw_writer* second = Open(0);
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(plixw_write(second, "one", 3), PLIXW_OK);
    ASSERT_EQ(plixw_write(second, "two", 3), PLIXW_OK);
    plixw_close(second);
    EXPECT_EQ(ReadOne(reader), "one");
    EXPECT_EQ(ReadOne(reader), "two");
    EXPECT_EQ(ReadOne(reader), "<none>");
}

}  // namespace
