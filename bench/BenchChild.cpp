// BenchChild: starting, feeding, watching and ending a benchmark's child process.
#include "bench/BenchChild.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

int OpenOutput(const std::string& path) {
    return path.empty() ? open("/dev/null", O_WRONLY)
                        : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

}  // namespace

BenchChild::BenchChild(const std::vector<std::string>& argv, const std::string& outPath,
                       const std::string& errPath, bool withInput) {
    int pipeFds[2] = {-1, -1};
    if (withInput && pipe2(pipeFds, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make a pipe for " + argv.at(0));
    }
    // A reader that has gone away must not kill the benchmark with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    mPid = fork();
    if (mPid < 0) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
    if (mPid == 0) {
        int in = withInput ? pipeFds[0] : open("/dev/null", O_RDONLY);
        int out = OpenOutput(outPath);
        int err = OpenOutput(errPath);
        if (in < 0 || out < 0 || err < 0) {
            _exit(126);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // As an interactive shell starts a program: a benchmark run as a script's background
        // job would hand on its ignored SIGINT, and the reader keeps what it inherits.
        for (int signalNumber : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP}) {
            signal(signalNumber, SIG_DFL);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (withInput) {
        close(pipeFds[0]);
        mInput = pipeFds[1];
    }
}

BenchChild::~BenchChild() {
    CloseInput();
    if (mPid > 0) {
        kill(mPid, SIGKILL);
        waitpid(mPid, nullptr, 0);
    }
}

void BenchChild::CloseInput() {
    if (mInput >= 0) {
        close(mInput);
        mInput = -1;
    }
}

void BenchChild::Signal(int signal) const {
    if (mPid > 0) {
        kill(mPid, signal);
    }
}

int BenchChild::Wait(double timeoutSeconds) {
    if (mPid <= 0) {
        return -1;
    }
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::microseconds(static_cast<int64_t>(timeoutSeconds * 1e6));
    int status = 0;
    for (;;) {
        pid_t done = waitpid(mPid, &status, WNOHANG);
        if (done == mPid) {
            mPid = -1;
            return status;
        }
        if (std::chrono::steady_clock::now() >= end) {
            kill(mPid, SIGKILL);
            waitpid(mPid, nullptr, 0);
            mPid = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

uint64_t BenchChild::CpuNs() const {
    // Every thread of the process (the reader has a signal thread beside its main thread).
    const std::filesystem::path tasks = "/proc/" + std::to_string(mPid) + "/task";
    std::error_code error;
    uint64_t total = 0;
    bool found = false;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        uint64_t ns = 0;
        if (schedstat >> ns) {
            total += ns;
            found = true;
        }
    }
    if (found) {
        return total;
    }
    std::ifstream stat("/proc/" + std::to_string(mPid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name (which may hold blanks) start behind the last ')'.
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return (utime + stime) * 1000000000ULL / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
}

uint64_t BenchChild::StatusNumber(const char* field) const {
    std::ifstream status("/proc/" + std::to_string(mPid) + "/status");
    const std::string name = field;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name, 0) == 0) {
            return std::stoull(line.substr(name.size()));
        }
    }
    return 0;
}
