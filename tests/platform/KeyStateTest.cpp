// The Escape key through a real pseudo-terminal: escape_probe runs with the terminal's slave as
// its standard input and output, the test types on the master side while the probe is stopped
// and steps the probe's key-state calls one by one through a control pipe, so no case depends on
// timing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "tests/support/TestWaiting.h"

namespace {

// Hang guard for every wait on the probe, not a timing requirement.
constexpr auto PROBE_DEADLINE = std::chrono::seconds(10);

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// One escape_probe process. Its standard input and output are either a pseudo-terminal (then
// it is a session leader with that terminal as its controlling one, in the foreground) or two
// pipes.
class Probe {
public:
    // Starts the probe on a fresh pseudo-terminal; passSignals installs a declining console
    // control handler in it.
    void StartOnTerminal(bool passSignals) {
        mMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(mMaster, 0);
        ASSERT_EQ(grantpt(mMaster), 0);
        ASSERT_EQ(unlockpt(mMaster), 0);
        const char* slaveName = ptsname(mMaster);
        ASSERT_NE(slaveName, nullptr);
        // Held open by the test so that the terminal, and its settings, outlive the probe.
        mSlave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(mSlave, 0);
        ASSERT_EQ(tcgetattr(mSlave, &mOriginal), 0);
        Spawn(mSlave, mSlave, passSignals);
        mOutput = mMaster;
        fcntl(mOutput, F_SETFL, O_NONBLOCK);
    }

    // Starts the probe reading a pipe that already holds input.
    void StartOnPipe(const std::string& input) {
        int in[2];
        int out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        ASSERT_EQ(write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        Spawn(in[0], out[1], false);
        mInputPipe = in[0];  // kept to see afterwards what the probe left in it
        close(in[1]);
        close(out[1]);
        mOutput = out[0];
        fcntl(mOutput, F_SETFL, O_NONBLOCK);
    }

    ~Probe() {
        if (mPid > 0) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
        }
        if (mOutput != mMaster) {
            close(mOutput);
        }
        for (int fd : {mMaster, mSlave, mControl, mInputPipe}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    // The next line of the probe's output without its line end, or "<no line>".
    std::string ReadLine() {
        const auto deadline = std::chrono::steady_clock::now() + PROBE_DEADLINE;
        std::string line;
        while (std::chrono::steady_clock::now() < deadline) {
            char c = 0;
            const ssize_t got = read(mOutput, &c, 1);
            if (got == 1 && c == '\n') {
                return line;
            }
            if (got == 1 && c != '\r') {
                line += c;
            } else if (got < 0 && errno == EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } else if (got <= 0) {
                break;
            }
        }
        return "<no line>";
    }

    // Types keys on the terminal while the probe is stopped and waits until they are in its
    // input queue: the probe's watch takes them all at once when it goes on.
    void Type(const std::string& keys) {
        ASSERT_TRUE(PlixTest::StopChild(mPid));
        ASSERT_EQ(write(mMaster, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        const auto deadline = std::chrono::steady_clock::now() + PROBE_DEADLINE;
        int queued = 0;
        while (ioctl(mSlave, FIONREAD, &queued) == 0 && queued < static_cast<int>(keys.size()) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kill(mPid, SIGCONT);
        ASSERT_EQ(queued, static_cast<int>(keys.size())) << "keys never reached the probe";
    }

    // Has the probe make one key-state call; "ESC" or "none".
    std::string Step() {
        Command('s');
        return ReadLine();
    }

    void Command(char command) { EXPECT_EQ(write(mControl, &command, 1), 1); }

    // Waits for the probe to end and gives its wait status, or -1.
    int Wait() {
        const auto deadline = std::chrono::steady_clock::now() + PROBE_DEADLINE;
        int status = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(mPid, &status, WNOHANG) == mPid) {
                mPid = -1;
                return status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return -1;
    }

    termios Settings() const {
        termios now{};
        EXPECT_EQ(tcgetattr(mSlave, &now), 0);
        return now;
    }

    const termios& Original() const { return mOriginal; }
    int Master() const { return mMaster; }
    int InputPipe() const { return mInputPipe; }

private:
    void Spawn(int input, int output, bool passSignals) {
        int control[2];
        ASSERT_EQ(pipe2(control, O_CLOEXEC), 0);
        const char* argv[] = {ESCAPE_PROBE_PATH, "3", passSignals ? "pass-signals" : nullptr,
                              nullptr};
        signal(SIGPIPE, SIG_IGN);  // a probe that died early must fail the test, not kill it
        mPid = fork();
        ASSERT_GE(mPid, 0);
        if (mPid == 0) {
            signal(SIGPIPE, SIG_DFL);
            setsid();
            if (isatty(input) == 1) {
                ioctl(input, TIOCSCTTY, 0);
            }
            dup2(input, 0);
            dup2(output, 1);
            dup2(output, 2);
            dup2(control[0], 3);
            if (control[0] == 3) {
                fcntl(3, F_SETFD, 0);
            }
            execv(argv[0], const_cast<char**>(argv));
            _exit(127);
        }
        close(control[0]);
        mControl = control[1];
    }

    pid_t mPid = -1;
    int mMaster = -1;
    int mSlave = -1;
    int mControl = -1;
    int mOutput = -1;
    int mInputPipe = -1;
    termios mOriginal{};
};

TEST(KeyStateTest, LoneEscapeIsSeenKeySequencesAreNot) {
    Probe probe;
    ASSERT_NO_FATAL_FAILURE(probe.StartOnTerminal(false));
    ASSERT_EQ(probe.ReadLine(), "READY");
    const termios watching = probe.Settings();
    EXPECT_EQ(watching.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ISIG));
    EXPECT_EQ(watching.c_cc[VMIN], 0);
    EXPECT_EQ(watching.c_cc[VTIME], 0);

    struct Case {
        const char* keys;
        const char* seen;
    };
    // With echo off, no typed byte shows up in the probe's answers.
    const Case cases[] = {
        {"", "none"},           {"\x1b", "ESC"},    {"", "none"},  // a press counts once
        {"\x1b[A", "none"},                                        // arrow up
        {"\x1bOP", "none"},                                        // F1
        {"\x1b[1;5C", "none"},                                     // Ctrl+Right
        {"\x1b[15~", "none"},                                      // F5
        {"\x1bx", "none"},                                         // Alt+x
        {"\x1b\x1b[A", "none"},                                    // Alt+Up
        {"hello\r", "none"},    {"abc\x1b", "ESC"},                // a lone ESC after other keys
        {"\x1b[B\x1b", "ESC"},                                     // ... and after a sequence
        {"\x1b\x1b", "ESC"},                                       // Escape twice, or Alt+Escape
        {"\x1b[", "none"},  // a sequence cut short is not Escape either
        {"\x1b", "ESC"},    // and does not swallow the next press
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(probe.Type(c.keys));
        EXPECT_EQ(probe.Step(), c.seen)
            << "keys \"" << testing::PrintToString(std::string(c.keys)) << "\"";
    }

    probe.Command('r');
    const int status = probe.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(KeyStateTest, TerminalSettingsComeBackOnEveryWayOut) {
    struct WayOut {
        const char* name;
        bool passSignals;
        char command;      // sent on the control pipe, or 0
        const char* keys;  // typed on the terminal, or ""
        bool (*ended)(int status);
    };
    const WayOut ways[] = {
        {"return from main", false, 'r', "",
         [](int s) { return WIFEXITED(s) && WEXITSTATUS(s) == 0; }},
        {"exit()", false, 'e', "", [](int s) { return WIFEXITED(s) && WEXITSTATUS(s) == 7; }},
        // Ctrl+C typed on the terminal: ISIG is still on, the handler declines, SIGINT kills.
        {"declined Ctrl+C", true, 0, "\x03",
         [](int s) { return WIFSIGNALED(s) && WTERMSIG(s) == SIGINT; }},
    };
    for (const WayOut& way : ways) {
        SCOPED_TRACE(way.name);
        Probe probe;
        ASSERT_NO_FATAL_FAILURE(probe.StartOnTerminal(way.passSignals));
        ASSERT_EQ(probe.ReadLine(), "READY");
        ASSERT_FALSE(SameSettings(probe.Settings(), probe.Original()));
        if (way.command != 0) {
            probe.Command(way.command);
        } else {
            ASSERT_EQ(write(probe.Master(), way.keys, std::strlen(way.keys)),
                      static_cast<ssize_t>(std::strlen(way.keys)));
        }
        const int status = probe.Wait();
        EXPECT_TRUE(status != -1 && way.ended(status)) << "status " << status;
        const termios after = probe.Settings();
        EXPECT_TRUE(SameSettings(after, probe.Original()));
        EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    }
}

TEST(KeyStateTest, StandardInputThatIsNoTerminalIsNeverRead) {
    Probe probe;
    ASSERT_NO_FATAL_FAILURE(probe.StartOnPipe("\x1b"));
    ASSERT_EQ(probe.ReadLine(), "READY");
    EXPECT_EQ(probe.Step(), "none");
    EXPECT_EQ(probe.Step(), "none");
    probe.Command('r');
    const int status = probe.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

    fcntl(probe.InputPipe(), F_SETFL, O_NONBLOCK);
    char left[4] = {};
    EXPECT_EQ(read(probe.InputPipe(), left, sizeof left), 1);
    EXPECT_EQ(left[0], '\x1b');
}

}  // namespace
