// The Windows side of the platform layer where it can go wrong in ways of its own: console
// control events through the system's handler list (delivered by the system's CtrlRoutine, as
// the console delivers them), the reader's handler table, the runtime's formatting and the
// clocks' epochs and units. Installing a console handler is for good, so those cases run in
// death-test children, which on Windows are new processes.
#include "platform/ConsoleControl.h"
// After ConsoleControl.h: windows.h makes its event names macros.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "app/TraceReader.h"
#include "oscom/PartitionClaim.h"
#include "oscom/QueueWakeUp.h"
#include "oscom/VShmHeader.h"
#include "platform/PlatformFormat.h"
#include "platform/PlatformTime.h"
#include "tests/support/Portable.h"
#include "tests/windows/ChildProcess.h"

namespace {

using Platform::ConsoleControl;

// Runs the system's control routine for eventCode on a new thread and waits for it, as the
// console does when the operator presses a key or closes the window.
void DeliverEvent(DWORD eventCode) {
    HANDLE thread =
        CreateThread(nullptr, 0, PlixTest::ConsoleCtrlRoutine(),
                     reinterpret_cast<void*>(static_cast<uintptr_t>(eventCode)), 0, nullptr);
    if (thread == nullptr) {
        std::fprintf(stderr, "no thread\n");
        std::exit(1);
    }
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
}

// What the handlers saw, in the child.
std::atomic<int> sCalls{0};
uint32_t sCodes[8];
DWORD sThreads[8];

int RecordAndAccept(uint32_t eventCode) {
    const int call = sCalls.load();
    if (call < 8) {
        sCodes[call] = eventCode;
        sThreads[call] = GetCurrentThreadId();
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
    return 1;
}

[[noreturn]] void EventsArriveWithTheirCodes() {
    if (!ConsoleControl::SetHandler(RecordAndAccept)) {
        std::exit(1);
    }
    for (DWORD code : {0, 1, 2, 6}) {
        DeliverEvent(code);
    }
    const DWORD self = GetCurrentThreadId();
    bool otherThreads = sCalls.load() == 4;
    for (int i = 0; i < 4 && otherThreads; ++i) {
        otherThreads = sThreads[i] != self;
    }
    std::fprintf(stderr, "calls %d, codes %u %u %u %u, other threads: %s\n", sCalls.load(),
                 sCodes[0], sCodes[1], sCodes[2], sCodes[3], otherThreads ? "yes" : "no");
    std::exit(0);
}

TEST(ConsoleControlWindowsTest, EventsReachTheHandlerOnAnotherThreadWithTheirCodes) {
    EXPECT_EXIT(EventsArriveWithTheirCodes(), testing::ExitedWithCode(0),
                "calls 4, codes 0 1 2 6, other threads: yes");
}

[[noreturn]] void DeclineBoth(DWORD eventCode) {
    if (!ConsoleControl::SetHandler(OlderDeclines) || !ConsoleControl::SetHandler(NewerDeclines)) {
        std::exit(1);
    }
    DeliverEvent(eventCode);
    std::fprintf(stderr, "still running\n");
    std::exit(7);
}

[[noreturn]] void OlderHandlerAccepts() {
    if (!ConsoleControl::SetHandler(OlderAccepts) || !ConsoleControl::SetHandler(NewerDeclines)) {
        std::exit(1);
    }
    DeliverEvent(CTRL_BREAK_EVENT);
    std::exit(0);
}

// An event no handler takes goes to the system's default handler, which ends the process: with
// STATUS_CONTROL_C_EXIT on Windows, with 0 under Wine.
bool EndedByDefaultHandler(int code) { return static_cast<DWORD>(code) == 0xC000013A || code == 0; }

TEST(ConsoleControlWindowsTest, HandlersAreAskedNewestFirstAndADeclinedEventEndsTheProcess) {
    EXPECT_EXIT(DeclineBoth(CTRL_C_EVENT), EndedByDefaultHandler, "^newer older $");
    EXPECT_EXIT(DeclineBoth(CTRL_BREAK_EVENT), EndedByDefaultHandler, "^newer older $");
    EXPECT_EXIT(OlderHandlerAccepts(), testing::ExitedWithCode(0), "^newer older accepted\n$");
}

[[noreturn]] void FailedInstallationsChangeNothing() {
    ConsoleControl::FailNextSetHandlerForTesting();
    const bool firstFailed = !ConsoleControl::SetHandler(RecordAndAccept);
    const bool nullRefused = !ConsoleControl::SetHandler(nullptr);
    const bool secondWorks = ConsoleControl::SetHandler(RecordAndAccept);
    ConsoleControl::FailNextSetHandlerForTesting();
    const bool laterFailed = !ConsoleControl::SetHandler(RecordAndAccept);
    int added = 1;
    while (ConsoleControl::SetHandler(RecordAndAccept)) {
        ++added;
    }
    // Only the installed handlers are asked: all of them accept, so the newest answers alone.
    DeliverEvent(CTRL_SHUTDOWN_EVENT);
    std::fprintf(stderr,
                 "first failed: %d, null refused: %d, second works: %d, later failed: %d, "
                 "installed: %d, answered: %d\n",
                 firstFailed, nullRefused, secondWorks, laterFailed, added, sCalls.load());
    std::exit(0);
}

TEST(ConsoleControlWindowsTest, FailedInstallationsChangeNothing) {
    EXPECT_EXIT(FailedInstallationsChangeNothing(), testing::ExitedWithCode(0),
                "first failed: 1, null refused: 1, second works: 1, later failed: 1, "
                "installed: 16, answered: 1");
}

// The stop protocol around the close event: the event's thread must not return (which lets
// the system end the process with a non-zero code) before main has ended the process itself.
std::atomic<bool> sStopAsked{false};
int TakeAndAskToStop(uint32_t eventCode) {
    std::fprintf(stderr, "taken %u\n", eventCode);
    sStopAsked.store(true);
    return 1;
}
// In the orderly case, a forced end is a failure: its own exit code tells it apart.
void ForcedEndFails() {
    std::fprintf(stderr, "forced end\n");
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 9);
}
void ForcedEndSays() {
    std::fprintf(stderr, "forced end\n");
    std::fflush(stderr);
}

HANDLE StartEvent(DWORD eventCode) {
    HANDLE thread =
        CreateThread(nullptr, 0, PlixTest::ConsoleCtrlRoutine(),
                     reinterpret_cast<void*>(static_cast<uintptr_t>(eventCode)), 0, nullptr);
    if (thread == nullptr) {
        std::exit(1);
    }
    return thread;
}

// The main loop notices the stop, ends the run in order and returns through exit(0): the
// event's thread is still waiting at every step, and nothing is forced.
[[noreturn]] void CloseWaitsForTheOrderlyEnd() {
    ConsoleControl::SetStopHooks(nullptr, ForcedEndFails);
    if (!ConsoleControl::SetHandler(TakeAndAskToStop)) {
        std::exit(1);
    }
    HANDLE thread = StartEvent(CTRL_CLOSE_EVENT);
    for (int i = 0; i < 2000 && !sStopAsked.load(); ++i) {
        Sleep(5);  // hang guard: 10 s
    }
    const bool waitedForTheLoop = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
    ConsoleControl::NotifyRunEnded();
    const bool waitedForExit = WaitForSingleObject(thread, 100) == WAIT_TIMEOUT;
    std::fprintf(stderr, "stop asked: %d, waited for the loop: %d, waited for exit: %d\n",
                 sStopAsked.load(), waitedForTheLoop, waitedForExit);
    std::fflush(stderr);
    std::exit(0);
}

// Ctrl+C does not end the process: its thread returns at once, whatever the main loop does.
[[noreturn]] void CtrlCReturnsAtOnce() {
    ConsoleControl::SetStopHooks(nullptr, ForcedEndFails);
    if (!ConsoleControl::SetHandler(TakeAndAskToStop)) {
        std::exit(1);
    }
    DeliverEvent(CTRL_C_EVENT);
    std::fprintf(stderr, "returned\n");
    std::exit(0);
}

// A main loop that never ends: after the wait, forcedEnd runs and the process ends with 0. Also
// with a handler blocked in its printf (behind a main thread stuck in a console write): the stop
// window began before the handler ran, so the forced end still comes, for Ctrl+C as for the
// close event.
int TakeAndBlock(uint32_t eventCode) {
    std::fprintf(stderr, "taken %u\n", eventCode);
    std::fflush(stderr);
    Sleep(INFINITE);
    return 1;
}
[[noreturn]] void StuckLoopIsEndedWithForcedEnd(ConsoleControl::Handler handler, DWORD eventCode) {
    ConsoleControl::SetStopHooks(nullptr, ForcedEndSays);
    if (!ConsoleControl::SetHandler(handler)) {
        std::exit(1);
    }
    HANDLE thread = StartEvent(eventCode);
    WaitForSingleObject(thread, 20000);  // hang guard; the forced end comes first
    std::fprintf(stderr, "not forced\n");
    std::exit(7);
}

TEST(ConsoleControlWindowsTest, CloseEventWaitsForTheOrderlyEndOrForcesIt) {
    EXPECT_EXIT(StuckLoopIsEndedWithForcedEnd(TakeAndBlock, CTRL_C_EVENT),
                testing::ExitedWithCode(0), "^taken 0\nforced end\n$");
    EXPECT_EXIT(StuckLoopIsEndedWithForcedEnd(TakeAndBlock, CTRL_CLOSE_EVENT),
                testing::ExitedWithCode(0), "^taken 2\nforced end\n$");
    EXPECT_EXIT(CloseWaitsForTheOrderlyEnd(), testing::ExitedWithCode(0),
                "^taken 2\nstop asked: 1, waited for the loop: 1, waited for exit: 1\n$");
    EXPECT_EXIT(StuckLoopIsEndedWithForcedEnd(TakeAndAskToStop, CTRL_CLOSE_EVENT),
                testing::ExitedWithCode(0), "^taken 2\nforced end\n$");
    EXPECT_EXIT(CtrlCReturnsAtOnce(), testing::ExitedWithCode(0), "^taken 0\nreturned\n$");
}

TEST(ConsoleCtrlHandlerTest, CtrlCAndCloseStopTheReaderAndEverythingElseIsPassedOn) {
    struct Row {
        uint32_t code;
        const char* printed;
        int result;
    };
    const Row table[] = {{0, "CTRL-C pressed\n", 1},
                         {1, "", 0},
                         {2, "windows is closed\n", 1},
                         {5, "", 0},
                         {6, "", 0}};
    for (const Row& row : table) {
        sStopRequested = false;
        testing::internal::CaptureStdout();
        const int result = ConsoleCtrlHandler(row.code);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.printed) << row.code;
        EXPECT_EQ(result, row.result) << row.code;
        EXPECT_EQ(sStopRequested.load(), row.result == 1) << row.code;
    }
}

std::string Count(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = Platform::PlatformFormat::CountFormatted(format, args);
    va_end(args);
    return std::to_string(n);
}

std::string Format(size_t bufSize, const char* format, ...) {
    char buf[64];
    std::memset(buf, 'X', sizeof buf);
    va_list args;
    va_start(args, format);
    Platform::PlatformFormat::FormatTruncated(buf, bufSize, format, args);
    va_end(args);
    return std::string(buf, strnlen(buf, sizeof buf));
}

TEST(PlatformWindowsTest, RuntimeFormattingCountsCutsAndTakesSixtyFourBitArguments) {
    EXPECT_EQ(Count("%s=%lld", "n", 123456789012345LL), "17");
    EXPECT_EQ(Format(64, "%s=%lld|%i", "n", 123456789012345LL, -7), "n=123456789012345|-7");
    EXPECT_EQ(Format(8, "%s=%lld", "n", 123456789012345LL), "n=12345");  // cut, terminated
    EXPECT_EQ(Format(1, "abc"), "");
    EXPECT_EQ(Format(64, "%i: %s - 0x%0X", 3, "f", 0x1A2Bu), "3: f - 0x1A2B");
}

TEST(PlatformWindowsTest, ClocksUseTheUnixEpochAndNanoseconds) {
    const int64_t seconds = Platform::PlatformTime::SystemTime100ns() / 10000000;
    const int64_t runtime = static_cast<int64_t>(std::time(nullptr));
    EXPECT_LE(seconds > runtime ? seconds - runtime : runtime - seconds, 2);

    PlixTest::UseTimeZone("UTC");
    std::tm local{};
    ASSERT_TRUE(Platform::PlatformTime::ToLocalTime(1796679430, &local));
    EXPECT_EQ(local.tm_year + 1900, 2026);
    EXPECT_EQ(local.tm_mon + 1, 12);
    EXPECT_EQ(local.tm_mday, 7);
    EXPECT_EQ(local.tm_hour, 21);
    EXPECT_EQ(local.tm_min, 37);
    EXPECT_EQ(local.tm_sec, 10);
    local.tm_year = 1;
    EXPECT_FALSE(Platform::PlatformTime::ToLocalTime(-1, &local));
    EXPECT_EQ(local.tm_year, 1);  // left as it was

    // The counter is scaled to nanoseconds: a 100 ms pause is far more than 10 ms of counts
    // and far less than 10 s (a unit check with room for any scheduler).
    const uint64_t before = Platform::PlatformTime::PerformanceCounter();
    Platform::PlatformTime::Sleep(100);
    const uint64_t elapsed = Platform::PlatformTime::PerformanceCounter() - before;
    EXPECT_GT(elapsed, 10000000u);
    EXPECT_LT(elapsed, 10000000000u);
}

// Short pauses must not be stretched to the default timer period (15.6 ms): they wait on a
// high-resolution timer of the pausing thread, closed when the thread ends, or, as the
// fallback, sleep with the timer resolution raised for that pause only. Under Wine sleeps are
// fine-grained anyway, so what is checked is that the system calls pair up and that every
// pause still lasts at least as long as asked.
TEST(PlatformWindowsTest, ShortPausesTakeAFineTimerAndGiveItBack) {
    using Platform::PlatformTime;
    constexpr int SHORT_PAUSES = 20;
    constexpr uint32_t SHORT_PAUSE_US = 500;
    constexpr int MS_PAUSES = 5;
    constexpr uint32_t MS_PAUSE = 2;
    const PlatformTime::PrecisePauseCounts start = PlatformTime::PrecisePauseCountsForTesting();

    uint64_t elapsed = 0;
    std::thread pauser([&] {
        const uint64_t before = PlatformTime::PerformanceCounter();
        for (int i = 0; i < SHORT_PAUSES; ++i) PlatformTime::SleepMicroseconds(SHORT_PAUSE_US);
        for (int i = 0; i < MS_PAUSES; ++i) PlatformTime::Sleep(MS_PAUSE);
        elapsed = PlatformTime::PerformanceCounter() - before;
    });
    pauser.join();
    const PlatformTime::PrecisePauseCounts timer = PlatformTime::PrecisePauseCountsForTesting();
    // At least nine tenths of the pauses asked for (clocks of different grain may round).
    EXPECT_GE(elapsed, (SHORT_PAUSES * SHORT_PAUSE_US + MS_PAUSES * MS_PAUSE * 1000) * 900ULL);
    const uint64_t opened = timer.timersOpened - start.timersOpened;
    // One timer for the thread, closed with it; every pause waited on it. A system without
    // the high-resolution timer takes the fallback for every pause instead.
    EXPECT_EQ(timer.timersClosed - start.timersClosed, opened);
    if (opened > 0) {
        EXPECT_EQ(opened, 1u);
        EXPECT_EQ(timer.timerWaits - start.timerWaits, uint64_t{SHORT_PAUSES + MS_PAUSES});
        EXPECT_EQ(timer.resolutionRaised, start.resolutionRaised);
    } else {
        EXPECT_EQ(timer.resolutionRaised - start.resolutionRaised,
                  uint64_t{SHORT_PAUSES + MS_PAUSES});
    }
    EXPECT_EQ(timer.resolutionRestored - start.resolutionRestored,
              timer.resolutionRaised - start.resolutionRaised);

    // The fallback: the resolution is raised for each pause and given back after it.
    PlatformTime::SetPrecisePausePathForTesting(PlatformTime::PrecisePausePath::RAISED_RESOLUTION);
    uint64_t before = PlatformTime::PerformanceCounter();
    for (int i = 0; i < SHORT_PAUSES; ++i) PlatformTime::SleepMicroseconds(SHORT_PAUSE_US);
    elapsed = PlatformTime::PerformanceCounter() - before;
    PlatformTime::SetPrecisePausePathForTesting(PlatformTime::PrecisePausePath::WAITABLE_TIMER);
    const PlatformTime::PrecisePauseCounts raised = PlatformTime::PrecisePauseCountsForTesting();
    EXPECT_GE(elapsed, SHORT_PAUSES * SHORT_PAUSE_US * 900ULL);
    EXPECT_EQ(raised.resolutionRaised - timer.resolutionRaised, uint64_t{SHORT_PAUSES});
    EXPECT_EQ(raised.resolutionRestored - timer.resolutionRestored, uint64_t{SHORT_PAUSES});
    EXPECT_EQ(raised.timerWaits, timer.timerWaits);

    // A pause of a timer period or more is a plain Sleep: neither path.
    before = PlatformTime::PerformanceCounter();
    PlatformTime::Sleep(20);
    elapsed = PlatformTime::PerformanceCounter() - before;
    const PlatformTime::PrecisePauseCounts plain = PlatformTime::PrecisePauseCountsForTesting();
    EXPECT_GE(elapsed, 18000000u);
    EXPECT_EQ(plain.timerWaits, raised.timerWaits);
    EXPECT_EQ(plain.resolutionRaised, raised.resolutionRaised);
    EXPECT_EQ(plain.timersOpened, raised.timersOpened);
}

// Other users of a partition read the header's initTime in the raw ticks of
// QueryPerformanceCounter, not in the nanoseconds the rest of the program paces by.
TEST(PlatformWindowsTest, PartitionStampIsTheRawCounter) {
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    if (frequency.QuadPart == 1000000000) {
        GTEST_SKIP() << "raw ticks are nanoseconds here: the units cannot be told apart";
    }

    ZulOsCom::VShmHeader header{};
    const uint64_t before = Platform::PlatformTime::RawPerformanceCounter();
    const uint64_t stamp = header.InitRefCountAndTime();
    const uint64_t after = Platform::PlatformTime::RawPerformanceCounter();
    EXPECT_EQ(header.LoadInitTime(), stamp);
    EXPECT_NE(stamp, 0u);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);

    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    EXPECT_LE(after, static_cast<uint64_t>(now.QuadPart));
}

// One claim per role and partition name, as named kernel objects: a second one is refused until
// the first is given back; roles and names do not meet.
TEST(PlatformWindowsTest, PartitionClaimsAreNamedObjectsOnePerRoleAndName) {
    using ZulOsCom::PartitionClaim;
    const std::string prefix = "plixclaim." + PlixTest::RunTag() + ".";
    PlixTest::SetEnvironment("RTH_SHM_PREFIX", prefix.c_str());
    PartitionClaim reader;
    PartitionClaim second;
    PartitionClaim writer;
    PartitionClaim elsewhere;
    ASSERT_EQ(reader.Claim("plixtrace", PartitionClaim::Role::READER, 0),
              PartitionClaim::Result::CLAIMED);
    EXPECT_EQ(second.Claim("plixtrace", PartitionClaim::Role::READER, 30),
              PartitionClaim::Result::BUSY);
    EXPECT_FALSE(second.Held());
    EXPECT_EQ(writer.Claim("plixtrace", PartitionClaim::Role::WRITER, 0),
              PartitionClaim::Result::CLAIMED);
    EXPECT_EQ(elsewhere.Claim("other", PartitionClaim::Role::READER, 0),
              PartitionClaim::Result::CLAIMED);
    EXPECT_EQ(reader.Check(4096), PartitionClaim::Behind::SAME);  // no following by name here
    reader.Release();
    EXPECT_EQ(second.Claim("plixtrace", PartitionClaim::Role::READER, 0),
              PartitionClaim::Result::CLAIMED);
}

// The wake-up beside a queue as named objects: the writer finds the reader's, sees its area
// read-only, and its wake-up ends the reader's wait long before the time-out (a hang guard,
// not a timing claim), whether it comes before the wait (the event stays set) or during it.
// Objects the writer still holds are the next reader's to take over.
TEST(PlatformWindowsTest, WakeUpIsANamedMappingAndEventTheWriterSets) {
    using ZulOsCom::QueueWakeUp;
    using Status = QueueWakeUp::Status;
    const std::string prefix = "plixwake." + PlixTest::RunTag() + ".";
    PlixTest::SetEnvironment("RTH_SHM_PREFIX", prefix.c_str());
    QueueWakeUp writer;
    writer.Open("plixtrace");
    EXPECT_FALSE(writer.Ready());  // no reader yet
    QueueWakeUp reader;
    std::string reason;
    ASSERT_EQ(reader.Create("plixtrace", &reason), Status::READY) << reason;
    writer.Follow();
    ASSERT_TRUE(writer.Ready());

    alignas(64) ZulOsCom::VSharedMemoryQueue queue{};
    for (const DWORD delayMs : {DWORD{0}, DWORD{100}}) {
        std::thread writing([&] {
            Sleep(delayMs);
            __atomic_store_n(&queue.mWriteOffset, queue.mWriteOffset + 64, __ATOMIC_RELEASE);
            writer.WakeReader(&queue);
        });
        // Waits only once the writer's thread has started: the queue is empty until it writes.
        const ULONGLONG start = GetTickCount64();
        Sleep(delayMs / 2);
        reader.WaitForRecords(&queue, 10000000);
        writing.join();
        EXPECT_LT(GetTickCount64() - start, 5000u) << "wake-up after " << delayMs << " ms";
        __atomic_store_n(&queue.mReadOffset, queue.mWriteOffset, __ATOMIC_RELEASE);
    }

    // The reader ends while the writer holds the objects: a new reader takes them over.
    reader.Close();
    QueueWakeUp successor;
    ASSERT_EQ(successor.Create("plixtrace", &reason), Status::READY) << reason;
    writer.Follow();
    EXPECT_TRUE(writer.Ready());
}

}  // namespace
