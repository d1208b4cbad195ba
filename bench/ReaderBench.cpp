// plix_reader_bench: the real reader (plix_bench_reader, beside this program) measured from the
// outside against plixwrite, in partitions of its own (RTH_SHM_PREFIX "plixbench.PID.") and
// with its trace log in a fresh directory under /tmp, never the shipped program's.
//
//   plix_reader_bench e2e [--records N] [--more M] [--size BYTES] [--length L]
//       The reader drains N records (default 1,000,000) of L bytes (56) that a concurrent
//       plixwrite --count writes into a BYTES partition (1 MiB) as fast as the reader takes
//       them; console on /dev/null. Time from the writer's start until the reader has taken
//       the last record. Then the reader's peak RSS; with --more, M more records the same way
//       and the peak RSS again.
//   plix_reader_bench lossfree [--size BYTES] [--step-seconds S] [--max-rate R]
//       One plixwrite --drop process fed on its standard input by a rising ladder of rates
//       (250 records/s up to R, each held S seconds, low rates 0.25 s), records of 56 bytes,
//       against the running reader. The reader's console goes to a file on /dev/shm and tells
//       which records arrived; the ladder stops one step after the first with a drop. The
//       loss-free rate is the achieved rate of the highest step below the first with a drop.
//       The ladder starts low so that the stream begins against a reader that is polling
//       slowly without losing anything; after that the reader follows the rising rate.
//       Each step also tells the reader's longest stall: the longest the read offset stood
//       still while the queue held records (sampled every 100 us from outside), and the most
//       records that arrived within half a millisecond.
//   plix_reader_bench burst [--size BYTES] [--rate R] [--count N] [--runs K] [--idle-seconds S]
//                           [--no-wake-up 1]
//       K times (5): the reader idle for S seconds (1), then plixwrite --drop --rate R (10000)
//       --count N (100000) --length 56 against it in a BYTES partition (4096); console on
//       /dev/null. Per run the records plixwrite dropped, the reader's longest stall and the
//       most records that arrived within half a millisecond (a writer catching up after a stall
//       of its own writes what is overdue at once).
//   plix_reader_bench idle [--seconds S] [--no-wake-up 1]
//       The reader on an empty queue: its CPU time over S seconds (10) after one second of
//       settling, and how often it woke up.
//
// --no-wake-up 1: the reader runs without its wake-up object (one writable by every user is
// planted in its place, which it refuses, as it would another user's): it polls, as for writers
// that do not signal. Without it, plixwrite (the writer library) wakes the idle reader.
//
// Results are lines "key value" on standard output; lines starting with "#" explain. Exit
// status 0, or 1 when a measurement failed (reader or writer did not behave).
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchChild.h"
#include "bench/ConsoleTally.h"
#include "bench/QueueProbe.h"
#include "bench/StallWatch.h"
#include "bench/SyntheticFeed.h"
#include "oscom/PartitionRules.h"
#include "oscom/QueueWakeUp.h"
#include "rth/RthAdmin.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* PARTITION = ZulOsCom::PLIX_TRACE_PARTITION;
constexpr uint32_t DEFAULT_SIZE = 1048576;
constexpr uint32_t DEFAULT_LENGTH = 56;
// A record of 56 bytes takes one 64-byte slot of the data area.
constexpr uint32_t SLOT_BYTES = 64;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

bool WaitUntil(const std::function<bool()>& condition, double timeoutSeconds,
               std::chrono::microseconds poll = std::chrono::microseconds(200)) {
    const auto end = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(timeoutSeconds * 1e6));
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(poll);
    }
    return true;
}

std::string LastLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) last = line;
    }
    return last;
}

// Options "--name value" after the command.
std::map<std::string, std::string> ParseOptions(int argc, char** argv) {
    std::map<std::string, std::string> options;
    for (int i = 2; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
    return options;
}

double Number(const std::map<std::string, std::string>& options, const std::string& name,
              double fallback) {
    auto it = options.find(name);
    return it == options.end() ? fallback : std::stod(it->second);
}

// The programs, the partition prefix and the scratch directories of one measurement.
class Session {
public:
    Session() {
        char self[4096] = {};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) throw std::runtime_error("cannot find my own directory");
        const fs::path bin = fs::path(std::string(self, static_cast<size_t>(n))).parent_path();
        mReader = (bin / "plix_bench_reader").string();
        mWriter = (bin / "plixwrite").string();
        const std::string tag = "plixbench." + std::to_string(getpid());
        setenv("RTH_SHM_PREFIX", (tag + ".").c_str(), 1);
        mWork = fs::temp_directory_path() / tag;
        mFast = fs::path("/dev/shm") / (tag + ".console");
        fs::remove_all(mWork);
        fs::create_directories(mWork / "logs");
        fs::remove_all(mFast);
        fs::create_directories(mFast);
    }
    ~Session() {
        mReaderChild.reset();
        rthPartitionRemove(PARTITION);
        unlink(WakeUpPath().c_str());
        std::error_code ignored;
        fs::remove_all(mWork, ignored);
        fs::remove_all(mFast, ignored);
    }

    const fs::path& Work() const { return mWork; }
    const fs::path& Fast() const { return mFast; }
    const std::string& Writer() const { return mWriter; }

    // The partition with its queue set up, so that the reader can attach.
    void SetUpQueue(uint32_t size) {
        BenchChild setUp({mWriter, "--size", std::to_string(size)}, "",
                         (mWork / "setup.err").string());
        int status = setUp.Wait(30);
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            throw std::runtime_error("plixwrite cannot set the queue up: " +
                                     LastLine(mWork / "setup.err"));
        }
        mProbe = std::make_unique<QueueProbe>(PARTITION);
    }

    // Takes the reader's wake-up away: an object writable by every user in its place, which the
    // reader refuses (it says so once on stderr and polls) and writers with it.
    void PlantRefusedWakeUp() {
        const std::string path = WakeUpPath();
        unlink(path.c_str());
        std::ofstream(path).put('\0');
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write |
                                  fs::perms::group_read | fs::perms::group_write |
                                  fs::perms::others_read | fs::perms::others_write);
        mWakeUpPlanted = true;
    }

    // Starts the reader (console to consolePath, "" for /dev/null) and waits for its attach.
    BenchChild& StartReader(const std::string& consolePath) {
        mReaderChild = std::make_unique<BenchChild>(
            std::vector<std::string>{mReader, (mWork / "logs").string()}, consolePath,
            (mWork / "reader.err").string());
        if (!WaitUntil([&] { return mProbe->AttachCount() >= 2; }, 30)) {
            throw std::runtime_error("the reader did not attach: " + LastLine(mWork / "reader.err"));
        }
        // The console control handler is installed right after the attach.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return *mReaderChild;
    }

    // Ctrl+C to the reader; true when it ended with exit code 0 and nothing on stderr (but the
    // line about a planted wake-up object).
    bool StopReader() {
        mReaderChild->Signal(SIGINT);
        int status = mReaderChild->Wait(30);
        mReaderChild.reset();
        std::ifstream err(mWork / "reader.err");
        bool clean = true;
        for (std::string line; std::getline(err, line);) {
            clean = clean && mWakeUpPlanted && line.find("has no wake-up") != std::string::npos;
        }
        return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && clean;
    }

    bool WaitDrained(double timeoutSeconds) {
        return WaitUntil([&] { return mProbe->Drained(); }, timeoutSeconds);
    }

private:
    static std::string WakeUpPath() {
        return "/dev/shm/" + ZulOsCom::QueueWakeUp::ObjectName(PARTITION);
    }

    std::string mReader;
    std::string mWriter;
    bool mWakeUpPlanted = false;
    fs::path mWork;
    fs::path mFast;
    std::unique_ptr<QueueProbe> mProbe;
    std::unique_ptr<BenchChild> mReaderChild;
};

// Writes records through plixwrite --count (waiting when the queue is full) and returns the
// seconds until the reader has taken the last of them, or a negative value on failure.
double DrainTimed(Session& session, uint64_t records, uint32_t length) {
    const auto start = Clock::now();
    BenchChild writer({session.Writer(), "--count", std::to_string(records), "--length",
                       std::to_string(length)},
                      "", (session.Work() / "writer.err").string());
    int status = writer.Wait(3600);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("# plixwrite failed: %s\n", LastLine(session.Work() / "writer.err").c_str());
        return -1;
    }
    if (!session.WaitDrained(600)) {
        std::printf("# the reader did not drain the queue\n");
        return -1;
    }
    return Seconds(start, Clock::now());
}

int EndToEnd(const std::map<std::string, std::string>& options) {
    const auto records = static_cast<uint64_t>(Number(options, "--records", 1000000));
    const auto more = static_cast<uint64_t>(Number(options, "--more", 0));
    const auto size = static_cast<uint32_t>(Number(options, "--size", DEFAULT_SIZE));
    const auto length = static_cast<uint32_t>(Number(options, "--length", DEFAULT_LENGTH));
    Session session;
    session.SetUpQueue(size);
    BenchChild& reader = session.StartReader("");

    const uint64_t cpuBefore = reader.CpuNs();
    double seconds = DrainTimed(session, records, length);
    if (seconds <= 0) return 1;
    std::printf("# %llu records of %u bytes through a %u-byte partition in %.3f s; reader CPU %.2f us/record\n",
                static_cast<unsigned long long>(records), length, size, seconds,
                static_cast<double>(reader.CpuNs() - cpuBefore) / 1000.0 / static_cast<double>(records));
    std::printf("e2e_records_per_s %.0f\n", static_cast<double>(records) / seconds);
    std::printf("rss_after %llu %llu\n", static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(reader.PeakRssKiB()));
    if (more > 0) {
        double moreSeconds = DrainTimed(session, more, length);
        if (moreSeconds <= 0) return 1;
        std::printf("# %llu more records in %.3f s (%.0f records/s)\n",
                    static_cast<unsigned long long>(more), moreSeconds,
                    static_cast<double>(more) / moreSeconds);
        std::printf("rss_after %llu %llu\n", static_cast<unsigned long long>(records + more),
                    static_cast<unsigned long long>(reader.PeakRssKiB()));
    }
    if (!session.StopReader()) {
        std::printf("# the reader did not end cleanly\n");
        return 1;
    }
    return 0;
}

int LossFree(const std::map<std::string, std::string>& options) {
    const auto size = static_cast<uint32_t>(Number(options, "--size", DEFAULT_SIZE));
    const double stepSeconds = Number(options, "--step-seconds", 2.0);
    const auto maxRate = static_cast<uint64_t>(Number(options, "--max-rate", 2000000));
    const uint64_t ladder[] = {250,    500,    1000,   2000,   5000,   10000,  20000,
                               50000,  100000, 150000, 200000, 300000, 500000, 700000,
                               1000000, 1500000, 2000000};
    Session session;
    session.SetUpQueue(size);
    const std::string console = (session.Fast() / "console").string();
    session.StartReader(console);

    BenchChild writer({session.Writer(), "--drop"}, "", (session.Work() / "writer.err").string(),
                      /*withInput=*/true);
    SyntheticFeed feed(writer.Input(), DEFAULT_LENGTH);
    ConsoleTally tally(console);
    std::vector<uint64_t> rates;
    std::vector<double> achieved;
    std::vector<double> lateness;
    std::vector<double> stalls;
    std::vector<uint32_t> arrivals;
    StallWatch stallWatch(PARTITION);
    size_t firstLossy = SIZE_MAX;
    size_t checked = 0;
    for (uint64_t rate : ladder) {
        if (rate > maxRate) break;
        const double duration = rate <= 2000 ? std::min(stepSeconds, 0.25) : stepSeconds;
        const auto count = static_cast<uint64_t>(static_cast<double>(rate) * duration);
        tally.AddStep(feed.Fed() + 1, count);
        double got = feed.Feed(count, rate);
        if (got < 0) {
            std::printf("# plixwrite stopped reading: %s\n",
                        LastLine(session.Work() / "writer.err").c_str());
            return 1;
        }
        rates.push_back(rate);
        achieved.push_back(got);
        lateness.push_back(feed.MaxLateness());
        stalls.push_back(stallWatch.TakeLongest());
        arrivals.push_back(stallWatch.TakeLargestArrival());
        tally.Update();
        for (; checked < rates.size() && tally.Settled(checked); ++checked) {
            if (tally.Printed(checked) < tally.Count(checked) && firstLossy == SIZE_MAX) {
                firstLossy = checked;
            }
        }
        // One step past the first loss is enough (it is settled late, by later records).
        if (firstLossy != SIZE_MAX && rates.size() > firstLossy + 1) break;
    }
    writer.CloseInput();
    int status = writer.Wait(120);
    const std::string summary = LastLine(session.Work() / "writer.err");
    unsigned long long written = 0, dropped = 0;
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(summary.c_str(), "plixwrite: %llu written, %llu dropped", &written, &dropped) != 2) {
        std::printf("# plixwrite failed: %s\n", summary.c_str());
        return 1;
    }
    if (!session.WaitDrained(120)) {
        std::printf("# the reader did not drain the queue\n");
        return 1;
    }
    // The reader flushes every record it prints; give the file system a moment all the same.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tally.Update();
    const bool readerOk = session.StopReader();

    uint64_t lossFree = 0;
    uint64_t firstLossRate = 0;
    uint64_t sumDropped = 0;
    std::printf("# partition %u bytes: rate -> achieved, fed, dropped, feed's worst lateness, "
                "reader's longest stall, most records arriving within 0.5 ms\n",
                size);
    for (size_t i = 0; i < rates.size(); ++i) {
        const uint64_t lost = tally.Count(i) - tally.Printed(i);
        sumDropped += lost;
        std::printf("#   %8llu/s -> %9.0f/s %9llu %9llu %8.2f ms %8.2f ms %6u\n",
                    static_cast<unsigned long long>(rates[i]), achieved[i],
                    static_cast<unsigned long long>(tally.Count(i)),
                    static_cast<unsigned long long>(lost), lateness[i] * 1e3, stalls[i] * 1e3,
                    arrivals[i] / SLOT_BYTES);
        if (lost > 0 && firstLossRate == 0) firstLossRate = rates[i];
        if (lost == 0 && firstLossRate == 0) lossFree = static_cast<uint64_t>(achieved[i]);
    }
    // The console must account for every record plixwrite reports, in order.
    if (sumDropped != dropped || tally.TotalPrinted() != written || tally.Disorder() != 0 ||
        tally.MarkedDrops() > dropped || !readerOk) {
        std::printf("# inconsistent: plixwrite %llu written, %llu dropped; console %llu printed, "
                    "%llu out of order; reader %s\n",
                    written, dropped, static_cast<unsigned long long>(tally.TotalPrinted()),
                    static_cast<unsigned long long>(tally.Disorder()),
                    readerOk ? "ended cleanly" : "did not end cleanly");
        return 1;
    }
    std::printf("# drop markers on the console: %llu of the %llu records dropped (the rest, if any, "
                "had no room for a marker before plixwrite ended)\n",
                static_cast<unsigned long long>(tally.MarkedDrops()), dropped);
    std::printf("lossfree_records_per_s %llu\n", static_cast<unsigned long long>(lossFree));
    std::printf("first_loss_rate %llu\n", static_cast<unsigned long long>(firstLossRate));
    return 0;
}

int Burst(const std::map<std::string, std::string>& options) {
    const auto size = static_cast<uint32_t>(Number(options, "--size", 4096));
    const auto rate = static_cast<uint64_t>(Number(options, "--rate", 10000));
    const auto count = static_cast<uint64_t>(Number(options, "--count", 100000));
    const auto runs = static_cast<int>(Number(options, "--runs", 5));
    const double idleSeconds = Number(options, "--idle-seconds", 1);
    const bool wakeUp = Number(options, "--no-wake-up", 0) == 0;
    Session session;
    session.SetUpQueue(size);
    if (!wakeUp) session.PlantRefusedWakeUp();
    session.StartReader("");
    StallWatch stallWatch(PARTITION);
    int lossFreeRuns = 0;
    for (int run = 1; run <= runs; ++run) {
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(idleSeconds * 1e6)));
        stallWatch.TakeLongest();
        stallWatch.TakeLargestArrival();
        BenchChild writer({session.Writer(), "--drop", "--rate", std::to_string(rate), "--count",
                           std::to_string(count), "--length", std::to_string(DEFAULT_LENGTH)},
                          "", (session.Work() / "writer.err").string());
        const int status = writer.Wait(3600);
        const std::string summary = LastLine(session.Work() / "writer.err");
        unsigned long long written = 0, dropped = 0;
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
            std::sscanf(summary.c_str(), "plixwrite: %llu written, %llu dropped", &written,
                        &dropped) != 2 ||
            written + dropped != count) {
            std::printf("# plixwrite failed: %s\n", summary.c_str());
            return 1;
        }
        if (!session.WaitDrained(60)) {
            std::printf("# the reader did not drain the queue\n");
            return 1;
        }
        const double stall = stallWatch.TakeLongest();
        const uint32_t arrival = stallWatch.TakeLargestArrival() / SLOT_BYTES;
        std::printf("# run %d: %llu records at %llu/s after %.1f s idle (%s), %llu dropped, "
                    "reader's longest stall %.2f ms, most records arriving within 0.5 ms %u\n",
                    run, static_cast<unsigned long long>(count),
                    static_cast<unsigned long long>(rate), idleSeconds,
                    wakeUp ? "writer wakes the reader" : "reader polls", dropped, stall * 1e3,
                    arrival);
        std::printf("burst_dropped %d %llu %.3f %u\n", run, dropped, stall * 1e3, arrival);
        if (dropped == 0) ++lossFreeRuns;
    }
    if (!session.StopReader()) {
        std::printf("# the reader did not end cleanly\n");
        return 1;
    }
    std::printf("burst_lossfree_runs %d %d\n", lossFreeRuns, runs);
    return 0;
}

int Idle(const std::map<std::string, std::string>& options) {
    const double seconds = Number(options, "--seconds", 10);
    const bool wakeUp = Number(options, "--no-wake-up", 0) == 0;
    Session session;
    session.SetUpQueue(DEFAULT_SIZE);
    if (!wakeUp) session.PlantRefusedWakeUp();
    BenchChild& reader = session.StartReader("");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const uint64_t cpu0 = reader.CpuNs();
    const uint64_t sleeps0 = reader.Sleeps();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6)));
    const uint64_t cpu1 = reader.CpuNs();
    const uint64_t sleeps1 = reader.Sleeps();
    const double wall = Seconds(t0, Clock::now());
    if (!session.StopReader()) {
        std::printf("# the reader did not end cleanly\n");
        return 1;
    }
    std::printf("# idle reader (%s) over %.1f s: %.3f ms CPU, %.1f wake-ups/s\n",
                wakeUp ? "with its wake-up object" : "polling", wall,
                static_cast<double>(cpu1 - cpu0) / 1e6, static_cast<double>(sleeps1 - sleeps0) / wall);
    std::printf("idle_cpu_percent %.4f\n", static_cast<double>(cpu1 - cpu0) / 1e9 / wall * 100.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: plix_reader_bench e2e|lossfree|burst|idle [--option value]...\n");
        return 2;
    }
    const std::string command = argv[1];
    const auto options = ParseOptions(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        if (command == "e2e") return EndToEnd(options);
        if (command == "lossfree") return LossFree(options);
        if (command == "burst") return Burst(options);
        if (command == "idle") return Idle(options);
    } catch (const std::exception& e) {
        std::printf("# failed: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "plix_reader_bench: unknown command %s\n", command.c_str());
    return 2;
}
