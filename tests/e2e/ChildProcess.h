// ChildProcess: one program run as a child process for the end-to-end tests, with its
// standard output read through a pipe into a ConsoleRecords (as it comes, so that a test can
// act on progress), or kept in a file, or on a pseudo-terminal; its standard error is kept in
// a file. Standard input is /dev/null, a descriptor given, or the terminal; the control signals
// (SIGINT, SIGQUIT, SIGHUP, SIGTERM) start at their default actions, unblocked.
//
// Used from one test thread; the object reads the pipe on a thread of its own, which ends at
// the child's end of the pipe. The destructor kills (SIGKILL) and reaps a child still running.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/ConsoleRecords.h"

namespace PlixTest {

class ChildProcess {
public:
    struct Options {
        // RLIMIT_FSIZE for the child, 0 for none; SIGXFSZ is then ignored in the child, so a
        // write beyond the limit fails with EFBIG instead of ending the process.
        uint64_t fileSizeLimit = 0;
        // false: the standard output pipe is kept open but never read, so that the child
        // blocks in write once the pipe is full (a console nobody reads). Closed when the child
        // has been reaped.
        bool readOutput = true;
        // Non-zero: the pipe is read up to this many bytes and then closed, as a console reader
        // that goes away; the child's next write fails with EPIPE (or raises SIGPIPE).
        size_t closeOutputAfter = 0;
        // Non-empty: standard output goes to this file (created or truncated) instead of the
        // pipe, and Console() stays empty.
        std::string stdoutPath;
        // true: standard input, output and error are a new pseudo-terminal, the child's
        // controlling terminal, whose other side TerminalFd() gives; stderrPath and the output
        // options are then not used, and Console() stays empty unless readTerminal is set.
        bool terminal = false;
        // With terminal: what the terminal shows is read into Console() as it comes (its line
        // ends taken as line feeds), so the test must not read TerminalFd() itself. The reading
        // ends when no process holds the terminal any more.
        bool readTerminal = false;
        // Not -1: standard input is this descriptor (the caller's to close) instead of
        // /dev/null. It should be close-on-exec, so that the child holds only its copy.
        int stdinFd = -1;
    };

    // Starts argv[0] with argv; stderr goes to stderrPath. A child that cannot exec ends 127.
    ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath,
                 const Options& options);
    ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath)
        : ChildProcess(argv, stderrPath, Options()) {}
    ~ChildProcess();

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return mPid; }
    bool Running() const { return mPid > 0; }

    // Sends signal to the child (nothing when it has been reaped).
    void Signal(int signal);

    // Waits up to timeoutMs for the child's end and returns its wait status; -1 when it did
    // not end in time (it is then killed and reaped, and the test is failed). Also waits for
    // the end of its standard output.
    int Wait(int timeoutMs);

    // The test's side of the child's terminal (Options::terminal), -1 without one. Closed by
    // the destructor.
    int TerminalFd() const { return mTerminalFd; }

    // The child's standard output so far (complete after Wait).
    const ConsoleRecords& Console() const { return *mConsole; }

    // CPU time (user + system) the running child has used, in clock ticks; -1 when unknown.
    long CpuTicks() const;
    // Resident set size of the running child in KiB; -1 when unknown.
    long RssKiB() const;

private:
    void ReadOutput(int fd, size_t closeAfter, bool terminal);

    pid_t mPid = -1;
    std::unique_ptr<ConsoleRecords> mConsole;
    std::thread mOutputThread;
    int mUnreadFd = -1;  // the pipe's read end when the output is not read
    int mTerminalFd = -1;
};

// Whether wait status (-1: no end) is a normal exit with code.
bool ExitedWith(int status, int code);

// A wait status in words, for failure messages: "exit 1", "signal Killed", "no end".
std::string Describe(int status);

}  // namespace PlixTest
