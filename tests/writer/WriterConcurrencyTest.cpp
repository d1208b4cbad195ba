// The writer and the real reader on two threads of one process over one partition (served by
// the fake library, so both threads see the same addresses and ThreadSanitizer sees every
// access): every record arrives once, in order and intact. Built and run under
// -DPLIX_SANITIZE=thread as well (ctest -R Concurrency), with fewer records there.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/RawSharedMemoryQueue.h"
#include "rth/fake/RthFake.h"
#include "tests/writer/StressRecords.h"
#include "writer/TraceWriter.h"

namespace {

using PlixToolTest::DrainResult;
using PlixToolTest::StressStream;

#if defined(__SANITIZE_THREAD__)
constexpr uint64_t SCALE = 10;  // ThreadSanitizer runs some ten times slower
#else
constexpr uint64_t SCALE = 1;
#endif

// The fake's partition memory must outlive writer and reader: it is released by the next
// Reset, at the start of the next run.
void RunAcrossThreads(uint32_t size, uint64_t count, const StressStream& stream) {
    RthFake::Get().Reset();
    RthFake::Get().AddPartition("plixtrace", size);
    TraceWriter writer("plixtrace");
    std::string error;
    ASSERT_TRUE(writer.Open(error)) << error;
    RawSharedMemoryQueue reader;
    ASSERT_EQ(reader.Open(), RawSharedMemoryQueue::OPEN_OK);
    ASSERT_TRUE(reader.AttachReader());

    std::atomic<bool> writerDone{false};
    std::string writerFailure;
    std::thread writing([&] {
        writerFailure = PlixToolTest::WriteStream(writer, stream, count);
        writerDone = true;
    });
    DrainResult result =
        PlixToolTest::DrainAndCheck(reader, RthFake::Get().Memory("plixtrace"), stream, count);
    if (!result.failure.empty()) {
        PlixToolTest::DrainUntil(reader, [&] { return writerDone.load(); });
    }
    writing.join();

    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(writerFailure, "");
    EXPECT_EQ(result.records, count);
    EXPECT_EQ(writer.Written(), count);
    EXPECT_EQ(writer.Fillers(), result.fillers);
    EXPECT_GT(result.fillers, 0u);
    EXPECT_GT(result.wraps, 0u);
    EXPECT_GT(result.bigReads, 0u);
}

TEST(WriterConcurrencyTest, TwoThreadsThrough4096BytePartition) {
    RunAcrossThreads(4096, 300000 / SCALE, StressStream(0x7EAD4096, 3768, 3768, 0));
}

TEST(WriterConcurrencyTest, TwoThreadsThrough1MiBPartition) {
    const uint32_t longest = TraceWriter::CapacityForSize(1048576) - 72;
    RunAcrossThreads(1048576, 100000 / SCALE, StressStream(0x7EAD1000, 20000, longest, 100000 / SCALE / 4));
}

}  // namespace
