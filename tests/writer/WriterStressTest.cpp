// The writer in one process and the real reader in another, a million records each run, in
// the smallest useful and in the default partition size: every record arrives once, in order
// and intact, fillers and wrap markers included.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "app/RawSharedMemoryQueue.h"
#include "rth/RthAdmin.h"
#include "tests/writer/StressRecords.h"
#include "tests/tools/ToolTestSupport.h"
#include "writer/TraceWriter.h"

namespace {

using PlixToolTest::DrainResult;
using PlixToolTest::StressStream;

struct WriterStats {
    uint64_t written = 0;
    uint64_t dropped = 0;
    uint64_t fillers = 0;
    int opened = 0;  // TraceWriter::OpenMode
    char failure[200] = {};
};

// Sets the queue up here, attaches the reader, then runs a writer process that attaches as
// well and writes the stream while this process reads and checks it.
void RunAcrossProcesses(uint32_t size, uint64_t count, const StressStream& stream,
                        DrainResult& result) {
    PlixToolTest::PrivatePartitions partitions;
    ASSERT_EQ(rthPartitionCreate("plixtrace", size), RTH_OK);
    {
        TraceWriter setUp("plixtrace");
        std::string error;
        ASSERT_TRUE(setUp.Open(error)) << error;
    }
    RawSharedMemoryQueue reader;
    ASSERT_EQ(reader.Open(), RawSharedMemoryQueue::OPEN_OK);
    ASSERT_TRUE(reader.AttachReader());
    PlixToolTest::MappedPartition view("plixtrace");

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        WriterStats stats;
        TraceWriter writer("plixtrace");
        std::string failure;
        if (writer.Open(failure)) {
            failure = PlixToolTest::WriteStream(writer, stream, count);
        }
        stats.written = writer.Written();
        stats.dropped = writer.Dropped();
        stats.fillers = writer.Fillers();
        stats.opened = static_cast<int>(writer.HowOpened());
        std::strncpy(stats.failure, failure.c_str(), sizeof stats.failure - 1);
        ssize_t sent = write(pipeFds[1], &stats, sizeof stats);
        _exit(sent == static_cast<ssize_t>(sizeof stats) && failure.empty() ? 0 : 1);
    }
    close(pipeFds[1]);

    result = PlixToolTest::DrainAndCheck(reader, view.Base(), stream, count);
    if (!result.failure.empty()) {
        kill(child, SIGKILL);
    }
    WriterStats stats;
    ssize_t got = read(pipeFds[0], &stats, sizeof stats);
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    ASSERT_EQ(result.failure, "");
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof stats));
    EXPECT_STREQ(stats.failure, "");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(stats.opened, static_cast<int>(TraceWriter::OpenMode::ATTACHED));
    EXPECT_EQ(result.records, count);
    EXPECT_EQ(stats.written, count);
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_EQ(stats.fillers, result.fillers);
    uint32_t length = 0;
    EXPECT_EQ(reader.Read(nullptr, length), ZulOsCom::VSharedMemoryQueue::STATUS_OK);
    EXPECT_EQ(length, 0u);  // nothing left over
}

TEST(WriterStressTest, MillionRecordsThrough4096BytePartition) {
    // Lengths 0 to the longest record (3768): one or two records fit at a time.
    StressStream stream(0x5EED4096, 3768, 3768, 0);
    DrainResult result;
    RunAcrossProcesses(4096, 1000000, stream, result);
    EXPECT_GT(result.fillers, 0u);
    EXPECT_GT(result.wraps, 0u);
    EXPECT_GT(result.bigReads, 0u);
}

TEST(WriterStressTest, MillionRecordsThrough1MiBPartition) {
    // Lengths 0 to 20,000, and four records of the longest length (1048380).
    const uint32_t longest = TraceWriter::CapacityForSize(1048576) - 72;
    StressStream stream(0x5EED1000, 20000, longest, 250000);
    DrainResult result;
    RunAcrossProcesses(1048576, 1000000, stream, result);
    EXPECT_GT(result.fillers, 0u);
    EXPECT_GT(result.wraps, 0u);
    EXPECT_GT(result.bigReads, 0u);
}

}  // namespace
