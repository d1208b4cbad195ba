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
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <termios.h>
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
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/ConsoleRecords.h"
#include "tests/e2e/HandPartition.h"
#include "tests/e2e/IsolatedRunTest.h"
#include "tests/support/TestWaiting.h"

namespace fs = std::filesystem;
using namespace PlixTest;  // the end-to-end helpers: child processes, partitions, waiting

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

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// One trace log line "N: <YYYY-mm-dd HH:MM:SS> text", or a last line cut short.
struct LogLine {
    uint64_t id = 0;
    std::string text;
    bool complete = false;  // ended with a line feed
};

class ReaderFaultTest : public PlixTest::IsolatedRunTest {
protected:
    ReaderFaultTest() : IsolatedRunTest("plixfault") {}

    void SetUp() override {
        IsolatedRunTest::SetUp();
        mWriter = Program("plixwrite");
    }

    void TearDown() override {
        if (mMounted) {
            umount2(mLogDir.c_str(), MNT_DETACH);
        }
        IsolatedRunTest::TearDown();
    }

    // The partition with its management header and an empty queue, as a writer that has gone
    // leaves it (refCount 1 stands for the party that set it up).
    std::unique_ptr<HandPartition> MakePartition() {
        auto p = std::make_unique<HandPartition>("plixtrace", PARTITION_SIZE);
        p->WriteHeader(0x5eed0001, 1);
        p->WriteQueue(1);
        return p;
    }

    // The reader, started through launcher (a command that ends in running its arguments) when
    // one is given.
    std::unique_ptr<ChildProcess> StartReader(const ChildProcess::Options& options = {},
                                              std::vector<std::string> launcher = {}) {
        launcher.insert(launcher.end(), {mReader, mLogDir.string()});
        return std::make_unique<ChildProcess>(
            launcher, (mWork / ("reader" + std::to_string(++mStarts) + ".err")).string(), options);
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
        return ReadFile(mWork / ("reader" + std::to_string(start) + ".err"));
    }
    std::string WriterErr(int start) const {
        return ReadFile(mWork / ("writer" + std::to_string(start) + ".err"));
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
            if (std::regex_match(name, m, fileName)) {
                files[std::stoul(m[1])] = entry.path();
                mFilesSeen.insert(name);
            }
        }
        std::vector<LogLine> lines;
        for (const auto& [number, path] : files) {
            const std::string text = ReadFile(path);
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
        const std::string options = "size=" + std::to_string(size) + ",mode=0750";
        if (mount("tmpfs", mLogDir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            *reason =
                std::string("cannot mount a tmpfs on the trace directory: ") + std::strerror(errno);
            return false;
        }
        mMounted = true;
        return true;
    }

    // Waits until the stderr of reader start holds text; false after timeoutMs.
    bool WaitForErr(int start, const std::string& text, int timeoutMs = 20000) const {
        return WaitFor([&] { return ReaderErr(start).find(text) != std::string::npos; },
                       timeoutMs);
    }

    // The stderr lines of reader start, without their line feeds.
    std::vector<std::string> ErrLines(int start) const {
        std::vector<std::string> lines;
        std::istringstream in(ReaderErr(start));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // Runs the reader while plixwrite writes records at a rate and the trace log fails
    // (options, or the tmpfs the caller mounted); checks the loss accounting against the
    // console and the log. duringLoss runs once the loss has been said.
    void ExpectLossAccounted(const ChildProcess::Options& options, int error,
                             const std::function<void()>& duringLoss, bool mustRecover);

    // Lines of the trace log files that the test deleted to free space.
    std::vector<LogLine> mRemovedLines;
    mutable std::set<std::string> mFilesSeen;  // trace log files LogLines has seen

    std::string mWriter;
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
    // The killed reader could not give its reference back; the second one did. Its claim on the
    // partition died with it: the second reader started at once, without a word.
    EXPECT_EQ(p->RefCount(), 2);
    EXPECT_EQ(ReaderErr(3), "");
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

TEST_F(ReaderFaultTest, CtrlCAtRandomMomentsOfStartUpAndDrainingEndsInOrder) {
    const uint64_t runs = EnvNumber("PLIX_SOAK_CTRLC_RUNS", 20);
    std::mt19937 random(static_cast<uint32_t>(EnvNumber("PLIX_SOAK_SEED", 20240611)));
    // Half of the interruptions fall into the first 10 ms (start-up), half into the first 70 ms
    // of draining, counted from the attach: a slow start (a sanitizer build, a loaded machine)
    // must not turn every run into a start-up stop.
    std::uniform_int_distribution<int> startUpUs(0, 10000);
    std::uniform_int_distribution<int> drainingUs(0, 70000);
    auto p = MakePartition();
    // A writer that keeps the queue full: every reader start finds records to drain.
    auto writer = StartWriter(100000000);
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2 && p->WriteOffset() != 0; }, 20000));

    uint64_t next = 1;  // the record the next run must print first
    uint64_t startUpStops = 0;
    for (uint64_t run = 0; run < runs; ++run) {
        const int32_t refBefore = p->RefCount();
        const bool duringStartUp = run % 2 == 0;
        const int delay = duringStartUp ? startUpUs(random) : drainingUs(random);
        const uint32_t readBefore = p->ReadOffset();
        auto reader = StartReader();
        if (!duringStartUp) {
            ASSERT_TRUE(WaitFor([&] { return p->RefCount() != refBefore; }, 20000));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
        // Whether the reader had opened the partition when the signal went out: a stop sent
        // before that must end the run before the first pass, without reading anything.
        const bool attachedBeforeSignal = p->RefCount() != refBefore;
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
        if (!attachedBeforeSignal) {
            EXPECT_TRUE(console.Numbers().empty()) << "records read after a start-up Ctrl+C";
            EXPECT_EQ(p->ReadOffset(), readBefore) << "the queue moved after a start-up Ctrl+C";
            ++startUpStops;
        }
        next += console.Numbers().size();
        if (HasFatalFailure()) return;
    }
    writer->Signal(SIGKILL);
    writer->Wait(20000);
    EXPECT_GT(next, 1u) << "no run drained anything";
    std::printf("%llu of %llu Ctrl+C fell before the reader attached\n",
                static_cast<unsigned long long>(startUpStops),
                static_cast<unsigned long long>(runs));
    // Nothing was lost between the runs: the queue is read exactly up to the last record printed.
    EXPECT_EQ(p->ReadOffset(), ((next - 1) * RECORD_SLOT) % p->Capacity());
}

// One synthetic record of plixwrite --count n --length 64 as a queue payload.
std::string RecordPayload(uint64_t n) {
    return ConsoleRecords::RecordText(n, TEXT_LENGTH) + std::string("\n", 2);
}

// The number of a synthetic record's text, 0 when the text is not exactly one.
uint64_t RecordNumberOf(const std::string& text) {
    const uint64_t n = std::strtoull(text.c_str(), nullptr, 10);
    return n != 0 && text == ConsoleRecords::RecordText(n, TEXT_LENGTH) ? n : 0;
}

// Waits until the read offset has stood still for half a second with records still queued:
// the reader is blocked in its console write.
bool WaitUntilReaderBlocks(const HandPartition& p, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint32_t last = p.ReadOffset();
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const uint32_t now = p.ReadOffset();
        if (now == last && now != 0 && now != p.WriteOffset()) return true;
        last = now;
    }
    return false;
}

TEST_F(ReaderFaultTest, SigtermEndsTheRunInOrderAtRestAndWhileDraining) {
    auto p = MakePartition();

    // At rest: the partition given back, nothing said.
    auto idle = StartReader();
    const int idleStart = mStarts;
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000)) << "reader did not attach";
    idle->Signal(SIGTERM);
    int status = idle->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(ReaderErr(idleStart), "");
    for (const std::string& line : idle->Console().OtherLines()) {
        EXPECT_TRUE(line.empty() || line == "=============== ReadPLIXTrace ===============")
            << "console message on SIGTERM: " << line;
    }
    EXPECT_EQ(p->RefCount(), 1);

    // While draining a queue that a writer keeps full.
    auto writer = StartWriter(100000000);
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2 && p->WriteOffset() != 0; }, 20000));
    auto reader = StartReader();
    const int readerStart = mStarts;
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= 20000; }, LONG_WAIT_MS));
    reader->Signal(SIGTERM);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    writer->Signal(SIGKILL);
    writer->Wait(20000);

    const ConsoleRecords& console = reader->Console();
    EXPECT_EQ(ReaderErr(readerStart), "");
    EXPECT_EQ(Count(console.OtherLines(), "CTRL-C pressed"), 0u);
    EXPECT_EQ(console.MalformedCount(), 0u);
    const std::vector<uint64_t>& n = console.Numbers();
    ASSERT_GE(n.size(), 20000u);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), n.size());
    // Nothing taken from the queue without being printed: the read offset lies right behind the
    // last record printed.
    EXPECT_EQ(p->ReadOffset(), (n.size() * RECORD_SLOT) % p->Capacity());
    EXPECT_EQ(p->RefCount(), 2);  // the killed writer's reference stays, the reader's is back

    // The last log file is complete: every printed record has its whole line.
    const std::vector<LogLine> lines = LogLines();
    ASSERT_EQ(lines.size(), n.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].complete) << "log line " << i << " cut short";
        ASSERT_EQ(RecordNumberOf(lines[i].text), i + 1) << lines[i].text;
    }
}

TEST_F(ReaderFaultTest, StopsEndTheRunWhenTheConsoleIsNotRead) {
    auto p = MakePartition();
    // More records than a pipe holds, for two readers.
    auto writer = StartWriter(6000);
    int status = writer->Wait(LONG_WAIT_MS);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    ChildProcess::Options unread;
    unread.readOutput = false;
    for (bool twice : {false, true}) {
        SCOPED_TRACE(twice ? "Ctrl+C, then SIGTERM" : "Ctrl+C");
        auto reader = StartReader(unread);
        const int start = mStarts;
        ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000));
        ASSERT_TRUE(WaitUntilReaderBlocks(*p, 20000)) << "the reader does not block";
        const auto sent = std::chrono::steady_clock::now();
        reader->Signal(SIGINT);
        if (twice) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            reader->Signal(SIGTERM);
        }
        status = reader->Wait(20000);
        const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - sent)
                                .count();
        std::printf("%s: ended %lld ms after Ctrl+C\n", twice ? "Ctrl+C, SIGTERM" : "Ctrl+C",
                    static_cast<long long>(tookMs));
        ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
        EXPECT_EQ(p->RefCount(), 1) << "the forced end kept the partition reference";
        EXPECT_EQ(ReaderErr(start), "");
    }
}

TEST_F(ReaderFaultTest, ConsoleClosedByItsReaderEndsTheRunInOrder) {
    constexpr uint64_t records = 3000;
    auto p = MakePartition();
    auto writer = StartWriter(records);
    int status = writer->Wait(LONG_WAIT_MS);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    ChildProcess::Options closing;
    closing.closeOutputAfter = 20000;
    auto reader = StartReader(closing);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);  // not SIGPIPE
    EXPECT_EQ(ReaderErr(mStarts), "ReadPLIXTrace: the console is gone (Broken pipe); ending\n");
    EXPECT_EQ(p->RefCount(), 1);

    // Every record taken from the queue is logged, the one whose print failed too; the queue is
    // read up to it and no further.
    const std::vector<LogLine> lines = LogLines();
    ASSERT_FALSE(lines.empty());
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(lines[i].complete);
        ASSERT_EQ(RecordNumberOf(lines[i].text), i + 1) << lines[i].text;
    }
    const uint64_t k = lines.size();
    EXPECT_LT(k, records);
    EXPECT_GT(k, reader->Console().Numbers().size()) << "the record in hand was not logged";
    EXPECT_EQ(p->ReadOffset(), k * RECORD_SLOT);
}

void ReaderFaultTest::ExpectLossAccounted(const ChildProcess::Options& options, int error,
                                          const std::function<void()>& duringLoss,
                                          bool mustRecover) {
    constexpr uint64_t records = 6000;  // about 540 KiB of log lines, over 4 seconds
    auto p = MakePartition();
    auto reader = StartReader(options);
    const int start = mStarts;
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000))
        << "reader did not attach: " << ReaderErr(start);
    auto writer = StartWriter(records, {"--rate", "1500"});
    ASSERT_TRUE(WaitForErr(start, "trace log lines are being lost", LONG_WAIT_MS))
        << ReaderErr(start);
    duringLoss();
    int status = writer->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= records; }, LONG_WAIT_MS))
        << reader->Console().RecordCount() << " of " << records << " records printed";
    reader->Signal(SIGINT);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);  // no SIGXFSZ death either

    // Every record on the console, once and in order.
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    ASSERT_EQ(n.size(), records);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), n.size());
    EXPECT_EQ(p->RefCount(), 1);

    // stderr: a loss line with the reason, a recovery line with its count for each stretch that
    // ended, and the summary.
    const std::vector<std::string> err = ErrLines(start);
    ASSERT_GE(err.size(), 2u) << ReaderErr(start);
    const std::regex lossLine(
        "ReadPLIXTrace: trace log lines are being lost: .*" + std::string(std::strerror(error)) +
        ".*; records still go to the console");
    const std::regex backLine(
        R"(ReadPLIXTrace: the trace log works again; ([0-9]+) lines were lost)");
    const std::regex summaryLine(R"(ReadPLIXTrace: ([0-9]+) trace log lines were lost in this run)");
    uint64_t recovered = 0;
    size_t recoveries = 0;
    bool failing = false;
    for (size_t i = 0; i + 1 < err.size(); ++i) {
        std::smatch m;
        if (!failing) {
            ASSERT_TRUE(std::regex_match(err[i], lossLine)) << "line " << i << ": " << err[i];
        } else {
            ASSERT_TRUE(std::regex_match(err[i], m, backLine)) << "line " << i << ": " << err[i];
            const uint64_t lost = std::stoull(m[1]);
            EXPECT_GT(lost, 0u);
            recovered += lost;
            ++recoveries;
        }
        failing = !failing;
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(err.back(), m, summaryLine)) << err.back();
    const uint64_t lostTotal = std::stoull(m[1]);
    if (failing) {
        EXPECT_LT(recovered, lostTotal) << "a final stretch of losses is missing from the summary";
    } else {
        EXPECT_EQ(recovered, lostTotal);
    }
    if (mustRecover) {
        EXPECT_GT(recoveries, 0u) << "the trace log never worked again";
    }

    // The log: the complete lines are records in order, each once; with the lost ones they
    // make up every record.
    std::vector<LogLine> lines = mRemovedLines;
    const std::vector<LogLine> current = LogLines();
    lines.insert(lines.end(), current.begin(), current.end());
    uint64_t complete = 0;
    uint64_t previous = 0;
    for (const LogLine& l : lines) {
        if (!l.complete) continue;
        const uint64_t number = RecordNumberOf(l.text);
        ASSERT_GT(number, previous) << "log line out of order or repeated: " << l.text;
        previous = number;
        ++complete;
    }
    EXPECT_EQ(complete + lostTotal, records)
        << complete << " complete log lines, " << lostTotal << " lost";
    std::printf("%llu lines lost in %zu stretches (%zu recovered); %zu trace log files made\n",
                static_cast<unsigned long long>(lostTotal), recoveries + (failing ? 1 : 0),
                recoveries, mFilesSeen.size());
}

TEST_F(ReaderFaultTest, TraceLogBeyondTheFileSizeLimitLosesLinesButNeverStopsTheDraining) {
    // Each file the logging library opens takes 64 KiB and then fails with EFBIG until the
    // next try opens a new file.
    ChildProcess::Options options;
    options.fileSizeLimit = 64 * 1024;
    ExpectLossAccounted(options, EFBIG, [] {}, true);
}

TEST_F(ReaderFaultTest, FullTraceDirectoryLosesLinesUntilSpaceIsFreed) {
    std::string reason;
    if (!MountSmallTraceDirectory(192 * 1024, &reason)) {
        GTEST_SKIP() << reason << " (the file size limit case covers the same path)";
    }
    // Once lines are being lost, the files before the newest are read and deleted.
    auto freeSpace = [this] {
        static const std::regex fileName(R"(plix_([0-9]+)\.log)");
        std::map<unsigned long, fs::path> files;
        auto listFiles = [&] {
            files.clear();
            for (const auto& entry : fs::directory_iterator(mLogDir)) {
                std::smatch m;
                const std::string name = entry.path().filename().string();
                if (std::regex_match(name, m, fileName)) files[std::stoul(m[1])] = entry.path();
            }
            return files.size() >= 2;
        };
        // The full file, and the next one a later try opened.
        ASSERT_TRUE(WaitFor(listFiles, 20000)) << "no new file tried after the loss";
        files.erase(std::prev(files.end()));
        fs::create_directories(mWork / "moved");
        for (const auto& [number, path] : files) {
            fs::copy_file(path, mWork / "moved" / path.filename());
            fs::remove(path);
        }
        // LogLines reads the trace directory: read the moved files through it.
        const fs::path saved = mLogDir;
        mLogDir = mWork / "moved";
        mRemovedLines = LogLines();
        mLogDir = saved;
    };
    ExpectLossAccounted({}, ENOSPC, freeSpace, true);
}

TEST_F(ReaderFaultTest, QueueNotValidForAWhileIsSaidOnceAndItsEndToo) {
    auto p = MakePartition();
    auto reader = StartReader();
    const int start = mStarts;
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000)) << "reader did not attach";
    p->Push(RecordPayload(1));
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 1; }, 20000));

    // A capacity beyond the partition for about two seconds: status 11 on every poll.
    p->Put32(64 + 12, PARTITION_SIZE * 2);
    ASSERT_TRUE(WaitForErr(start, "holds a queue that is not valid")) << ReaderErr(start);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    p->Put32(64 + 12, p->Capacity());
    ASSERT_TRUE(WaitForErr(start, "holds a valid queue again; reading on")) << ReaderErr(start);
    p->Push(RecordPayload(2));
    p->Push(RecordPayload(3));
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 3; }, 20000));
    reader->Signal(SIGINT);
    const int status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    // One line when it became lasting, one when it ended; nothing per poll.
    const std::vector<std::string> err = ErrLines(start);
    ASSERT_EQ(err.size(), 2u) << ReaderErr(start);
    EXPECT_EQ(err[0].rfind("ReadPLIXTrace: partition \"plixtrace\" holds a queue that is not valid",
                           0),
              0u)
        << err[0];
    EXPECT_EQ(err[1], "ReadPLIXTrace: partition \"plixtrace\" holds a valid queue again; reading on");
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    EXPECT_EQ(n, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(p->ReadOffset(), 3 * RECORD_SLOT);
    EXPECT_EQ(p->RefCount(), 1);
}

TEST_F(ReaderFaultTest, PartitionReplacedRemovedAndShrunkUnderTheReaderIsFollowed) {
    const std::string prefix = std::getenv("RTH_SHM_PREFIX");
    const std::string object = "/dev/shm/" + prefix + "plixtrace";
    auto a = MakePartition();
    auto reader = StartReader();
    const int start = mStarts;
    ASSERT_TRUE(WaitFor([&] { return a->RefCount() == 2; }, 20000)) << "reader did not attach";
    for (uint64_t i = 1; i <= 3; ++i) a->Push(RecordPayload(i));
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 3; }, 20000));
    size_t printed = 3;

    // Replaced in one step: a new partition made under another prefix is renamed over the
    // name, so the reader never sees the name missing.
    setenv("RTH_SHM_PREFIX", (prefix + "new.").c_str(), 1);
    auto b = std::make_unique<HandPartition>("plixtrace", PARTITION_SIZE);
    setenv("RTH_SHM_PREFIX", prefix.c_str(), 1);
    b->WriteHeader(0x5eed0002, 1);
    b->WriteQueue(1);
    ASSERT_EQ(rename(("/dev/shm/" + prefix + "new.plixtrace").c_str(), object.c_str()), 0)
        << std::strerror(errno);
    ASSERT_TRUE(WaitForErr(start, "was replaced; reading the new one")) << ReaderErr(start);
    EXPECT_EQ(a->RefCount(), 1) << "the old partition's reference was kept";
    EXPECT_EQ(b->RefCount(), 2);
    for (uint64_t i = 1; i <= 2; ++i) b->Push(RecordPayload(i));
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == printed + 2; }, 20000));
    printed += 2;

    // Removed, then created and set up by a writer.
    ASSERT_EQ(rthPartitionRemove("plixtrace"), RTH_OK);
    ASSERT_TRUE(WaitForErr(start, "was removed; waiting for it to come back")) << ReaderErr(start);
    EXPECT_EQ(b->RefCount(), 1);
    auto writer = StartWriter(100);
    int status = writer->Wait(LONG_WAIT_MS);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(WaitForErr(start, "is back; reading it")) << ReaderErr(start);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == printed + 100; }, 20000));
    printed += 100;

    // Shrunk to nothing while mapped: the next access would raise SIGBUS.
    ASSERT_EQ(truncate(object.c_str(), 0), 0) << std::strerror(errno);
    ASSERT_TRUE(WaitForErr(start, "shrank under the reader; waiting for it to come back"))
        << ReaderErr(start);
    ASSERT_EQ(rthPartitionRemove("plixtrace"), RTH_OK);
    writer = StartWriter(50);
    status = writer->Wait(LONG_WAIT_MS);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == printed + 50; }, 20000))
        << ReaderErr(start);

    reader->Signal(SIGINT);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    // Each change said once, in order.
    const std::string said = "ReadPLIXTrace: partition \"plixtrace\" ";
    EXPECT_EQ(ErrLines(start), (std::vector<std::string>{
                                   said + "was replaced; reading the new one",
                                   said + "was removed; waiting for it to come back",
                                   said + "is back; reading it",
                                   said + "shrank under the reader; waiting for it to come back",
                                   said + "is back; reading it",
                               }));
    // Each partition's records once and in order: 1..3, 1..2, 1..100, 1..50.
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    ASSERT_EQ(n.size(), 155u);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), 3u);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 3, 1), 5u);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 5, 1), 105u);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 105, 1), 155u);
    EXPECT_EQ(reader->Console().MalformedCount(), 0u);
}

TEST_F(ReaderFaultTest, SignalsIgnoredAtStartStayIgnored) {
    const std::vector<std::string> nohup = {"/usr/bin/nohup"};
    // A script's background job ignores SIGINT and SIGQUIT.
    const std::vector<std::string> job = {"/bin/sh", "-c", "trap '' INT QUIT; exec \"$@\"", "sh"};
    const std::pair<std::vector<std::string>, std::vector<int>> cases[] = {
        {nohup, {SIGHUP, SIGHUP}}, {job, {SIGINT, SIGQUIT, SIGINT}}};
    auto p = MakePartition();
    for (const auto& [launcher, signals] : cases) {
        SCOPED_TRACE(launcher[0]);
        auto reader = StartReader({}, launcher);
        ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000)) << ReaderErr(mStarts);
        for (uint64_t i = 1; i <= 6; ++i) {
            p->Push(RecordPayload(i));
            ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == i; }, 20000));
            if (i == 3) {
                for (int signalNumber : signals) reader->Signal(signalNumber);
            }
        }
        reader->Signal(SIGTERM);
        const int status = reader->Wait(20000);
        ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
        // Nothing but the records after the start-up lines: no handler's message.
        const ConsoleRecords& console = reader->Console();
        EXPECT_EQ(console.RecordsBefore().back(), 0u) << console.OtherLines().back();
        EXPECT_EQ(ConsoleRecords::FirstBreak(console.Numbers(), 0, 1), 6u);
        EXPECT_EQ(ReaderErr(mStarts), "");
        EXPECT_EQ(p->RefCount(), 1);
    }
}

// The reader on a terminal while a writer keeps the queue full: a pager that shares the
// terminal (ReadPLIXTrace | less) sets VMIN=1 and takes the keys, then Ctrl+C or SIGTERM stops
// the run; or Escape does, alone or with a SIGTERM that arrives with it.
TEST_F(ReaderFaultTest, StopsAndKeysOnATerminalUnderLoad) {
    enum Stop { CTRL_C, SIGTERM_ALONE, ESCAPE, ESCAPE_AND_SIGTERM };
    auto p = MakePartition();
    auto writer = StartWriter(100000000);
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2 && p->WriteOffset() != 0; }, 20000));
    uint64_t next = 1;  // the record the next run must print first
    for (const Stop stop : {ESCAPE, ESCAPE_AND_SIGTERM, CTRL_C, SIGTERM_ALONE}) {
        SCOPED_TRACE("stop " + std::to_string(stop));
        ChildProcess::Options onTerminal;
        onTerminal.terminal = onTerminal.readTerminal = true;
        auto reader = StartReader(onTerminal);
        const int master = reader->TerminalFd();
        const std::string slave = ptsname(master);
        ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= 1000; }));
        std::unique_ptr<ChildProcess> pager;
        if (stop == CTRL_C || stop == SIGTERM_ALONE) {
            ChildProcess::Options onSlave;
            onSlave.stdinFd = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
            onSlave.stdoutPath = "/dev/null";
            pager = std::make_unique<ChildProcess>(
                std::vector<std::string>{"/bin/sh", "-c", "stty min 1 && exec cat"},
                (mWork / "pager.err").string(), onSlave);
            close(onSlave.stdinFd);
            for (int key = 0; key < 200; ++key) {
                ASSERT_EQ(write(master, "k", 1), 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const size_t printed = reader->Console().RecordCount();
            ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= printed + 500; }))
                << "the draining stopped";
        }
        const int refBefore = p->RefCount();
        if (stop == ESCAPE_AND_SIGTERM) {
            // Typed while the reader is stopped, the SIGTERM sent before it goes on.
            ASSERT_TRUE(StopChild(reader->Pid()));
            ASSERT_EQ(write(master, "\x1b", 1), 1);
            const int terminal = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
            int queued = 0;
            EXPECT_TRUE(WaitFor([&] { return ioctl(terminal, FIONREAD, &queued) == 0 && queued; }));
            close(terminal);
            reader->Signal(SIGTERM);
            reader->Signal(SIGCONT);
        } else if (stop == SIGTERM_ALONE) {
            reader->Signal(SIGTERM);
        } else {
            ASSERT_EQ(write(master, stop == CTRL_C ? "\x03" : "\x1b", 1), 1);
        }
        // Hang guard; the reference comes back at once (a forced end takes 3 s).
        ASSERT_TRUE(WaitFor([&] { return p->RefCount() == refBefore - 1; }, 20000));
        pager.reset();  // the terminal shows its end once nobody else holds it
        const int status = reader->Wait(20000);
        ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
        const ConsoleRecords& console = reader->Console();
        const std::vector<std::string>& lines = console.OtherLines();
        if (stop == CTRL_C) {
            // Ctrl+C discards the terminal's output in flight: records may be cut there.
            EXPECT_EQ(lines.back(), "CTRL-C pressed");
        } else if (stop == SIGTERM_ALONE) {
            EXPECT_EQ(console.RecordsBefore().back(), 0u) << lines.back();
        } else {
            // The message, and no record after it.
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines[lines.size() - 2], "Trace reader has been canceled");
            EXPECT_EQ(console.RecordsBefore().back(), console.Numbers().size());
            EXPECT_EQ(ConsoleRecords::FirstBreak(console.Numbers(), 0, next), console.Numbers().size());
            EXPECT_EQ(console.MalformedCount(), 0u);
            next += console.Numbers().size();
        }
        // The settings found at the start are back, not the pager's.
        termios settings{};
        ASSERT_EQ(tcgetattr(master, &settings), 0);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    }
}

TEST_F(ReaderFaultTest, TimeoutsInterruptIsOneStopAndItsLineIsAlwaysWritten) {
    // timeout signals the reader, then its own process group: SIGINT comes twice, at start-up
    // or while the reader waits for records.
    auto p = MakePartition();
    ChildProcess::Options toFile;
    toFile.stdoutPath = (mWork / "console.txt").string();
    for (int run = 1; run <= 20; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        auto reader = StartReader(toFile, {"/usr/bin/timeout", "--preserve-status", "-s", "INT", "0.3"});
        const int status = reader->Wait(20000);
        ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
        // The handler's line, once and last.
        const std::string console = ReadFile(mWork / "console.txt");
        EXPECT_EQ(console.find("CTRL-C pressed\n"), console.size() - 15) << console;
        EXPECT_EQ(ReaderErr(mStarts), "");
        EXPECT_EQ(p->RefCount(), 1);
    }
}

TEST_F(ReaderFaultTest, SecondReaderWithAPrivateTmpIsRefusedAndEveryRecordArrivesOnce) {
    const std::string why = NoPrivateTmp();
    if (!why.empty()) GTEST_SKIP() << why << "; the one-reader rule is not shown here";
    // The shipped reader, each in a namespace whose /tmp (and so /tmp/jub_logs, the directory
    // it locks) is a tmpfs of its own: only the partition is shared.
    auto startReader = [this] {
        return std::make_unique<ChildProcess>(
            InPrivateTmp(Program("ReadPLIXTrace")),
            (mWork / ("reader" + std::to_string(++mStarts) + ".err")).string());
    };
    auto p = MakePartition();
    for (uint64_t i = 1; i <= 5; ++i) p->Push(RecordPayload(i));
    auto first = startReader();
    ASSERT_TRUE(WaitFor([&] { return first->Console().RecordCount() == 5; }, 20000))
        << ReaderErr(1);
    auto second = startReader();
    int status = second->Wait(20000);
    EXPECT_TRUE(ExitedWith(status, 1)) << Describe(status);
    EXPECT_EQ(ReaderErr(2),
              "ReadPLIXTrace: partition \"plixtrace\" is held by another reader (one reader per "
              "partition); stop that one first\n");
    EXPECT_EQ(second->Console().RecordCount(), 0u);
    EXPECT_EQ(p->RefCount(), 2) << "the refused reader took a reference";

    for (uint64_t i = 6; i <= 9; ++i) p->Push(RecordPayload(i));
    ASSERT_TRUE(WaitFor([&] { return first->Console().RecordCount() == 9; }, 20000));
    first->Signal(SIGINT);
    status = first->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(first->Console().Numbers(), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(ReaderErr(1), "");
    EXPECT_EQ(p->RefCount(), 1);
}

TEST_F(ReaderFaultTest, SecondWriterIsRefusedAndTheFirstWritersRecordsArriveWhole) {
    constexpr uint64_t records = 20000;
    auto p = MakePartition();
    auto reader = StartReader();
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000)) << "reader did not attach";
    auto first = StartWriter(records, {"--rate", "20000"});
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= 1000; }, LONG_WAIT_MS));
    auto second = StartWriter(100);
    const int secondStart = mStarts;
    int status = second->Wait(20000);
    EXPECT_TRUE(ExitedWith(status, 1)) << Describe(status);
    EXPECT_EQ(WriterErr(secondStart),
              "plixwrite: partition plixtrace has another writer (one writer per queue); stop it "
              "first\n");
    status = first->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= records; }, LONG_WAIT_MS));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // nothing more on its way
    reader->Signal(SIGINT);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    // The first writer's records, each once and in order; the second wrote nothing, kept no
    // reference.
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    ASSERT_EQ(n.size(), records);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), n.size());
    EXPECT_EQ(reader->Console().MalformedCount(), 0u);
    EXPECT_EQ(p->RefCount(), 1);
    EXPECT_EQ(p->ReadOffset(), p->WriteOffset());
}

TEST_F(ReaderFaultTest, PartitionMadeAnewUnderABusyWriterIsFollowedAndTheOldWriterIsTold) {
    auto a = MakePartition();
    auto reader = StartReader();
    const int readerStart = mStarts;
    ASSERT_TRUE(WaitFor([&] { return a->RefCount() == 2; }, 20000)) << "reader did not attach";
    auto old = StartWriter(100000000, {"--rate", "20000"});
    const int oldStart = mStarts;
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= 2000; }, LONG_WAIT_MS));

    // Removed and made anew at once, while the old writer keeps writing into the removed one.
    ASSERT_EQ(rthPartitionRemove("plixtrace"), RTH_OK);
    const auto removed = std::chrono::steady_clock::now();
    ASSERT_EQ(rthPartitionCreate("plixtrace", PARTITION_SIZE), RTH_OK);
    ASSERT_TRUE(WaitFor([&] { return ErrLines(readerStart).size() == 1; }, 20000))
        << "the reader did not move on";
    std::printf("the reader moved on %lld ms after the removal\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - removed)
                                           .count()));
    int status = old->Wait(20000);
    EXPECT_TRUE(ExitedWith(status, 1)) << Describe(status);
    EXPECT_EQ(WriterErr(oldStart),
              "plixwrite: partition plixtrace was removed or replaced; no reader sees what this run "
              "would write into it; ending\n");
    const size_t fromOld = reader->Console().RecordCount();
    // Both gave their references on the removed partition back.
    EXPECT_EQ(a->RefCount(), 1);

    auto fresh = StartWriter(3000);
    status = fresh->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(
        WaitFor([&] { return reader->Console().RecordCount() >= fromOld + 3000; }, LONG_WAIT_MS))
        << ReaderErr(readerStart);
    reader->Signal(SIGINT);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    // The old writer's records up to the move, then the new writer's, each once and in order.
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    ASSERT_EQ(n.size(), fromOld + 3000);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), fromOld);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, fromOld, 1), n.size());
    // The move said once (found replaced, or found missing if the check fell between removal
    // and creation), the new partition once.
    const std::string said = "ReadPLIXTrace: partition \"plixtrace\" ";
    const std::vector<std::string> err = ErrLines(readerStart);
    ASSERT_EQ(err.size(), 2u) << ReaderErr(readerStart);
    EXPECT_TRUE(err[0] == said + "was replaced; waiting for a writer to set it up" ||
                err[0] == said + "was removed; waiting for it to come back")
        << err[0];
    EXPECT_EQ(err[1], said + "is back; reading it");
}

TEST_F(ReaderFaultTest, PartitionTruncatedUnderABusyReaderGetsItsCountBackAndIsReadOnceSetUpAgain) {
    const std::string object = "/dev/shm/" + mPrefix + "plixtrace";
    auto p = MakePartition();
    for (uint64_t i = 1; i <= 7000; ++i) p->Push(RecordPayload(i));
    auto reader = StartReader();
    const int start = mStarts;
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() >= 100; }, 20000));
    // 8 KiB left of 1 MiB: the header stays, the pages beyond fault.
    ASSERT_EQ(truncate(object.c_str(), 8192), 0) << std::strerror(errno);
    ASSERT_TRUE(WaitForErr(start, "shrank under the reader")) << ReaderErr(start);
    // The reference is back in the live header (the test's own mapping still sees its page).
    EXPECT_EQ(p->RefCount(), 1);
    const size_t before = reader->Console().RecordCount();

    // A writer sets the 8 KiB partition up again (the reader refuses its header, and holds
    // nothing while detached): the reader reads it.
    auto writer = StartWriter(50);
    int status = writer->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == before + 50; }, 20000))
        << ReaderErr(start);
    EXPECT_EQ(p->RefCount(), 1);  // the writer gave its reference back, the reader holds one
    reader->Signal(SIGINT);
    status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(p->RefCount(), 0);

    const std::string said = "ReadPLIXTrace: partition \"plixtrace\" ";
    EXPECT_EQ(ErrLines(start),
              (std::vector<std::string>{said + "shrank under the reader; waiting for it to come back",
                                        said + "is back; reading it"}));
    const std::vector<uint64_t>& n = reader->Console().Numbers();
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, 0, 1), before);
    EXPECT_EQ(ConsoleRecords::FirstBreak(n, before, 1), n.size());
    EXPECT_EQ(reader->Console().MalformedCount(), 0u);
}

TEST_F(ReaderFaultTest, TraceLogFileRemovedMidRunIsFollowedByANewFileAndSaidOnce) {
    auto p = MakePartition();
    auto reader = StartReader();
    const int start = mStarts;
    ASSERT_TRUE(WaitFor([&] { return p->RefCount() == 2; }, 20000)) << "reader did not attach";
    for (uint64_t i = 1; i <= 3; ++i) p->Push(RecordPayload(i));
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 3; }, 20000));
    const fs::path first = mLogDir / "plix_00.log";
    ASSERT_TRUE(fs::exists(first));
    fs::remove(first);
    ASSERT_TRUE(WaitForErr(start, "was removed")) << ReaderErr(start);
    for (uint64_t i = 4; i <= 6; ++i) p->Push(RecordPayload(i));
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 6; }, 20000));
    reader->Signal(SIGINT);
    const int status = reader->Wait(20000);
    ASSERT_TRUE(ExitedWith(status, 0)) << Describe(status);

    EXPECT_EQ(ErrLines(start), std::vector<std::string>{"ReadPLIXTrace: trace log file \"" +
                                                        first.string() +
                                                        "\" was removed; the next lines go to a "
                                                        "new file"});
    // The later records are in a file one can see, lines 4 to 6.
    const std::vector<LogLine> lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].id, i + 4);
        EXPECT_EQ(RecordNumberOf(lines[i].text), i + 4) << lines[i].text;
    }
    EXPECT_TRUE(fs::exists(mLogDir / "plix_01.log"));
}

}  // namespace
