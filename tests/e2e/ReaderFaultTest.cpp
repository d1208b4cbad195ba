// The reader under load and faults, from the outside: the real main routine (reader_under_test,
// with an injected trace directory) and the real writer (plixwrite) as child processes on a
// partition of their own. Records are plixwrite's numbered synthetic records, so the console
// shows whether each came once and in order.
//
// The automated runs are short. scripts/soak runs the same cases long through the environment:
//   PLIX_SOAK_RECORDS     records of the load case (default 200000; from 1000000 on, the
//                         reader's resident size is also required to stay flat)
//   PLIX_SOAK_CTRLC_RUNS  reader starts interrupted at random moments (default 20)
//   PLIX_SOAK_SEED        seed of those moments (default fixed)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/ConsoleRecords.h"
#include "tests/e2e/HandPartition.h"

namespace fs = std::filesystem;
using PlixTest::ChildProcess;
using PlixTest::ConsoleRecords;
using PlixTest::HandPartition;

namespace {

constexpr uint32_t PARTITION_SIZE = 1048576;
constexpr uint32_t RECORD_LENGTH = 64;
constexpr uint32_t RECORD_SLOT = 128;  // (64 + 8) rounded up to 64
constexpr uint32_t TEXT_LENGTH = RECORD_LENGTH - 2;
constexpr int LONG_WAIT_MS = 120000;

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool ExitedWith(int status, int code) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

std::string Describe(int status) {
    if (status == -1) return "no end";
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
    return "status " + std::to_string(status);
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// One trace log line "N: <YYYY-mm-dd HH:MM:SS> text", or a last line cut short.
struct LogLine {
    uint64_t id = 0;
    std::string text;
    bool complete = false;  // ended with a line feed
};

class ReaderFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string tag = std::to_string(getpid()) + "." +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        setenv("RTH_SHM_PREFIX", ("plixfault." + tag + ".").c_str(), 1);
        mWork = fs::temp_directory_path() / ("plixfault." + tag);
        fs::remove_all(mWork);
        fs::create_directories(mWork);
        mLogDir = mWork / "logs";
        char self[4096] = {};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(n, 0);
        const fs::path bin = fs::path(std::string(self, static_cast<size_t>(n))).parent_path();
        mReader = (bin / "reader_under_test").string();
        mWriter = (bin / "plixwrite").string();
    }

    void TearDown() override {
        if (mMounted) {
            umount2(mLogDir.c_str(), MNT_DETACH);
        }
        fs::remove_all(mWork);
    }

    // The partition with its management header and an empty queue, as a writer that has gone
    // leaves it (refCount 1 stands for the party that set it up).
    std::unique_ptr<HandPartition> MakePartition() {
        auto p = std::make_unique<HandPartition>("plixtrace", PARTITION_SIZE);
        p->WriteHeader(0x5eed0001, 1);
        p->WriteQueue(1);
        return p;
    }

    std::unique_ptr<ChildProcess> StartReader(const ChildProcess::Options& options = {}) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{mReader, mLogDir.string()},
            (mWork / ("reader" + std::to_string(++mStarts) + ".err")).string(), options);
    }

    std::unique_ptr<ChildProcess> StartWriter(uint64_t count,
                                              const std::vector<std::string>& more = {}) {
        std::vector<std::string> argv = {mWriter, "--count", std::to_string(count), "--length",
                                         std::to_string(RECORD_LENGTH)};
        argv.insert(argv.end(), more.begin(), more.end());
        return std::make_unique<ChildProcess>(
            argv, (mWork / ("writer" + std::to_string(++mStarts) + ".err")).string());
    }

    std::string ReaderErr(int start) const {
        return ReadText(mWork / ("reader" + std::to_string(start) + ".err"));
    }

    // The lines of all trace log files, lowest file number first.
    std::vector<LogLine> LogLines() const {
        static const std::regex fileName(R"(plix_([0-9]+)\.log)");
        static const std::regex line(
            R"(([0-9]+): <[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}> ([^]*))");
        std::map<unsigned long, fs::path> files;
        for (const auto& entry : fs::directory_iterator(mLogDir)) {
            std::smatch m;
            const std::string name = entry.path().filename().string();
            if (std::regex_match(name, m, fileName)) files[std::stoul(m[1])] = entry.path();
        }
        std::vector<LogLine> lines;
        for (const auto& [number, path] : files) {
            const std::string text = ReadText(path);
            size_t at = 0;
            while (at < text.size()) {
                size_t end = text.find('\n', at);
                LogLine l;
                l.complete = end != std::string::npos;
                std::string raw = text.substr(at, l.complete ? end - at : std::string::npos);
                std::smatch m;
                if (std::regex_match(raw, m, line)) {
                    l.id = std::stoull(m[1]);
                    l.text = m[2];
                } else {
                    l.text = raw;
                }
                lines.push_back(l);
                at = l.complete ? end + 1 : text.size();
            }
        }
        return lines;
    }

    // Mounts a tmpfs of size bytes on the trace directory; false (with the reason) when the
    // system does not permit it.
    bool MountSmallTraceDirectory(size_t size, std::string* reason) {
        fs::create_directories(mLogDir);
        const std::string options = "size=" + std::to_string(size);
        if (mount("tmpfs", mLogDir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            *reason =
                std::string("cannot mount a tmpfs on the trace directory: ") + std::strerror(errno);
            return false;
        }
        mMounted = true;
        return true;
    }

    void ExpectFullTraceLogEndsTheRun(const ChildProcess::Options& options, const std::string& why);

    fs::path mWork, mLogDir;
    std::string mReader, mWriter;
    int mStarts = 0;
    bool mMounted = false;
};

TEST_F(ReaderFaultTest, LoadThroughTheRealBinaryKeepsEveryRecordOnceAndInOrder) {
    const uint64_t records = EnvNumber("PLIX_SOAK_RECORDS", 200000);
    const bool checkRss = records >= 1000000;
    auto p = MakePartition();

    auto reader = StartReader();
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000)) << "reader did not attach";
    auto writer = StartWriter(records);

    // Resident size at a tenth of the run and then at every further tenth.
    std::vector<long> rss;
    for (uint64_t tenth = 1; tenth <= 10 && checkRss; ++tenth) {
        ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= records * tenth / 10; },
                            3600 * 1000));
        rss.push_back(reader->RssKiB());
    }
    const int writerStatus = writer->Wait(3600 * 1000);
    EXPECT_TRUE(ExitedWith(writerStatus, 0)) << Describe(writerStatus);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= records; }, LONG_WAIT_MS))
        << reader->Console().RecordCount() << " of " << records << " records printed";
    EXPECT_EQ(p->ReadOffset(), p->WriteOffset());
    reader->Signal(SIGINT);
    const int status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    const ConsoleRecords& console = reader->Console();
    EXPECT_EQ(console.MalformedCount(), 0u)
        << (console.Malformed().empty() ? "" : console.Malformed()[0]);
    ASSERT_EQ(console.Numbers().size(), records);
    const size_t brk = ConsoleRecords::FirstBreak(console.Numbers(), 0, 1);
    EXPECT_EQ(brk, console.Numbers().size())
        << "record " << console.Numbers()[std::min(brk, console.Numbers().size() - 1)]
        << " at position " << brk;
    EXPECT_EQ(Count(console.OtherLines(), "CTRL-C pressed"), 1u);
    EXPECT_EQ(ReaderErr(1), "");
    EXPECT_EQ(p->RefCount(), 1);  // the reader and the writer gave theirs back

    // The logs: the files the collector kept hold consecutive line numbers up to the last
    // record, each line the first line of the record of that number; no line is cut short.
    std::vector<LogLine> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    const uint64_t first = lines.front().id;
    EXPECT_EQ(lines.back().id, records);
    EXPECT_EQ(lines.size(), records - first + 1) << "lines missing or repeated in the kept files";
    size_t bad = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const LogLine& l = lines[i];
        if (l.id != first + i || !l.complete ||
            l.text != ConsoleRecords::RecordText(l.id, TEXT_LENGTH)) {
            if (++bad <= 3) ADD_FAILURE() << "log line " << i << ": " << l.id << " " << l.text;
        }
    }
    EXPECT_EQ(bad, 0u);
    if (records <= 20000) {
        EXPECT_EQ(first, 1u);  // small enough that the collector deleted nothing
    }

    if (checkRss) {
        ASSERT_EQ(rss.size(), 10u);
        const long early = rss.front();
        const long peak = *std::max_element(rss.begin(), rss.end());
        std::ostringstream samples;
        for (long r : rss) samples << r << " ";
        std::printf("reader resident size (KiB) at each tenth of %llu records: %s\n",
                    static_cast<unsigned long long>(records), samples.str().c_str());
        EXPECT_LE(peak - early, 8 * 1024)
            << "resident size grows (KiB at each tenth): " << samples.str();
    }
}

TEST_F(ReaderFaultTest, ReaderKilledMidStreamGoesOnWhereItStoppedWhenStartedAgain) {
    constexpr uint64_t records = 20000;
    auto p = MakePartition();
    auto first = StartReader();
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000));
    auto writer = StartWriter(records);
    ASSERT_TRUE(
        WaitFor([&] { return first->Console().RecordCount() >= records / 4; }, LONG_WAIT_MS));
    first->Signal(SIGKILL);
    int status = first->Wait(20000);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << Describe(status);

    auto second = StartReader();
    status = writer->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(WaitFor([&] { return p->ReadOffset() == p->WriteOffset(); }, LONG_WAIT_MS));
    ASSERT_TRUE(WaitFor(
        [&] {
            const size_t n = second->Console().RecordCount();
            return n > 0 && n + first->Console().RecordCount() + 1 >= records;
        },
        20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a last record on its way
    second->Signal(SIGINT);
    status = second->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    // The first run printed 1..a, the second b..records, and b is a + 1, or a + 2 when the
    // record the killed reader had in hand (taken from the queue, not yet printed) is lost.
    const std::vector<uint64_t>& a = first->Console().Numbers();
    const std::vector<uint64_t>& b = second->Console().Numbers();
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(ConsoleRecords::FirstBreak(a, 0, 1), a.size());
    EXPECT_EQ(ConsoleRecords::FirstBreak(b, 0, b.front()), b.size());
    EXPECT_GE(b.front(), a.back() + 1) << "printed twice";
    EXPECT_LE(b.front(), a.back() + 2) << "more than the record in hand lost";
    EXPECT_EQ(b.back(), records);
    EXPECT_EQ(first->Console().MalformedCount() + second->Console().MalformedCount(), 0u);
    // The killed reader could not give its reference back; the second one did.
    EXPECT_EQ(p->RefCount(), 2);
}

TEST_F(ReaderFaultTest, WriterKilledMidStreamLeavesTheReaderIdleAndANewWriterIsReadOn) {
    auto p = MakePartition();
    auto reader = StartReader();
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000));
    auto first = StartWriter(1000000, {"--rate", "50000"});
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= 2000; }, LONG_WAIT_MS));
    first->Signal(SIGKILL);
    int status = first->Wait(20000);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << Describe(status);
    ASSERT_TRUE(WaitFor([&] { return p->ReadOffset() == p->WriteOffset(); }, 20000));

    // Nothing left to read: the reader polls at idle CPU (well under a fifth of a core).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long before = reader->CpuTicks();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long used = reader->CpuTicks() - before;
    ASSERT_GE(before, 0);
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 5) << "the reader spins while the queue is idle";
    const size_t fromFirst = reader->Console().RecordCount();

    constexpr uint64_t more = 5000;
    auto second = StartWriter(more);
    status = second->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(
        WaitFor([&] { return reader->Console().RecordCount() >= fromFirst + more; }, LONG_WAIT_MS));
    reader->Signal(SIGINT);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    // 1..k of the killed writer, then 1..5000 of the new one, nothing else.
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    ASSERT_EQ(n.size(), fromFirst + more);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), fromFirst);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, fromFirst, 1), n.size());
    EXPECT_EQ(reader->Console().MalformedCount(), 0u);
    EXPECT_EQ(p->RefCount(), 2);  // the killed writer's reference stays
}

void ReaderFaultTest::ExpectFullTraceLogEndsTheRun(const ChildProcess::Options& options,
                                                   const std::string& why) {
    constexpr uint64_t records = 3000;  // about 280 KiB of log lines, all in the queue at once
    auto p = MakePartition();
    auto writer = StartWriter(records);
    int status = writer->Wait(LONG_WAIT_MS);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_EQ(p->WriteOffset(), records * RECORD_SLOT);

    auto reader = StartReader(options);
    status = reader->Wait(30000);  // a reader that does not notice would drain all and idle
    ASSERT_TRUE(ExitedWith(status, 1)) << Describe(status);

    // One line on stderr that says what happened.
    const std::string err = ReaderErr(mStarts);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(err.rfind("ReadPLIXTrace: ", 0), 0u) << err;
    EXPECT_NE(err.find("trace log"), std::string::npos) << err;
    EXPECT_NE(err.find(why), std::string::npos) << err;

    // The records 1..k reached the console; k is the one in hand, whose log line failed. The
    // queue's read offset lies right behind it, everything after it is still there.
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    ASSERT_FALSE(n.empty());
    const uint64_t k = n.back();
    EXPECT_LT(k, records);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), n.size());
    EXPECT_EQ(p->ReadOffset(), k * RECORD_SLOT);
    EXPECT_EQ(p->WriteOffset(), records * RECORD_SLOT);
    EXPECT_EQ(p->RefCount(), 1);  // the partition was released

    // The log holds the complete lines of records 1..k-1; record k's line is cut or absent.
    std::vector<LogLine> lines = LogLines();
    std::vector<LogLine> complete;
    for (const LogLine& l : lines) {
        if (l.complete) complete.push_back(l);
    }
    ASSERT_EQ(complete.size(), k - 1);
    for (size_t i = 0; i < complete.size(); ++i) {
        ASSERT_EQ(complete[i].id, i + 1);
        ASSERT_EQ(complete[i].text, ConsoleRecords::RecordText(i + 1, TEXT_LENGTH));
    }
}

TEST_F(ReaderFaultTest, FullTraceDirectoryEndsWithOneLineAndExitOne) {
    std::string reason;
    if (!MountSmallTraceDirectory(64 * 1024, &reason)) {
        GTEST_SKIP() << reason << " (TraceLogBeyondTheFileSizeLimit covers the same path)";
    }
    ExpectFullTraceLogEndsTheRun({}, std::strerror(ENOSPC));
}

TEST_F(ReaderFaultTest, TraceLogBeyondTheFileSizeLimitEndsWithOneLineAndExitOne) {
    ChildProcess::Options options;
    options.fileSizeLimit = 64 * 1024;
    ExpectFullTraceLogEndsTheRun(options, std::strerror(EFBIG));
}

TEST_F(ReaderFaultTest, CtrlCAtRandomMomentsOfStartUpAndDrainingEndsInOrder) {
    const uint64_t runs = EnvNumber("PLIX_SOAK_CTRLC_RUNS", 20);
    std::mt19937 random(static_cast<uint32_t>(EnvNumber("PLIX_SOAK_SEED", 20240611)));
    // Half of the interruptions fall into the first 10 ms (start-up), half into draining.
    std::uniform_int_distribution<int> startUpUs(0, 10000);
    std::uniform_int_distribution<int> drainingUs(10000, 80000);
    auto p = MakePartition();
    // A writer that keeps the queue full: every reader start finds records to drain.
    auto writer = StartWriter(100000000);
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2 && p->WriteOffset() != 0; }, 20000));

    uint64_t next = 1;  // the record the next run must print first
    for (uint64_t run = 0; run < runs; ++run) {
        const int32_t refBefore = p->RefCount();
        const int delay = run % 2 == 0 ? startUpUs(random) : drainingUs(random);
        auto reader = StartReader();
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        reader->Signal(SIGINT);
        const int status = reader->Wait(20000);
        const ConsoleRecords& console = reader->Console();
        SCOPED_TRACE("run " + std::to_string(run) + ", Ctrl+C after " + std::to_string(delay) +
                     " us: " + Describe(status));
        ASSERT_NE(status, -1) << "hang";
        EXPECT_EQ(console.MalformedCount(), 0u);
        if (ExitedWith(status, 0)) {
            // The handler took it (an event during start-up waits for the handler): its
            // message, every record once and in order from where the previous run stopped, the
            // partition given back.
            EXPECT_EQ(Count(console.OtherLines(), "CTRL-C pressed"), 1u);
            EXPECT_EQ(ConsoleRecords::FirstBreak(console.Numbers(), 0, next),
                      console.Numbers().size());
            EXPECT_EQ(ReaderErr(mStarts), "");
        } else {
            // Only a Ctrl+C before the program's own code runs (while the process is still being
            // loaded) takes the default action: nothing read, no reference taken.
            ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
            EXPECT_TRUE(console.Numbers().empty());
            EXPECT_EQ(Count(console.OtherLines(), "CTRL-C pressed"), 0u);
        }
        EXPECT_EQ(p->RefCount(), refBefore);
        next += console.Numbers().size();
        if (HasFatalFailure()) return;
    }
    writer->Signal(SIGKILL);
    writer->Wait(20000);
    EXPECT_GT(next, 1u) << "no run drained anything";
    // Nothing was lost between the runs: the queue is read exactly up to the last record printed.
    EXPECT_EQ(p->ReadOffset(), ((next - 1) * RECORD_SLOT) % p->Capacity());
}

}  // namespace
