// The reader's polling against a writer that cannot wait: plixwrite in drop mode writes far
// more than one data area per 100 ms into a 4096-byte partition while the real reader runs. A
// reader that slept a fixed 100 ms after every empty read would let most of those records be
// dropped; the running reader must take every one of them, in order, and must not spin once the
// queue has gone idle.
//
// The test feeds plixwrite's standard input itself: the stream starts slowly (a writer that
// starts while the reader is in its idle pause can only count on the data area until the reader
// wakes), then holds the full rate for two seconds.
//
// Where records are lost all the same (a reader held off), the writer library marks the holes
// in the stream: the console shows each marker exactly where its records are missing.
//
// A burst after a long silence (the reader at its longest pause) is not lost either: the writer
// library wakes the reader through the partition's wake-up object. One that another user planted
// is refused, and the reader polls as before.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/IdlePacer.h"
#include "oscom/QueueWakeUp.h"
#include "rth/RthAdmin.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/ConsoleRecords.h"
#include "tests/e2e/IsolatedRunTest.h"
#include "tests/support/ShmObjects.h"
#include "tests/support/TestWaiting.h"
#include "tests/tools/ToolTestSupport.h"
#include "writer/include/plixtrace/plixwriter.h"

namespace fs = std::filesystem;
using PlixTest::ChildProcess;
using PlixToolTest::Get32;
using PlixToolTest::MappedPartition;
using PlixToolTest::RunTool;
using PlixToolTest::ToolResult;

namespace {

using PlixTest::ReadFile;
using PlixTest::WaitFor;

// Queue header fields, as offsets from the partition base (management header 64 bytes).
constexpr uint32_t WRITE_OFFSET_AT = 64;
constexpr uint32_t ATTACH_COUNT_AT = 64 + 4;
constexpr uint32_t READ_OFFSET_AT = 64 + 64;
// The data area of a 4096-byte partition.
constexpr uint32_t CAPACITY_4096 = 3840;

// 3,000 records/s for 2 s: five times what a fixed 100 ms pause can take from this partition
// (59 records of 56 bytes fit into its data area), with a wide margin for a reader on a busy
// shared machine (the data area lasts about 20 ms at this rate, while the pause after a record
// starts at 50 us). Before that, 0.2 s at 250/s (no more than the data area per 100 ms) and
// 0.2 s at 1,000/s.
struct Stage {
    int rate;
    int records;
};
constexpr Stage STAGES[] = {{250, 50}, {1000, 200}, {3000, 6000}};
constexpr int RECORDS = 50 + 200 + 6000;
constexpr int LENGTH = 56;

// Line n of the feed: "n " and letters, LENGTH - 2 characters, and a line feed; plixwrite adds
// a NUL, so each line is a record of LENGTH bytes.
std::string Line(int n) {
    std::string line = std::to_string(n) + " ";
    while (line.size() < static_cast<size_t>(LENGTH - 2)) {
        line.push_back(static_cast<char>('a' + line.size() % 26));
    }
    return line + "\n";
}

// Writes the lines of all stages into fd, each line when it is due (those that fell due while
// the feed slept go out together). False when the pipe broke.
bool FeedPaced(int fd) {
    int n = 0;
    for (const Stage& stage : STAGES) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < stage.records;) {
            const auto due = start + std::chrono::microseconds(1000000LL * i / stage.rate);
            std::this_thread::sleep_until(due);
            std::string chunk;
            const auto now = std::chrono::steady_clock::now();
            while (i < stage.records &&
                   start + std::chrono::microseconds(1000000LL * i / stage.rate) <= now) {
                chunk += Line(++n);
                ++i;
            }
            for (size_t done = 0; done < chunk.size();) {
                ssize_t written = write(fd, chunk.data() + done, chunk.size() - done);
                if (written <= 0) return false;
                done += static_cast<size_t>(written);
            }
        }
    }
    return true;
}

uint32_t Load32(const uint8_t* base, uint32_t offset) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(base + offset), __ATOMIC_ACQUIRE);
}

// CPU time of a process's main thread (the reader's loop) so far, in nanoseconds; -1 when
// unknown. From schedstat, or from the clock ticks of stat where schedstat is missing.
int64_t CpuNs(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::istringstream schedstat(ReadFile(proc + "/schedstat"));
    int64_t ns = 0;
    if (schedstat >> ns) return ns;
    std::istringstream stat(ReadFile(proc + "/stat"));
    std::vector<std::string> fields;
    for (std::string field; stat >> field;) fields.push_back(field);
    if (fields.size() <= 15) return -1;
    return (std::stoll(fields[13]) + std::stoll(fields[14])) * 1000000000LL /
           sysconf(_SC_CLK_TCK);
}

class LossFreePollingTest : public PlixTest::IsolatedRunTest {
protected:
    LossFreePollingTest() : IsolatedRunTest("plixlossfree") {}

    void SetUp() override {
        IsolatedRunTest::SetUp();
        fs::create_directories(mLogDir);
    }

    void TearDown() override {
        mReaderProcess.reset();
        IsolatedRunTest::TearDown();
    }

    // The reader with its console in a file and its trace log in the work directory.
    void StartReader() {
        ChildProcess::Options options;
        options.stdoutPath = (mWork / "stdout").string();
        mReaderProcess = std::make_unique<ChildProcess>(
            std::vector<std::string>{READER_PATH, mLogDir.string()}, (mWork / "stderr").string(),
            options);
        mPid = mReaderProcess->Pid();
        ASSERT_GE(mPid, 0);
    }

    int StopReader() {
        mReaderProcess->Signal(SIGINT);
        const int status = mReaderProcess->Wait(20000);
        mPid = -1;
        return status;
    }

    std::unique_ptr<ChildProcess> mReaderProcess;
    pid_t mPid = -1;  // the running reader's, for /proc
};

TEST_F(LossFreePollingTest, DroppingWriterLosesNothingAndIdleReaderDoesNotSpin) {
    // The partition and its queue first, so that the reader can attach.
    ToolResult setUp = RunTool(PLIXWRITE_PATH, {"--size", "4096"});
    ASSERT_EQ(setUp.exitCode, 0) << setUp.err;
    MappedPartition partition("plixtrace");
    ASSERT_NE(partition.Base(), nullptr);
    const uint8_t* base = partition.Base();

    StartReader();
    ASSERT_TRUE(WaitFor([&] { return Get32(base, ATTACH_COUNT_AT) == 2; }));

    // plixwrite --drop reading the paced feed; its summary goes to a file.
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    ChildProcess::Options writerOptions;
    writerOptions.stdinFd = input[0];
    ChildProcess writer({PLIXWRITE_PATH, "--drop"}, (mWork / "plixwrite.err").string(),
                        writerOptions);
    close(input[0]);
    signal(SIGPIPE, SIG_IGN);
    bool fed = FeedPaced(input[1]);
    close(input[1]);
    int writerStatus = writer.Wait(120000);
    ASSERT_TRUE(fed);
    ASSERT_TRUE(WIFEXITED(writerStatus));
    ASSERT_EQ(WEXITSTATUS(writerStatus), 0);
    EXPECT_EQ(ReadFile(mWork / "plixwrite.err"),
              "plixwrite: " + std::to_string(RECORDS) + " written, 0 dropped\n");
    ASSERT_TRUE(WaitFor(
        [&] { return Load32(base, READ_OFFSET_AT) == Load32(base, WRITE_OFFSET_AT); }));

    // Idle now: once the alert window after the last record has passed, the pause has grown
    // back to the idle poll interval, so over a second the reader uses little (well under 0.1%
    // of a core, almost all of it the sleep's own cost); a pause that stayed short would cost it
    // one percent or more.
    std::this_thread::sleep_for(std::chrono::microseconds(IdlePacer::ALERT_WINDOW_US) +
                                std::chrono::milliseconds(500));
    int64_t before = CpuNs(mPid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    int64_t used = CpuNs(mPid) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, 10000000) << "the idle reader polls too often";

    int status = StopReader();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Every record on the console, once and in order.
    std::string out = ReadFile(mWork / "stdout");
    const std::string banner = "=============== ReadPLIXTrace ===============\n\n";
    ASSERT_EQ(out.rfind(banner, 0), 0u);
    std::istringstream lines(out.substr(banner.size()));
    std::string line;
    // The cleanup's listing of the empty log directory comes first.
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "\"" + (mWork / "logs").string() + "\" contains:");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "");
    int next = 1;
    while (std::getline(lines, line) && line != "CTRL-C pressed") {
        ASSERT_EQ(line + "\n", Line(next)) << "expected record " << next;
        ++next;
    }
    EXPECT_EQ(next, RECORDS + 1);
    EXPECT_EQ(line, "CTRL-C pressed");
}

}  // namespace

namespace {

// plixwrite --drop's closing line: written and dropped.
bool ParseSummary(const std::string& text, uint64_t& written, uint64_t& dropped) {
    unsigned long long w = 0, d = 0;
    if (std::sscanf(text.c_str(), "plixwrite: %llu written, %llu dropped", &w, &d) != 2) {
        return false;
    }
    written = w;
    dropped = d;
    return true;
}

// The records the drop markers on the console say were dropped.
uint64_t MarkedDrops(const PlixTest::ConsoleRecords& console) {
    uint64_t marked = 0;
    for (const std::string& line : console.OtherLines()) {
        if (line.rfind(PLIXW_DROP_MARKER_PREFIX, 0) == 0) {
            marked += std::strtoull(line.c_str() + std::strlen(PLIXW_DROP_MARKER_PREFIX), nullptr, 10);
        }
    }
    return marked;
}

// Checks the console of a run of plixwrite --count count against its summary: every record
// printed once, in order; the drop markers (counted with their numbers) each standing where its
// records are missing (the markers between two records count exactly the records between them,
// those after the last record the ones missing at the end); none with markers off.
void ExpectHolesMarked(const PlixTest::ConsoleRecords& console, uint64_t count, uint64_t written,
                       uint64_t dropped, bool markers) {
    const std::vector<uint64_t>& numbers = console.Numbers();
    EXPECT_EQ(console.MalformedCount(), 0u);
    EXPECT_EQ(numbers.size(), written);
    EXPECT_EQ(written + dropped, count);
    std::vector<uint64_t> marked(numbers.size() + 1, 0);  // by the records printed before them
    uint64_t markedInAll = 0;
    for (size_t i = 0; i < console.OtherLines().size(); ++i) {
        const std::string& line = console.OtherLines()[i];
        if (line.rfind(PLIXW_DROP_MARKER_PREFIX, 0) != 0) continue;
        unsigned long long n = 0;
        char tail[32] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "plixwriter: %llu records dropped %31[^\n]", &n, tail),
                  2)
            << line;
        EXPECT_STREQ(tail, "(queue full)");
        ASSERT_GT(n, 0u) << line;
        marked[console.RecordsBefore()[i]] += n;
        markedInAll += n;
    }
    uint64_t previous = 0;
    for (size_t i = 0; i <= numbers.size(); ++i) {
        const uint64_t next = i < numbers.size() ? numbers[i] : count + 1;
        ASSERT_GT(next, previous) << "record " << next << " out of order";
        const uint64_t missing = next - previous - 1;
        EXPECT_EQ(marked[i], markers ? missing : 0) << "hole after record " << previous;
        previous = next;
    }
    EXPECT_EQ(markedInAll, markers ? dropped : 0);
}

}  // namespace

TEST_F(LossFreePollingTest, DropsAreMarkedWhereTheRecordsAreMissing) {
    ToolResult setUp = RunTool(PLIXWRITE_PATH, {"--size", "4096"});
    ASSERT_EQ(setUp.exitCode, 0) << setUp.err;
    MappedPartition partition("plixtrace");
    ASSERT_NE(partition.Base(), nullptr);
    const uint8_t* base = partition.Base();
    auto full = [&] {
        return (Load32(base, WRITE_OFFSET_AT) + 64) % CAPACITY_4096 ==
               Load32(base, READ_OFFSET_AT);
    };
    // 4,000 records at 2,000/s (the reader keeps up easily); twice the reader is held off until
    // the queue is full and 100 ms more, which drops about 200 records each time.
    constexpr uint64_t COUNT = 4000;
    for (const bool markers : {true, false}) {
        SCOPED_TRACE(markers ? "drop markers on" : "drop markers off");
        StartReader();
        ASSERT_TRUE(WaitFor([&] { return Get32(base, ATTACH_COUNT_AT) >= 2; }));
        std::vector<std::string> arguments = {PLIXWRITE_PATH, "--drop", "--rate", "2000",
                                              "--count", std::to_string(COUNT), "--length", "56"};
        if (!markers) arguments.push_back("--no-drop-markers");
        ChildProcess writer(arguments, (mWork / "plixwrite.err").string());
        for (int hold = 0; hold < 2; ++hold) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            mReaderProcess->Signal(SIGSTOP);
            const bool filled = WaitFor(full, 20000);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            mReaderProcess->Signal(SIGCONT);
            ASSERT_TRUE(filled) << "the writer ended before the reader's hold " << hold;
        }
        const int writerStatus = writer.Wait(120000);
        ASSERT_TRUE(WIFEXITED(writerStatus) && WEXITSTATUS(writerStatus) == 0)
            << ReadFile(mWork / "plixwrite.err");
        ASSERT_TRUE(WaitFor(
            [&] { return Load32(base, READ_OFFSET_AT) == Load32(base, WRITE_OFFSET_AT); }));
        const int status = StopReader();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        uint64_t written = 0, dropped = 0;
        ASSERT_TRUE(ParseSummary(ReadFile(mWork / "plixwrite.err"), written, dropped))
            << ReadFile(mWork / "plixwrite.err");
        EXPECT_GT(dropped, 0u);
        PlixTest::ConsoleRecords console(54);
        const std::string out = ReadFile(mWork / "stdout");
        console.Append(out.data(), out.size());
        console.Finish();
        ExpectHolesMarked(console, COUNT, written, dropped, markers);
    }
}

TEST_F(LossFreePollingTest, ABurstAfterLongSilenceWakesTheReader) {
    ToolResult setUp = RunTool(PLIXWRITE_PATH, {"--size", "4096"});
    ASSERT_EQ(setUp.exitCode, 0) << setUp.err;
    MappedPartition partition("plixtrace");
    ASSERT_NE(partition.Base(), nullptr);
    const uint8_t* base = partition.Base();
    const std::string wakeUpPath = "/dev/shm/" + ZulOsCom::QueueWakeUp::ObjectName("plixtrace");
    // Longer than the alert window: the reader is at its longest pause when a burst comes.
    const auto silence = std::chrono::microseconds(IdlePacer::ALERT_WINDOW_US) +
                         std::chrono::seconds(2);
    // Bursts at 3,000/s: 450 records last 150 ms, nearly eight times what the data area holds
    // (59), so a reader that sleeps through a burst's first 20 ms loses records, as one at its
    // longest pause (100 ms) mostly does. The 20 ms leave a woken reader room on a loaded
    // machine; the benchmark takes 10,000/s. Without the wake-up the burst lasts 667 ms, so that
    // the polling reader wakes within it and the markers show the loss before its end.
    struct Case {
        const char* what;
        bool planted;  // another user's object in the wake-up's place
        int bursts;
        uint64_t count;
    };
    for (const Case& run : {Case{"woken by the writer", false, 3, 450},
                            Case{"wake-up object refused", true, 1, 2000}}) {
        const uint64_t COUNT = run.count;
        SCOPED_TRACE(run.what);
        if (run.planted) {
            const std::string skipped = PlixTest::CreateAsNobody(wakeUpPath, 64, "0644");
            if (!skipped.empty()) {
                ADD_FAILURE() << skipped;
                continue;
            }
        }
        StartReader();
        ASSERT_TRUE(WaitFor([&] { return Get32(base, ATTACH_COUNT_AT) >= 2; }));
        uintmax_t printed = 0;  // console bytes of the earlier bursts
        for (int burst = 0; burst < run.bursts; ++burst) {
            std::this_thread::sleep_for(silence);
            ToolResult writer = RunTool(PLIXWRITE_PATH, {"--drop", "--rate", "3000", "--count",
                                                         std::to_string(COUNT), "--length", "56"});
            ASSERT_EQ(writer.exitCode, 0) << writer.err;
            uint64_t written = 0, dropped = 0;
            ASSERT_TRUE(ParseSummary(writer.err, written, dropped)) << writer.err;
            if (!run.planted) {
                EXPECT_EQ(dropped, 0u) << "burst " << burst;
            }
            // This burst's part of the console, once every record and marker is there.
            std::string segment;
            WaitFor([&] {
                segment = ReadFile(mWork / "stdout").substr(printed);
                PlixTest::ConsoleRecords probe(54);
                probe.Append(segment.data(), segment.size());
                return probe.Numbers().size() >= written && MarkedDrops(probe) >= dropped;
            });
            printed += segment.size();
            PlixTest::ConsoleRecords console(54);
            console.Append(segment.data(), segment.size());
            console.Finish();
            ExpectHolesMarked(console, COUNT, written, dropped, /*markers=*/true);
        }
        const int status = StopReader();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        const std::string err = ReadFile(mWork / "stderr");
        if (run.planted) {
            // Said once; the object is left as it was.
            EXPECT_EQ(err, "ReadPLIXTrace: partition \"plixtrace\" has no wake-up for its writers (" +
                               wakeUpPath + " is owned by uid 65534, not by root or uid 0 (mode "
                               "0644); remove it so that the next start can make its own); the "
                               "reader polls\n");
            struct stat st {};
            EXPECT_EQ(lstat(wakeUpPath.c_str(), &st), 0);
            EXPECT_NE(st.st_uid, 0u);
        } else {
            EXPECT_EQ(err, "");
            EXPECT_FALSE(fs::exists(wakeUpPath)) << "the reader removes its wake-up at its end";
        }
    }
}
