// plixwrite as a user runs it, read back through the real reader from real shared memory:
// line records, long lines, synthetic load, drop counting, pacing, a second run going on
// behind the first, bad command lines (message, non-zero exit, nothing created), and objects
// that the library refuses (reported in its words, never waited on, never written).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/RawSharedMemoryQueue.h"
#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/support/TestWaiting.h"
#include "tests/tools/ToolTestSupport.h"
#include "writer/TraceWriter.h"

namespace {

using namespace PlixToolTest;  // running the tools, mapping partitions, counting lines

ToolResult Plixwrite(const std::vector<std::string>& args, const std::string& input = "") {
    return RunTool(PLIXWRITE_PATH, args, input);
}

// Every record waiting in "plixtrace", through the real reader.
std::vector<std::string> ReadAll() {
    RawSharedMemoryQueue reader;
    EXPECT_EQ(reader.Open(), RawSharedMemoryQueue::OPEN_OK);
    EXPECT_TRUE(reader.AttachReader());
    std::vector<std::string> records;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        uint32_t length = static_cast<uint32_t>(buffer.size());
        EXPECT_EQ(reader.Read(buffer.data(), length), ZulOsCom::VSharedMemoryQueue::STATUS_OK);
        if (length == 0) {
            return records;
        }
        records.emplace_back(buffer.data(), length);
    }
}

std::string Z(const std::string& text) { return std::string(text) + '\0'; }

class PlixwriteTest : public ::testing::Test {
protected:
    // Creates "plixtrace" and sets its queue up, so that a reader can attach before plixwrite
    // starts.
    void SetUpQueue(uint32_t size) {
        ASSERT_EQ(rthPartitionCreate("plixtrace", size), RTH_OK);
        TraceWriter writer("plixtrace");
        std::string error;
        ASSERT_TRUE(writer.Open(error)) << error;
    }

    // Runs plixwrite while a reader thread takes up to count records (or gives up after 60 s
    // without one).
    ToolResult RunWhileReading(const std::vector<std::string>& args, const std::string& input,
                               size_t count, std::vector<std::string>& records) {
        RawSharedMemoryQueue reader;
        EXPECT_EQ(reader.Open(), RawSharedMemoryQueue::OPEN_OK);
        EXPECT_TRUE(reader.AttachReader());
        std::thread drain([&] {
            std::vector<char> buffer(1 << 20);
            auto last = std::chrono::steady_clock::now();
            while (records.size() < count &&
                   std::chrono::steady_clock::now() - last < std::chrono::seconds(60)) {
                uint32_t length = static_cast<uint32_t>(buffer.size());
                EXPECT_EQ(reader.Read(buffer.data(), length),
                          ZulOsCom::VSharedMemoryQueue::STATUS_OK);
                if (length == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                records.emplace_back(buffer.data(), length);
                last = std::chrono::steady_clock::now();
            }
        });
        ToolResult result = Plixwrite(args, input);
        drain.join();
        return result;
    }

    PlixToolTest::PrivatePartitions mPartitions;
};

TEST_F(PlixwriteTest, OneRecordPerLineWithLineFeedAndNul) {
    ToolResult r = Plixwrite({}, "first line\nsecond\n\n\tlast without line feed");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    struct stat st {};
    ASSERT_EQ(stat(mPartitions.Path("plixtrace").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 1048576);
    EXPECT_EQ(st.st_mode & 07777, 0660u);

    // A second run goes on behind the first.
    ASSERT_EQ(Plixwrite({}, "carriage return\r\n").exitCode, 0);
    EXPECT_EQ(ReadAll(), (std::vector<std::string>{Z("first line\n"), Z("second\n"), Z("\n"),
                                                    Z("\tlast without line feed\n"),
                                                    Z("carriage return\r\n")}));
    ASSERT_EQ(Plixwrite({}, "after the reader\n").exitCode, 0);
    EXPECT_EQ(ReadAll(), std::vector<std::string>{Z("after the reader\n")});
    EXPECT_EQ(Plixwrite({}, "").exitCode, 0);
    EXPECT_EQ(ReadAll(), std::vector<std::string>{});
}

TEST_F(PlixwriteTest, LongLinesAreSplitIntoNulTerminatedPieces) {
    // 4096 bytes: the longest record is 3768, so a line of up to 3766 bytes fits whole; the
    // queue holds one such record at a time, so the reader drains while plixwrite runs.
    SetUpQueue(4096);
    std::string fits(3766, 'f');
    std::string longLine;
    for (int i = 0; i < 8000; ++i) {
        longLine += static_cast<char>('a' + i % 26);
    }
    std::vector<std::string> records;
    ToolResult r =
        RunWhileReading({"--size", "4096"}, fits + "\n" + longLine + "\nend\n", 5, records);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0], Z(fits + "\n"));
    EXPECT_EQ(records[1], Z(longLine.substr(0, 3767)));
    EXPECT_EQ(records[2], Z(longLine.substr(3767, 3767)));
    EXPECT_EQ(records[3], Z(longLine.substr(7534) + "\n"));
    EXPECT_EQ(records[4], Z("end\n"));
}

TEST_F(PlixwriteTest, SyntheticRecordsAreNumberedAndExactlyLong) {
    SetUpQueue(4096);
    std::vector<std::string> records;
    ToolResult r = RunWhileReading({"--count", "300", "--length", "100", "--rate", "100000"},
                                   "", 300, records);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(records.size(), 300u);
    for (size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        std::string prefix = std::to_string(i + 1) + " ";
        ASSERT_EQ(records[i].size(), 100u);
        EXPECT_EQ(records[i].substr(0, prefix.size()), prefix);
        EXPECT_EQ(records[i].substr(98), std::string("\n") + '\0');
        EXPECT_EQ(records[i].find('\n'), 98u);
    }

    // Short lengths: the number is cut, the record keeps its length.
    ASSERT_EQ(Plixwrite({"--count", "12", "--length", "3"}).exitCode, 0);
    ASSERT_EQ(Plixwrite({"--count", "1", "--length", "1"}).exitCode, 0);
    records = ReadAll();
    ASSERT_EQ(records.size(), 13u);
    EXPECT_EQ(records[0], Z("1\n"));
    EXPECT_EQ(records[11], Z("1\n"));  // "12 " cut to one character
    EXPECT_EQ(records[12], std::string(1, '\0'));

    // Empty records: each takes one slot.
    MappedPartition mapped("plixtrace");
    uint32_t before = Get32(mapped.Base(), 64);
    ASSERT_EQ(Plixwrite({"--count", "3", "--length", "0"}).exitCode, 0);
    EXPECT_EQ(Get32(mapped.Base(), 64), before + 3 * 64);

    // Pacing: 20 records per second, the third is due 100 ms after the first.
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Plixwrite({"--count", "3", "--rate", "20"}).exitCode, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
}

TEST_F(PlixwriteTest, DropModeCountsWhatFoundNoRoom) {
    // 3840 bytes of queue take 29 records of slot 128 (the 30th would meet the read offset).
    ToolResult r = Plixwrite({"--size", "4096", "--count", "1000", "--length", "100", "--drop"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "plixwrite: 29 written, 971 dropped\n");
    std::vector<std::string> records = ReadAll();
    // The 64 bytes left take the marker of the first drop (record 30); nothing has room for
    // the next one, at close neither: those drops are in the summary alone.
    ASSERT_EQ(records.size(), 30u);
    EXPECT_EQ(records[28].substr(0, 3), "29 ");
    EXPECT_EQ(records[29], Z("plixwriter: 1 records dropped (queue full)\n"));
    r = Plixwrite({"--drop"}, "a\nb\n");
    EXPECT_EQ(r.err, "plixwrite: 2 written, 0 dropped\n");
}

TEST_F(PlixwriteTest, RemovedPartitionEndsEvenAWaitWithoutTimeOut) {
    // No reader: 29 records of slot 128 fill the 3840-byte queue, the 30th waits for good.
    SetUpQueue(4096);
    std::thread remove([] {
        MappedPartition mapped("plixtrace");
        EXPECT_TRUE(PlixTest::WaitFor([&] { return Get32(mapped.Base(), 64) == 29 * 128; }, 60000));
        EXPECT_EQ(rthPartitionRemove("plixtrace"), RTH_OK);
    });
    // Under a hang guard: a writer still waiting after 60 s is ended (exit status 124).
    ToolResult r = RunTool("/usr/bin/timeout", {"--kill-after=5", "60", PLIXWRITE_PATH, "--count",
                                                "100", "--length", "100"});
    remove.join();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "plixwrite: partition plixtrace was removed or replaced; no reader sees what this "
              "run would write into it; ending\n");
}

TEST_F(PlixwriteTest, BadCommandLinesChangeNothing) {
    const std::vector<std::vector<std::string>> bad = {
        {"--size", "abc"},       {"--size", "0"},           {"--size", "323"},
        {"--size", "-5"},        {"--size", "4294967296"},  {"--size"},
        {"--count", "0"},        {"--count", "x"},          {"--count", "-1"},
        {"--length", "5"},       {"--count", "1", "--length", "4294967296"},
        {"--rate", "0"},         {"--rate", "1.5"},         {"--name", ""},
        {"--name", "a/b"},       {"--name", std::string(32, 'n')},
        {"--frobnicate"},        {"positional"},            {"--drop", "--size"},
    };
    for (const auto& args : bad) {
        std::string shown;
        for (const auto& a : args) {
            shown += "'" + a + "' ";
        }
        SCOPED_TRACE(shown);
        ToolResult r = Plixwrite(args, "line\n");
        EXPECT_EQ(r.exitCode, 2);
        // The reason, then the usage line.
        EXPECT_EQ(r.err.rfind("plixwrite: ", 0), 0u) << r.err;
        EXPECT_EQ(LineCount(r.err), 2u) << r.err;
        EXPECT_EQ(r.err.find("\nUsage: plixwrite "), r.err.find('\n')) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(mPartitions.Names(), std::vector<std::string>{});
    }

    // Against an existing partition: another size, or a record too long for it.
    ASSERT_EQ(rthPartitionCreate("plixtrace", 4096), RTH_OK);
    ToolResult r = Plixwrite({"--size", "8192"}, "line\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "plixwrite: partition plixtrace exists with 4096 bytes, not 8192\n");
    r = Plixwrite({"--count", "1", "--length", "3769"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("3768"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("\nUsage: plixwrite "), std::string::npos) << r.err;
    EXPECT_EQ(ReadAll(), std::vector<std::string>{});
    ASSERT_EQ(rthPartitionCreate("tiny", 100), RTH_OK);
    r = Plixwrite({"--name", "tiny"}, "line\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(LineCount(r.err), 1u) << r.err;

    r = Plixwrite({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: plixwrite"), std::string::npos);
}

TEST_F(PlixwriteTest, RefusedPartitionObjectsAreReportedNotWaitedOnNorWritten) {
    // A FIFO, then a root-owned object everybody may write: plixwrite would set the latter up.
    const std::string path = mPartitions.Path("plixtrace");
    for (const std::string kind : {"FIFO", "world-writable file"}) {
        SCOPED_TRACE(kind);
        if (kind == "FIFO") {
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        } else {
            ASSERT_EQ(unlink(path.c_str()), 0);
            ASSERT_EQ(rthPartitionCreate("plixtrace", 4096), RTH_OK);
            ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        }
        char reason[RTH_REASON_SIZE];
        ASSERT_EQ(rthPartitionExplain("plixtrace", reason, sizeof reason), RTH_UNSAFE);

        // Under a hang guard: a writer still running after 60 s is ended (exit status 124).
        ToolResult r =
            RunTool("/usr/bin/timeout", {"--kill-after=5", "60", PLIXWRITE_PATH, "--count", "1"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "plixwrite: partition \"plixtrace\" " + std::string(reason) + "\n");

        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(S_ISFIFO(st.st_mode), kind == "FIFO");
        EXPECT_EQ(st.st_mode & 07777, kind == "FIFO" ? 0600u : 0666u);
    }
    EXPECT_EQ(PlixTest::ReadFile(path), std::string(4096, '\0'));
}

}  // namespace
