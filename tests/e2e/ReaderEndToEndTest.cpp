// The reader from the outside: the real main routine in a child process, with an injected
// trace directory and partition prefix, fed from a partition laid out by hand. Console bytes,
// log lines, exit codes, signals, the Escape key through a pseudo-terminal, and hostile input.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/HandPartition.h"
#include "tests/e2e/IsolatedRunTest.h"
#include "tests/support/TestWaiting.h"

namespace fs = std::filesystem;
using PlixTest::ChildProcess;
using PlixTest::HandPartition;

namespace {

using PlixTest::ReadFile;
using PlixTest::WaitFor;

const std::string kBanner = "=============== ReadPLIXTrace ===============\n\n";

class ReaderEndToEndTest : public PlixTest::IsolatedRunTest {
protected:
    ReaderEndToEndTest() : IsolatedRunTest("plixe2e") {}

    void TearDown() override {
        mChild.reset();
        IsolatedRunTest::TearDown();
    }

    // Starts the reader with stdout and stderr in files; with a terminal when pty is true
    // (then both go to the terminal, read through mMaster).
    void Start(bool pty = false, bool failHandler = false) {
        std::vector<std::string> args = {mReader, mLogDir.string()};
        if (failHandler) args.push_back("--fail-handler");
        ChildProcess::Options options;
        options.terminal = pty;
        options.stdoutPath = (mWork / "stdout").string();
        mChild = std::make_unique<ChildProcess>(args, (mWork / "stderr").string(), options);
        mPid = mChild->Pid();
        mMaster = mChild->TerminalFd();
        ASSERT_GE(mPid, 0);
    }

    // Waits for the child's end and returns its wait status (-1 and a failure when it did not
    // end in time; it is then killed).
    int Wait(int timeoutMs = 20000) {
        const int status = mChild->Wait(timeoutMs);
        mPid = -1;
        return status;
    }

    std::string Stdout() const { return ReadFile(mWork / "stdout"); }
    std::string Stderr() const { return ReadFile(mWork / "stderr"); }
    std::string Listing() const { return "\"" + mLogDir.string() + "\" contains:\n\n"; }

    // Reads what the terminal shows until it contains text.
    bool PtyShows(const std::string& text, std::string* screen) {
        return WaitFor([&] {
            char buf[4096];
            for (;;) {
                pollfd p{mMaster, POLLIN, 0};
                if (poll(&p, 1, 0) <= 0) break;
                ssize_t n = read(mMaster, buf, sizeof buf);
                if (n <= 0) break;
                screen->append(buf, static_cast<size_t>(n));
            }
            return screen->find(text) != std::string::npos;
        });
    }

    // Lines of the trace log files, oldest file first.
    std::vector<std::string> LogLines() const {
        std::vector<fs::path> files;
        for (auto& e : fs::directory_iterator(mLogDir)) files.push_back(e.path());
        std::sort(files.begin(), files.end());
        std::vector<std::string> lines;
        for (auto& f : files) {
            std::istringstream in(ReadFile(f));
            for (std::string l; std::getline(in, l);) lines.push_back(l);
        }
        return lines;
    }

    std::unique_ptr<ChildProcess> mChild;
    pid_t mPid = -1;     // the running reader's, for signals and /proc
    int mMaster = -1;    // the test's side of the reader's terminal
};

// A log line "N: <YYYY-mm-dd HH:MM:SS> text".
void ExpectLogLine(const std::string& line, unsigned number, const std::string& text) {
    static const std::regex stamp(R"(([0-9]+): <[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}> ([^]*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stamp)) << line;
    EXPECT_EQ(std::stoul(m[1]), number);
    EXPECT_EQ(m[2].str(), text);
}

TEST_F(ReaderEndToEndTest, FailedStartsExitWithOneAndSayWhy) {
    // No partition at all: banner, nothing listed (no directory yet), a reason on stderr.
    Start();
    int status = Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Stdout(), kBanner);
    EXPECT_EQ(Stderr(), "ReadPLIXTrace: partition \"plixtrace\" does not exist\n");
    EXPECT_TRUE(fs::is_directory(mLogDir));  // the sink made it
    EXPECT_TRUE(fs::is_empty(mLogDir));      // but no file: nothing was logged

    {
        // Never initialised: all zero.
        HandPartition p("plixtrace", 4096);
        Start();
        status = Wait();
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(Stdout(), kBanner + Listing());
        EXPECT_NE(Stderr().find("partition \"plixtrace\" could not be opened"), std::string::npos)
            << Stderr();

        // Initialised, but nobody set up the queue: refused, the count stays raised.
        p.WriteHeader(77, 1);
        p.WriteQueue(0);
        Start();
        status = Wait();
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(Stderr(), "ReadPLIXTrace: partition \"plixtrace\" holds no queue that a writer has set up\n");
        EXPECT_EQ(p.AttachCount(), 1);
        EXPECT_EQ(p.RefCount(), 1);  // the reader's reference was given back

        // A header claiming more than the partition holds is refused, not trusted.
        p.WriteHeader(77, 1);
        p.Put32(32, 1u << 20);
        uint8_t sum = 0;
        p.Base()[48] = 0;
        for (int i = 0; i < 48; ++i) sum = static_cast<uint8_t>(sum + p.Base()[i]);
        p.Base()[48] = static_cast<uint8_t>(0u - sum);
        Start();
        status = Wait();
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_NE(Stderr().find("could not be opened"), std::string::npos);

        // initTime 0 with a valid checksum is an impossible state: the fatal assertion.
        p.WriteHeader(0, 1);
        p.WriteQueue(1);
        Start();
        status = Wait();
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 254);
        EXPECT_EQ(Stdout(), kBanner + Listing());
        // One line that names the program and the failed check, though the logger is off.
        EXPECT_TRUE(std::regex_match(
            Stderr(), std::regex(fs::path(mReader).filename().string() +
                                 R"(: fatal: ZUL_ASSERT failed \[false\] in )"
                                 R"(ZulOsCom::VShmHeader::AddRefGetInitTime, line [0-9]+\n)")))
            << Stderr();
    }
}

TEST_F(ReaderEndToEndTest, RecordsArePrintedAsTheyCameAndFirstLinesLogged) {
    HandPartition p("plixtrace", 65536);
    p.WriteHeader(0x1234567890ULL, 1);
    p.WriteQueue(1);
    fs::create_directories(mLogDir);

    std::string exact4096(4096, 'x');
    exact4096[4095] = 'Y';  // the last byte, which a NUL-terminating reader would drop
    std::string noNul4095(4095, 'z');
    std::string long5000 = std::string(4998, 'L') + "\n";
    long5000.push_back('\0');
    std::vector<std::string> records = {
        std::string("abc\ndef\n\0", 9),
        std::string("\0hidden", 7),
        std::string("\0", 1),
        std::string("crlf\r\nsecond\n\0", 14),
        std::string(),  // zero-length element
        exact4096,
        noNul4095,
        long5000,
        std::string("tail\0", 5),
    };
    for (const auto& r : records) p.Push(r);

    Start();
    ASSERT_TRUE(WaitFor([&] { return p.ReadOffset() == p.WriteOffset(); }));
    ASSERT_TRUE(WaitFor([&] { return Stdout().find("tail") != std::string::npos; }));
    EXPECT_EQ(p.RefCount(), 2);
    EXPECT_EQ(p.AttachCount(), 2);
    kill(mPid, SIGINT);
    int status = Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::string expected = kBanner + Listing() + "abc\ndef\n" + "crlf\r\nsecond\n" + exact4096 +
                           noNul4095 + long5000.substr(0, 4999) + "tail" + "CTRL-C pressed\n";
    EXPECT_EQ(Stdout(), expected);
    EXPECT_EQ(Stderr(), "");
    EXPECT_EQ(p.RefCount(), 1);  // released at the end
    EXPECT_EQ(p.AttachCount(), 2);  // never decremented

    std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 6u);
    ExpectLogLine(lines[0], 1, "abc");
    ExpectLogLine(lines[1], 2, "crlf\r");
    ExpectLogLine(lines[2], 3, exact4096);
    ExpectLogLine(lines[3], 4, noNul4095);
    ExpectLogLine(lines[4], 5, std::string(4998, 'L'));
    ExpectLogLine(lines[5], 6, "tail");
    EXPECT_TRUE(fs::exists(mLogDir / "plix_00.log"));
}

TEST_F(ReaderEndToEndTest, ConsoleEventsEndTheRunAsTheHandlerSays) {
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);

    Start();
    ASSERT_TRUE(WaitFor([&] { return p.RefCount() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // handler installed after attach
    kill(mPid, SIGHUP);
    int status = Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Stdout(), kBanner + "windows is closed\n");
    EXPECT_EQ(p.RefCount(), 1);

    // SIGTERM (a service stop, kill, timeout) ends the run in order without a message.
    Start();
    ASSERT_TRUE(WaitFor([&] { return p.RefCount() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(mPid, SIGTERM);
    status = Wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Stdout(), kBanner + "\"" + mLogDir.string() + "\" contains:\n\n");
    EXPECT_EQ(p.RefCount(), 1);

    // Ctrl+Break is not the program's: the default action ends it.
    Start();
    ASSERT_TRUE(WaitFor([&] { return p.RefCount() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(mPid, SIGQUIT);
    status = Wait();
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGQUIT);
}

TEST_F(ReaderEndToEndTest, EscapeCancelsButAnArrowKeyDoesNot) {
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);
    p.Push(std::string("hello\n\0", 7));

    Start(/*pty=*/true);
    std::string screen;
    ASSERT_TRUE(PtyShows("hello", &screen)) << screen;
    ASSERT_EQ(write(mMaster, "\x1b[A", 3), 3);  // arrow up
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    int status = 0;
    EXPECT_EQ(waitpid(mPid, &status, WNOHANG), 0) << "an arrow key ended the reader";

    ASSERT_EQ(write(mMaster, "\x1b", 1), 1);
    ASSERT_TRUE(PtyShows("Trace reader has been canceled", &screen)) << screen;
    status = Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(p.RefCount(), 1);

    // The terminal is back in canonical mode with echo.
    termios t{};
    ASSERT_EQ(tcgetattr(mMaster, &t), 0);
    EXPECT_NE(t.c_lflag & ICANON, 0u);
    EXPECT_NE(t.c_lflag & ECHO, 0u);
}

TEST_F(ReaderEndToEndTest, CleanupListsAndPrunesAndNumberingContinues) {
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);
    fs::create_directories(mLogDir);
    // Twelve trace log files, plix_00 the oldest; one other file that is left alone.
    auto now = fs::file_time_type::clock::now();
    for (int i = 0; i < 12; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "plix_%02d.log", i);
        std::ofstream(mLogDir / name) << "old " << i << "\n";
        fs::last_write_time(mLogDir / name, now - std::chrono::hours(100 - i));
    }
    std::ofstream(mLogDir / "notes.txt") << "keep\n";
    p.Push(std::string("first of this run\n\0", 19));

    Start();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(mLogDir / "plix_12.log"); }));
    ASSERT_TRUE(WaitFor([&] { return Stdout().find("first of this run") != std::string::npos; }));
    kill(mPid, SIGINT);
    EXPECT_EQ(WEXITSTATUS(Wait()), 0);

    std::string listing = Listing();
    for (int i = 11; i >= 0; --i) {
        char name[32];
        std::snprintf(name, sizeof name, "plix_%02d.log", i);
        listing += (mLogDir / name).string() + (i < 2 ? " will be removed!\n" : "\n");
    }
    EXPECT_EQ(Stdout(), kBanner + listing + "first of this run\nCTRL-C pressed\n");
    EXPECT_FALSE(fs::exists(mLogDir / "plix_00.log"));
    EXPECT_FALSE(fs::exists(mLogDir / "plix_01.log"));
    EXPECT_TRUE(fs::exists(mLogDir / "plix_02.log"));
    EXPECT_TRUE(fs::exists(mLogDir / "notes.txt"));
    std::string log = ReadFile(mLogDir / "plix_12.log");
    ExpectLogLine(log.substr(0, log.size() - 1), 1, "first of this run");
}

TEST_F(ReaderEndToEndTest, HostileQueueIsPolledWithoutSpinning) {
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);
    p.Push(std::string("never read\n\0", 12));
    p.Put32(64 + 12, 1u << 30);  // capacity far beyond the partition

    Start();
    ASSERT_TRUE(WaitFor([&] { return p.RefCount() == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // CPU time of the child so far, in clock ticks: an idle poller uses next to nothing.
    std::istringstream stat(ReadFile("/proc/" + std::to_string(mPid) + "/stat"));
    std::string field;
    std::vector<std::string> fields;
    while (stat >> field) fields.push_back(field);
    ASSERT_GT(fields.size(), 15u);
    long ticks = std::stol(fields[13]) + std::stol(fields[14]);
    EXPECT_LT(ticks, sysconf(_SC_CLK_TCK) / 2) << "the reader spins on an invalid queue";
    kill(mPid, SIGINT);
    EXPECT_EQ(WEXITSTATUS(Wait()), 0);
    EXPECT_EQ(Stdout(), kBanner + "CTRL-C pressed\n");
    EXPECT_EQ(p.ReadOffset(), 0u);  // nothing read
}

TEST_F(ReaderEndToEndTest, UnwritableTraceLogEndsWithOneAndReleasesThePartition) {
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);
    p.Push(std::string("cannot be logged\n\0", 18));
    fs::create_directories(mLogDir / "plix_00.log");  // the first log file cannot be opened

    Start();
    int status = Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string err = Stderr();
    EXPECT_EQ(err.rfind("ReadPLIXTrace: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(p.RefCount(), 1);

    // A trace directory that cannot be made: a regular file stands in its way.
    fs::remove_all(mLogDir);
    std::ofstream(mLogDir) << "not a directory";
    Start();
    status = Wait();
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Stdout(), kBanner);
    EXPECT_EQ(Stderr().rfind("ReadPLIXTrace: ", 0), 0u) << Stderr();
    EXPECT_EQ(p.RefCount(), 1);
}

TEST_F(ReaderEndToEndTest, HandlerThatCannotBeInstalledEndsWithOne) {
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);
    Start(/*pty=*/false, /*failHandler=*/true);
    int status = Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(Stdout(), kBanner + "Error: Control handler could not be set!\n\n");
    EXPECT_EQ(p.RefCount(), 1);

    // A stop during the 5-second pause that follows ends the pause (the exit code stays 1) and
    // gives the reference back; nothing is printed for it, since no handler is there.
    for (int sig : {SIGINT, SIGTERM}) {
        Start(/*pty=*/false, /*failHandler=*/true);
        ASSERT_TRUE(WaitFor([&] { return p.RefCount() == 2; }));  // this run's stdout from here
        ASSERT_TRUE(WaitFor([&] { return Stdout().find("could not be set") != std::string::npos; }));
        const auto sent = std::chrono::steady_clock::now();
        kill(mPid, sig);
        status = Wait();
        const auto took = std::chrono::steady_clock::now() - sent;
        ASSERT_TRUE(WIFEXITED(status)) << sig;
        EXPECT_EQ(WEXITSTATUS(status), 1);
        EXPECT_EQ(p.RefCount(), 1);
        // Not a timing requirement: a pause that ignored the stop would take the full 5 s.
        EXPECT_LT(took, std::chrono::milliseconds(4500)) << "the stop did not end the pause";
    }
}

// Shared-memory objects under the case's prefix (the partition, a wake-up object beside it).
std::vector<std::string> ShmObjectsWith(const std::string& prefix) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator("/dev/shm")) {
        const std::string name = e.path().filename().string();
        if (name.find(prefix) != std::string::npos) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ReaderEndToEndTest, HelpVersionAndOtherArgumentsEndBeforeAnythingIsTouched) {
    // A queue the reader would attach to and drain, one record waiting in it.
    HandPartition p("plixtrace", 4096);
    p.WriteHeader(5, 1);
    p.WriteQueue(1);
    p.Push(std::string("waiting\n") + '\0');
    const uint32_t readOffset = p.ReadOffset();
    const std::vector<std::string> objects = ShmObjectsWith(mPrefix);
    ASSERT_EQ(objects, std::vector<std::string>{mPrefix + "plixtrace"});

    const std::string usage = "Usage: ReadPLIXTrace [--help | --version]\n";
    const std::string version = std::string("ReadPLIXTrace ") + PLIX_VERSION + "\n";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string out;  // exactly, or the start of the help for the usage line
        std::string err;
    } cases[] = {
        {{"--help"}, 0, usage, ""},
        {{"-h"}, 0, usage, ""},
        {{"--version"}, 0, version, ""},
        {{"--vers"}, 0, version, ""},
        {{"--frobnicate"}, 2, "", "ReadPLIXTrace: unrecognized option '--frobnicate'\n" + usage},
        {{"--help=now"}, 2, "", "ReadPLIXTrace: option '--help' doesn't allow an argument\n" + usage},
        {{"-x"}, 2, "", "ReadPLIXTrace: invalid option -- 'x'\n" + usage},
        {{"plixtrace"}, 2, "", "ReadPLIXTrace: unexpected argument 'plixtrace'\n" + usage},
        {{"--help", "more"}, 2, "", "ReadPLIXTrace: unexpected argument 'more'\n" + usage},
        {{"--", "--help"}, 2, "", "ReadPLIXTrace: unexpected argument '--help'\n" + usage},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += "'" + a + "' ";
        SCOPED_TRACE(shown);
        std::vector<std::string> argv = {mReader, mLogDir.string()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ChildProcess::Options options;
        options.stdoutPath = (mWork / "stdout").string();
        mChild = std::make_unique<ChildProcess>(argv, (mWork / "stderr").string(), options);
        const int status = Wait();
        EXPECT_TRUE(PlixTest::ExitedWith(status, c.exitCode)) << PlixTest::Describe(status);
        if (c.out == usage) {
            EXPECT_EQ(Stdout().rfind(usage, 0), 0u) << Stdout();
        } else {
            EXPECT_EQ(Stdout(), c.out);
        }
        EXPECT_EQ(Stderr(), c.err);
        // Nothing touched: no log directory, no reference, no attach, nothing read, no wake-up
        // object.
        EXPECT_FALSE(fs::exists(mLogDir));
        EXPECT_EQ(p.RefCount(), 1);
        EXPECT_EQ(p.AttachCount(), 1);
        EXPECT_EQ(p.ReadOffset(), readOffset);
        EXPECT_EQ(ShmObjectsWith(mPrefix), objects);
    }

    // The shipped program the same way, in a /tmp of its own where its log directory would be
    // made: 99 when it was.
    const std::string why = PlixTest::NoPrivateTmp();
    if (!why.empty()) {
        GTEST_SKIP() << why << "; the shipped program's arguments are not shown here";
    }
    for (const std::string arg : {"--help", "--version", "--frobnicate"}) {
        SCOPED_TRACE(arg);
        ChildProcess::Options options;
        options.stdoutPath = (mWork / "stdout").string();
        mChild = std::make_unique<ChildProcess>(
            PlixTest::InPrivateTmp(Program("ReadPLIXTrace"), {arg},
                                   "[ -e /tmp/jub_logs ] && s=99; exit $s"),
            (mWork / "stderr").string(), options);
        const int status = Wait();
        EXPECT_TRUE(PlixTest::ExitedWith(status, arg == "--frobnicate" ? 2 : 0))
            << PlixTest::Describe(status) << Stderr();
        if (arg == "--frobnicate") {
            EXPECT_EQ(Stderr(), "ReadPLIXTrace: unrecognized option '--frobnicate'\n" + usage);
        } else {
            EXPECT_EQ(Stdout().rfind(arg == "--version" ? version : usage, 0), 0u) << Stdout();
        }
        EXPECT_EQ(p.RefCount(), 1);
        EXPECT_EQ(p.ReadOffset(), readOffset);
    }
}

}  // namespace
