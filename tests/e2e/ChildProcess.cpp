// ChildProcess: fork and exec with a piped standard output (or a file, or a pseudo-terminal),
// a size limit on files, waiting with a time limit, and the child's CPU time and resident size
// from /proc.
#include "tests/e2e/ChildProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace PlixTest {

namespace {

// The fields of /proc/PID/stat after the command (which may hold blanks), numbered from 3.
std::vector<std::string> StatFields(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = all.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream rest(all.substr(close + 1));
    for (std::string field; rest >> field;) {
        fields.push_back(field);
    }
    return fields;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& stderrPath,
                           const Options& options)
    : mConsole(std::make_unique<ConsoleRecords>()) {
    // The pipe only when the output is read through it.
    const bool piped = !options.terminal && options.stdoutPath.empty();
    int pipeFds[2] = {-1, -1};
    if (piped && pipe2(pipeFds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed";
        return;
    }
    // Everything the child needs is made before fork: it only makes system calls then.
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};

    // The control signals are blocked across fork, so that one sent to the child before it
    // has set them to their defaults stays pending instead of finding this process's
    // disposition (a background job of a script ignores SIGINT and SIGQUIT).
    sigset_t control;
    sigemptyset(&control);
    for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        sigaddset(&control, signalNumber);
    }
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &control, &previous);
    mPid = options.terminal ? forkpty(&mTerminalFd, nullptr, nullptr, nullptr) : fork();
    if (mPid == 0) {
        if (!options.terminal) {
            int in = options.stdinFd >= 0 ? options.stdinFd : open("/dev/null", O_RDONLY);
            int out = piped ? pipeFds[1]
                            : open(options.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
        }
        // As an interactive shell starts a program: the control signals at their default
        // actions and unblocked.
        for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
            signal(signalNumber, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (options.fileSizeLimit != 0) {
            signal(SIGXFSZ, SIG_IGN);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (mPid < 0) {
        ADD_FAILURE() << "fork failed";
        if (piped) {
            close(pipeFds[0]);
            close(pipeFds[1]);
        }
        return;
    }
    if (options.terminal && options.readTerminal) {
        mOutputThread = std::thread(
            [this, fd = fcntl(mTerminalFd, F_DUPFD_CLOEXEC, 0)] { ReadOutput(fd, 0, true); });
        return;
    }
    if (!piped) {
        mConsole->Finish();
        return;
    }
    close(pipeFds[1]);
    if (!options.readOutput) {
        mUnreadFd = pipeFds[0];
        return;
    }
    mOutputThread = std::thread([this, fd = pipeFds[0], after = options.closeOutputAfter] {
        ReadOutput(fd, after, false);
    });
}

ChildProcess::~ChildProcess() {
    if (mPid > 0) {
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
    }
    if (mOutputThread.joinable()) {
        mOutputThread.join();
    }
    if (mUnreadFd >= 0) {
        close(mUnreadFd);
    }
    if (mTerminalFd >= 0) {
        close(mTerminalFd);
    }
}

void ChildProcess::ReadOutput(int fd, size_t closeAfter, bool terminal) {
    char buffer[65536];
    size_t total = 0;
    for (;;) {
        size_t want = sizeof buffer;
        if (closeAfter != 0) {
            if (total >= closeAfter) {
                break;
            }
            want = std::min(want, closeAfter - total);
        }
        ssize_t n = read(fd, buffer, want);
        if (n > 0) {
            total += static_cast<size_t>(n);
            // The terminal ends each line in CR LF.
            const char* end = terminal ? std::remove(buffer, buffer + n, '\r') : buffer + n;
            mConsole->Append(buffer, static_cast<size_t>(end - buffer));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    mConsole->Finish();
    close(fd);
}

void ChildProcess::Signal(int signal) {
    if (mPid > 0) {
        kill(mPid, signal);
    }
}

int ChildProcess::Wait(int timeoutMs) {
    if (mPid <= 0) {
        return -1;
    }
    int status = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool ended = false;
    while (!(ended = waitpid(mPid, &status, WNOHANG) == mPid) &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!ended) {
        ADD_FAILURE() << "child " << mPid << " did not end within " << timeoutMs << " ms";
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
        status = -1;
    }
    mPid = -1;
    if (mUnreadFd >= 0) {
        close(mUnreadFd);
        mUnreadFd = -1;
    }
    // A grandchild could hold the pipe open; the tests start none.
    if (mOutputThread.joinable()) {
        mOutputThread.join();
    }
    return status;
}

long ChildProcess::CpuTicks() const {
    if (mPid <= 0) {
        return -1;
    }
    // utime and stime are fields 14 and 15 of /proc/PID/stat.
    std::vector<std::string> fields = StatFields(mPid);
    if (fields.size() < 13) {
        return -1;
    }
    return std::stol(fields[11]) + std::stol(fields[12]);
}

long ChildProcess::RssKiB() const {
    if (mPid <= 0) {
        return -1;
    }
    std::ifstream in("/proc/" + std::to_string(mPid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
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

}  // namespace PlixTest
