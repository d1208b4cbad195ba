// The reader's polling against a writer that cannot wait: plixwrite in drop mode writes far
// more than one data area per 100 ms into a 4096-byte partition while the real reader runs. A
// reader that slept a fixed 100 ms after every empty read would let most of those records be
// dropped; the running reader must take every one of them, in order, and must not spin once the
// queue has gone idle.
//
// The test feeds plixwrite's standard input itself: the stream starts slowly (a writer that
// starts while the reader is in its idle pause can only count on the data area until the reader
// wakes), then holds the full rate for two seconds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/IdlePacer.h"
#include "rth/RthAdmin.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/IsolatedRunTest.h"
#include "tests/support/TestWaiting.h"
#include "tests/tools/ToolTestSupport.h"

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
