// Small helpers of the tests that watch other processes: polling for a condition with a
// deadline, stopping a child while the test sets something up, and reading a whole file.
#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

namespace PlixTest {

// Polls condition every few milliseconds until it holds or timeoutMs have passed; returns
// whether it holds at the end.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

// Stops child process pid (SIGSTOP) and waits until it is stopped, every thread of it, so that
// nothing it does races with what the test sets up before it sends SIGCONT. False when the
// child did not stop (it ended instead: its status is then taken).
inline bool StopChild(pid_t pid) {
    int status = 0;
    return kill(pid, SIGSTOP) == 0 && waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status);
}

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace PlixTest
