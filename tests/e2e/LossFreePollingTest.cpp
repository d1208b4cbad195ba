// The reader's polling against a writer that cannot wait: plixwrite in drop mode writes far
// more than one data area per 100 ms into a 4096-byte partition while the real reader runs. A
// reader that slept a fixed 100 ms after every empty read would let most of those records be
// dropped; the running reader must take every one of them, in order, and must not spin once the
// queue has gone idle.
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

#include "rth/RthAdmin.h"
#include "tests/tools/ToolTestSupport.h"

namespace fs = std::filesystem;
using PlixToolTest::Get32;
using PlixToolTest::MappedPartition;
using PlixToolTest::RunTool;
using PlixToolTest::ToolResult;

namespace {

// Queue header fields, as offsets from the partition base (management header 64 bytes).
constexpr uint32_t WRITE_OFFSET_AT = 64;
constexpr uint32_t ATTACH_COUNT_AT = 64 + 4;
constexpr uint32_t READ_OFFSET_AT = 64 + 64;

// 10,000 records in 2 s: 5,000 records/s, about eight times what a fixed 100 ms pause can take
// from this partition (59 records of 56 bytes fit into its data area), and with room to spare
// for a reader on a busy machine (the data area lasts about 12 ms at this rate).
constexpr int RECORDS = 10000;
constexpr int RATE = 5000;
constexpr int LENGTH = 56;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

uint32_t Load32(const uint8_t* base, uint32_t offset) {
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(base + offset), __ATOMIC_ACQUIRE);
}

// CPU time (user + system) of a process so far, in clock ticks.
long CpuTicks(pid_t pid) {
    std::istringstream stat(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
    std::vector<std::string> fields;
    for (std::string field; stat >> field;) fields.push_back(field);
    return fields.size() > 15 ? std::stol(fields[13]) + std::stol(fields[14]) : -1;
}

class LossFreePollingTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tag = std::to_string(getpid());
        setenv("RTH_SHM_PREFIX", ("plixlossfree." + tag + ".").c_str(), 1);
        mWork = fs::temp_directory_path() / ("plixlossfree." + tag);
        fs::remove_all(mWork);
        fs::create_directories(mWork / "logs");
    }
    void TearDown() override {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        rthPartitionRemove("plixtrace");
        fs::remove_all(mWork);
    }

    // The reader with its console in a file and its trace log in the work directory.
    void StartReader() {
        mPid = fork();
        ASSERT_GE(mPid, 0);
        if (mPid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open((mWork / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            std::string logs = (mWork / "logs").string();
            execl(READER_PATH, READER_PATH, logs.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    int StopReader() {
        kill(mPid, SIGINT);
        int status = 0;
        bool ended = WaitFor([&] { return waitpid(mPid, &status, WNOHANG) == mPid; });
        if (!ended) {
            kill(mPid, SIGKILL);
            waitpid(mPid, &status, 0);
            ADD_FAILURE() << "reader did not end";
        }
        mPid = -1;
        return status;
    }

    fs::path mWork;
    pid_t mPid = -1;
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

    ToolResult written =
        RunTool(PLIXWRITE_PATH, {"--count", std::to_string(RECORDS), "--length",
                                 std::to_string(LENGTH), "--rate", std::to_string(RATE), "--drop"});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    EXPECT_EQ(written.err,
              "plixwrite: " + std::to_string(RECORDS) + " written, 0 dropped\n");
    ASSERT_TRUE(WaitFor(
        [&] { return Load32(base, READ_OFFSET_AT) == Load32(base, WRITE_OFFSET_AT); }));

    // Idle now: the pause has grown back to the idle poll interval, so over a second the reader
    // uses next to nothing (a reader that kept yielding would use a whole core's share).
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long before = CpuTicks(mPid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    long used = CpuTicks(mPid) - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 10) << "the idle reader spins";

    int status = StopReader();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // Every record on the console, once and in order: record n is "n ", letters, a line feed.
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
        std::string prefix = std::to_string(next) + " ";
        ASSERT_EQ(line.rfind(prefix, 0), 0u) << "expected record " << next << ", got " << line;
        ASSERT_EQ(line.size(), static_cast<size_t>(LENGTH - 2));
        ++next;
    }
    EXPECT_EQ(next, RECORDS + 1);
    EXPECT_EQ(line, "CTRL-C pressed");
}

}  // namespace
