// Console control events from signals. Installing a handler changes the signal handling of
// the whole process for good, so every case runs in a child process (death-test fork); the
// child reports what it saw on stderr and through its exit status.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/ConsoleControl.h"

namespace {

using Platform::ConsoleControl;

// Hang guard for the child processes, not a timing requirement.
bool WaitUntil(const std::atomic<int>& value, int expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (value.load() != expected) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool BlocksControlSignals() {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGQUIT) == 1 &&
           sigismember(&mask, SIGHUP) == 1 && sigismember(&mask, SIGTERM) == 1;
}

// What the handlers saw, in the child.
std::atomic<int> sCalls{0};
uint32_t sCodes[8];
std::thread::id sThreads[8];

int RecordAndAccept(uint32_t eventCode) {
    const int call = sCalls.load();
    if (call < 8) {
        sCodes[call] = eventCode;
        sThreads[call] = std::this_thread::get_id();
    }
    sCalls.store(call + 1);
    return 1;
}

int NewerDeclines(uint32_t) {
    std::fprintf(stderr, "newer ");
    return 0;
}
int OlderDeclines(uint32_t) {
    std::fprintf(stderr, "older ");
    return 0;
}
int OlderAccepts(uint32_t) {
    std::fprintf(stderr, "older accepted\n");
    sCalls.store(sCalls.load() + 1);
    return 1;
}

[[noreturn]] void SignalsArriveAsEvents() {
    if (!ConsoleControl::SetHandler(RecordAndAccept)) {
        std::fprintf(stderr, "SetHandler failed\n");
        std::exit(1);
    }
    bool laterThreadBlocks = false;
    std::thread([&] { laterThreadBlocks = BlocksControlSignals(); }).join();

    const int signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    for (int i = 0; i < 4; ++i) {
        kill(getpid(), signals[i]);
        if (!WaitUntil(sCalls, i + 1)) {
            std::fprintf(stderr, "signal %d never reached the handler\n", signals[i]);
            std::exit(1);
        }
    }
    const std::thread::id self = std::this_thread::get_id();
    const bool oneOtherThread = sThreads[0] != self && sThreads[1] == sThreads[0] &&
                                sThreads[2] == sThreads[0] && sThreads[3] == sThreads[0];
    std::fprintf(
        stderr,
        "codes %u %u %u %u; one other thread: %s; caller blocks: %s; later thread blocks: %s\n",
        sCodes[0], sCodes[1], sCodes[2], sCodes[3], oneOtherThread ? "yes" : "no",
        BlocksControlSignals() ? "yes" : "no", laterThreadBlocks ? "yes" : "no");
    std::exit(0);
}

TEST(ConsoleControlTest, EachSignalReachesTheHandlerOnTheEventThreadWithItsCode) {
    EXPECT_EXIT(
        SignalsArriveAsEvents(), testing::ExitedWithCode(0),
        "codes 0 1 2 6; one other thread: yes; caller blocks: yes; later thread blocks: yes");
}

[[noreturn]] void DeclineThenRaise(int signalNumber) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT's default action dumps core
    if (!ConsoleControl::SetHandler(OlderDeclines) || !ConsoleControl::SetHandler(NewerDeclines)) {
        std::exit(1);
    }
    kill(getpid(), signalNumber);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::exit(0);
}

[[noreturn]] void OlderHandlerAccepts() {
    if (!ConsoleControl::SetHandler(OlderAccepts) || !ConsoleControl::SetHandler(NewerDeclines)) {
        std::exit(1);
    }
    kill(getpid(), SIGTERM);
    std::exit(WaitUntil(sCalls, 1) ? 0 : 1);
}

TEST(ConsoleControlTest, HandlersAreAskedNewestFirstAndADeclinedSignalEndsTheProcess) {
    EXPECT_EXIT(DeclineThenRaise(SIGINT), testing::KilledBySignal(SIGINT), "newer older");
    EXPECT_EXIT(DeclineThenRaise(SIGQUIT), testing::KilledBySignal(SIGQUIT), "newer older");
    EXPECT_EXIT(DeclineThenRaise(SIGHUP), testing::KilledBySignal(SIGHUP), "newer older");
    EXPECT_EXIT(DeclineThenRaise(SIGTERM), testing::KilledBySignal(SIGTERM), "newer older");
    EXPECT_EXIT(OlderHandlerAccepts(), testing::ExitedWithCode(0), "newer older accepted");
}

[[noreturn]] void FailedInstallationsChangeNothing() {
    ConsoleControl::FailNextSetHandlerForTesting();
    const bool firstFailed = !ConsoleControl::SetHandler(RecordAndAccept);
    const bool maskRolledBack = !BlocksControlSignals();
    const bool nullRefused = !ConsoleControl::SetHandler(nullptr);
    const bool secondWorks = ConsoleControl::SetHandler(RecordAndAccept);
    ConsoleControl::FailNextSetHandlerForTesting();
    const bool laterFailed = !ConsoleControl::SetHandler(RecordAndAccept);
    int added = 1;
    while (ConsoleControl::SetHandler(RecordAndAccept)) {
        ++added;
    }
    // Only the installed handlers are asked: all of them accept, so the first answers alone.
    kill(getpid(), SIGTERM);
    const bool answered = WaitUntil(sCalls, 1);
    std::fprintf(stderr,
                 "first failed: %d, mask rolled back: %d, null refused: %d, second works: %d, "
                 "later failed: %d, installed: %d, answered: %d\n",
                 firstFailed, maskRolledBack, nullRefused, secondWorks, laterFailed, added,
                 answered);
    std::exit(0);
}

TEST(ConsoleControlTest, FailedInstallationsChangeNothing) {
    EXPECT_EXIT(FailedInstallationsChangeNothing(), testing::ExitedWithCode(0),
                "first failed: 1, mask rolled back: 1, null refused: 1, second works: 1, "
                "later failed: 1, installed: 16, answered: 1");
}

}  // namespace
