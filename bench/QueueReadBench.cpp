// Queue read path: VSharedMemoryQueue::ReadBytes (through RawSharedMemoryQueue::Read, as the
// reader calls it) draining a concurrent writer (TraceWriter), beside the peers a user would
// pick for the same job, carrying the same records in the same byte budget:
//   - boost::lockfree::spsc_queue<char>: a byte ring of the budget; each record is a 4-byte
//     length and the payload, pushed in one call;
//   - boost::interprocess::message_queue: budget / payload messages of payload bytes (its own
//     index and message headers come on top);
//   - memcpy of the payload, one copy per record, as the limit of any of them.
// Writer and reader run as two threads of this process and as two processes (the writer
// forked). Payloads 16, 56, 200, 1000 and 4000 bytes; budgets of 3840 bytes (the data area of
// a 4096-byte partition) and 1 MiB. A record that does not fit a budget is not run.
//
// Every record carries its sequence number; the reader checks it, so a benchmark that lost or
// reordered a record fails instead of reporting a figure. Writers of the lock-free queues wait
// while the queue is full and readers while it is empty with the same Waiter (spin, then yield,
// then short sleeps: the processors are shared, and two spinning sides on one processor would
// measure the scheduler); message_queue blocks in send and receive, as it is meant to be used.
// The reader runs on processor 0, the writer on processor 1, for every queue alike.
// One iteration reads BATCH records; records/s and bytes/s are counted per real time.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <boost/interprocess/anonymous_shared_memory.hpp>
#include <boost/interprocess/ipc/message_queue.hpp>
#include <boost/lockfree/spsc_queue.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/RawSharedMemoryQueue.h"
#include "oscom/OscomTypes.h"
#include "rth/RthAdmin.h"
#include "writer/TraceWriter.h"

namespace ipc = boost::interprocess;

namespace {

constexpr uint32_t BATCH = 512;
constexpr uint32_t SMALL_BUDGET = 3840;
constexpr uint32_t LARGE_BUDGET = 1048576;
constexpr uint32_t PAYLOADS[] = {16, 56, 200, 1000, 4000};
// Partition sizes whose data area is exactly the budget: 64 header + 128 queue header + 4 end
// marker around it.
constexpr uint32_t PARTITION_OVERHEAD = 196;
// A reader that sees nothing for this long gives up: the writer has died.
constexpr auto STALL_LIMIT = std::chrono::seconds(10);

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Waiting for the other side of a lock-free queue: spins first (the other side usually moves
// within a microsecond), then yields the processor, then sleeps briefly, so that a side whose
// partner has been descheduled lets it run instead of burning the shared processor.
class Waiter {
public:
    void Wait() {
        if (mRounds < SPINS) {
            ++mRounds;
            CpuRelax();
        } else if (mRounds < SPINS + YIELDS) {
            ++mRounds;
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    }
    void Reset() { mRounds = 0; }

private:
    static constexpr uint32_t SPINS = 128;
    static constexpr uint32_t YIELDS = 64;
    uint32_t mRounds = 0;
};

// Keeps the calling thread on one processor while it lives, then puts its old set back. The
// reader runs on processor 0 and the writer on processor 1 (when there are two), so that the two
// sides of a queue never take turns on one processor, whatever else the machine runs.
class PinToCpu {
public:
    explicit PinToCpu(int cpu) {
        mPinned = sched_getaffinity(0, sizeof mOld, &mOld) == 0 && cpu < CPU_COUNT(&mOld);
        if (mPinned) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            mPinned = sched_setaffinity(0, sizeof one, &one) == 0;
        }
    }
    ~PinToCpu() {
        if (mPinned) sched_setaffinity(0, sizeof mOld, &mOld);
    }
    PinToCpu(const PinToCpu&) = delete;
    PinToCpu& operator=(const PinToCpu&) = delete;

private:
    cpu_set_t mOld;
    bool mPinned = false;
};

constexpr int READER_CPU = 0;
constexpr int WRITER_CPU = 1;

// Shared between reader and writer, in memory that a fork keeps shared.
struct Control {
    std::atomic<int> go{0};
    std::atomic<int> stop{0};
    std::atomic<int> writerDone{0};
    std::atomic<int> writerFailed{0};
};
static_assert(std::atomic<int>::is_always_lock_free);

enum class Mode { THREADS, PROCESSES };

// Runs the writer beside the calling (reader) thread: a thread, or a forked child that leaves
// with _exit. Join waits for it and tells whether it ended well.
class WriterRunner {
public:
    WriterRunner(Mode mode, Control& control, std::function<bool()> body) : mControl(control) {
        auto run = [this, body] {
            PinToCpu pin(WRITER_CPU);
            bool ok = false;
            try {
                ok = body();
            } catch (...) {
                ok = false;
            }
            if (!ok) mControl.writerFailed = 1;
            mControl.writerDone = 1;
            return ok;
        };
        if (mode == Mode::THREADS) {
            mThread = std::thread(run);
        } else {
            mPid = fork();
            if (mPid < 0) throw std::runtime_error("fork failed");
            if (mPid == 0) _exit(run() ? 0 : 1);
        }
    }
    bool Join() {
        if (mThread.joinable()) {
            mThread.join();
            return mControl.writerFailed == 0;
        }
        int status = 0;
        waitpid(mPid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    Control& mControl;
    std::thread mThread;
    pid_t mPid = -1;
};

// A record: the payload of the given size whose first four bytes are the sequence number.
struct Record {
    explicit Record(uint32_t payload) : bytes(payload, 'r') {}
    void Stamp(uint32_t seq) { std::memcpy(bytes.data(), &seq, sizeof seq); }
    std::vector<char> bytes;
};

uint32_t SeqOf(const char* payload) {
    uint32_t seq;
    std::memcpy(&seq, payload, sizeof seq);
    return seq;
}

// The reader's side of one benchmark: fetch one record into buffer (false when none is there
// yet), and drain whatever is left once the writer has stopped.
struct ReaderSide {
    std::function<bool(char* buffer, uint32_t& length)> tryRead;
};

// Runs the timed loop: BATCH records per iteration, sequence checked; then stops the writer and
// drains until it has gone.
void ReadLoop(benchmark::State& state, Control& control, WriterRunner& writer, uint32_t payload,
              const ReaderSide& reader) {
    std::vector<char> buffer(payload + 64);
    uint32_t expected = 0;
    std::string error;
    PinToCpu pin(READER_CPU);
    control.go = 1;
    for (auto _ : state) {
        uint32_t got = 0;
        uint32_t idle = 0;
        std::chrono::steady_clock::time_point idleSince;
        Waiter waiter;
        while (got < BATCH) {
            uint32_t length = static_cast<uint32_t>(buffer.size());
            if (!reader.tryRead(buffer.data(), length)) {
                // The clock is read only while waiting, never per record.
                if (idle == 0) idleSince = std::chrono::steady_clock::now();
                if (++idle % 4096 == 0) {
                    if (control.writerDone != 0 ||
                        std::chrono::steady_clock::now() - idleSince > STALL_LIMIT) {
                        error = "writer stopped";
                        break;
                    }
                }
                waiter.Wait();
                continue;
            }
            idle = 0;
            waiter.Reset();
            if (length != payload) {
                continue;  // a filler element at the end of the data area
            }
            if (SeqOf(buffer.data()) != expected) {
                error = "record " + std::to_string(expected) + " lost or out of order";
                break;
            }
            ++expected;
            ++got;
        }
        if (!error.empty()) break;
    }
    control.stop = 1;
    std::vector<char> rest(payload + 64);
    while (control.writerDone == 0) {
        uint32_t length = static_cast<uint32_t>(rest.size());
        reader.tryRead(rest.data(), length);
    }
    // What the writer placed after its last check of the stop flag.
    for (uint32_t length = static_cast<uint32_t>(rest.size()); reader.tryRead(rest.data(), length);
         length = static_cast<uint32_t>(rest.size())) {
    }
    bool writerOk = writer.Join();
    if (error.empty() && !writerOk) error = "writer failed";
    if (!error.empty()) {
        state.SkipWithError(error.c_str());
        return;
    }
    const auto records = static_cast<double>(state.iterations()) * BATCH;
    state.counters["records_per_s"] = benchmark::Counter(records, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(records * payload));
}

// Memory for Control and a queue object, shared with a forked writer.
class SharedBlock {
public:
    explicit SharedBlock(size_t size) : mRegion(ipc::anonymous_shared_memory(size)) {}
    void* Address() const { return mRegion.get_address(); }

private:
    ipc::mapped_region mRegion;
};

// ---- ReadBytes: the trace queue in a real partition --------------------------------------

void BM_ReadBytes(benchmark::State& state, Mode mode, uint32_t budget, uint32_t payload) {
    SharedBlock shared(sizeof(Control));
    auto* control = new (shared.Address()) Control();
    rthPartitionRemove(PLIX_TRACE_PARTITION);
    if (rthPartitionCreate(PLIX_TRACE_PARTITION, budget + PARTITION_OVERHEAD) != RTH_OK) {
        state.SkipWithError("cannot create the partition");
        return;
    }
    {
        // Sets the queue up; the writer attaches to it later at its write offset.
        TraceWriter setUp(PLIX_TRACE_PARTITION);
        std::string problem;
        if (!setUp.Open(problem) || setUp.Capacity() != budget) {
            state.SkipWithError(("cannot set the queue up: " + problem).c_str());
            rthPartitionRemove(PLIX_TRACE_PARTITION);
            return;
        }
    }
    {
        RawSharedMemoryQueue queue;
        if (queue.Open() != 0 || !queue.AttachReader()) {
            state.SkipWithError("the reader cannot attach");
            rthPartitionRemove(PLIX_TRACE_PARTITION);
            return;
        }
        WriterRunner writer(mode, *control, [control, payload] {
            TraceWriter out(PLIX_TRACE_PARTITION);
            std::string problem;
            if (!out.Open(problem)) return false;
            out.SetDropWhenFull(true);  // a full queue returns at once; spin and retry
            Record record(payload);
            while (control->go == 0) std::this_thread::yield();
            uint32_t seq = 0;
            Waiter waiter;
            while (control->stop == 0) {
                record.Stamp(seq);
                TraceWriter::Result result = out.Write(record.bytes.data(), payload);
                if (result == TraceWriter::Result::WRITTEN) {
                    ++seq;
                    waiter.Reset();
                } else if (result == TraceWriter::Result::DROPPED) {
                    waiter.Wait();
                } else {
                    return false;
                }
            }
            return true;
        });
        ReaderSide reader{[&queue](char* buffer, uint32_t& length) {
            uint32_t status = queue.Read(buffer, length);
            return status == ZulOsCom::VSharedMemoryQueue::STATUS_OK && length > 0;
        }};
        ReadLoop(state, *control, writer, payload, reader);
    }
    rthPartitionRemove(PLIX_TRACE_PARTITION);
}

// ---- boost::lockfree::spsc_queue: a byte ring of the budget -------------------------------

template <uint32_t BUDGET>
void BM_SpscQueue(benchmark::State& state, Mode mode, uint32_t payload) {
    using Ring = boost::lockfree::spsc_queue<char, boost::lockfree::capacity<BUDGET>>;
    // The ring behind the control block, on a cache line of its own.
    constexpr size_t RING_AT = (sizeof(Control) + 63) / 64 * 64;
    static_assert(alignof(Ring) <= 64);
    SharedBlock shared(RING_AT + sizeof(Ring));
    auto* control = new (shared.Address()) Control();
    auto* ring = new (static_cast<char*>(shared.Address()) + RING_AT) Ring();
    const uint32_t framed = payload + 4;
    WriterRunner writer(mode, *control, [control, ring, payload, framed] {
        std::vector<char> record(framed, 'r');
        std::memcpy(record.data(), &payload, 4);
        while (control->go == 0) std::this_thread::yield();
        uint32_t seq = 0;
        Waiter waiter;
        while (control->stop == 0) {
            if (ring->write_available() < framed) {
                waiter.Wait();
                continue;
            }
            waiter.Reset();
            std::memcpy(record.data() + 4, &seq, sizeof seq);
            ring->push(record.data(), framed);
            ++seq;
        }
        return true;
    });
    ReaderSide reader{[ring](char* buffer, uint32_t& length) {
        if (ring->read_available() < 4) return false;
        uint32_t size = 0;
        ring->pop(reinterpret_cast<char*>(&size), 4);
        // Pushed in one call with its length, so the payload is there in full.
        length = static_cast<uint32_t>(ring->pop(buffer, std::min(size, length)));
        return true;
    }};
    ReadLoop(state, *control, writer, payload, reader);
    ring->~Ring();
}

// ---- boost::interprocess::message_queue -----------------------------------------------------

void BM_MessageQueue(benchmark::State& state, Mode mode, uint32_t budget, uint32_t payload) {
    SharedBlock shared(sizeof(Control));
    auto* control = new (shared.Address()) Control();
    const std::string name = "plixbench." + std::to_string(getpid()) + ".mq";
    ipc::message_queue::remove(name.c_str());
    {
        ipc::message_queue queue(ipc::create_only, name.c_str(), budget / payload, payload);
        WriterRunner writer(mode, *control, [control, name, payload] {
            ipc::message_queue out(ipc::open_only, name.c_str());
            Record record(payload);
            while (control->go == 0) std::this_thread::yield();
            uint32_t seq = 0;
            while (control->stop == 0) {
                record.Stamp(seq++);
                out.send(record.bytes.data(), payload, 0);
            }
            return true;
        });
        ReaderSide reader{[&queue, control](char* buffer, uint32_t& length) {
            ipc::message_queue::size_type received = 0;
            unsigned int priority = 0;
            if (control->stop != 0) {
                // Draining after the end: never block on a writer that has gone.
                if (!queue.try_receive(buffer, length, received, priority)) return false;
            } else {
                queue.receive(buffer, length, received, priority);
            }
            length = static_cast<uint32_t>(received);
            return true;
        }};
        ReadLoop(state, *control, writer, payload, reader);
    }
    ipc::message_queue::remove(name.c_str());
}

// ---- memcpy: one copy of each record, the limit --------------------------------------------

void BM_Memcpy(benchmark::State& state, uint32_t budget, uint32_t payload) {
    // Records sit in slots of the budget as they would in the queue's data area.
    const uint32_t slot = static_cast<uint32_t>(ZulOsCom::ElementSlotSize(payload));
    std::vector<char> area(budget, 'm');
    std::vector<char> buffer(payload);
    uint32_t offset = 0;
    for (auto _ : state) {
        for (uint32_t i = 0; i < BATCH; ++i) {
            std::memcpy(buffer.data(), area.data() + offset, payload);
            benchmark::ClobberMemory();
            offset += slot;
            if (offset + slot > budget) offset = 0;
        }
    }
    const auto records = static_cast<double>(state.iterations()) * BATCH;
    state.counters["records_per_s"] = benchmark::Counter(records, benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(records * payload));
}

void RegisterAll() {
    const std::pair<Mode, const char*> modes[] = {{Mode::THREADS, "threads"},
                                                  {Mode::PROCESSES, "processes"}};
    for (uint32_t budget : {SMALL_BUDGET, LARGE_BUDGET}) {
        for (uint32_t payload : PAYLOADS) {
            // The longest record the trace queue takes is the budget less 72 bytes; the byte
            // ring needs room for the length as well.
            if (payload + 72 > budget) continue;
            const std::string tail = "/" + std::to_string(budget) + "/" + std::to_string(payload);
            for (const auto& [mode, modeName] : modes) {
                const std::string m = std::string("/") + modeName;
                benchmark::RegisterBenchmark(("ReadBytes" + m + tail).c_str(), BM_ReadBytes, mode,
                                             budget, payload)
                    ->UseRealTime();
                if (budget == SMALL_BUDGET) {
                    benchmark::RegisterBenchmark(("spsc_queue" + m + tail).c_str(),
                                                 BM_SpscQueue<SMALL_BUDGET>, mode, payload)
                        ->UseRealTime();
                } else {
                    benchmark::RegisterBenchmark(("spsc_queue" + m + tail).c_str(),
                                                 BM_SpscQueue<LARGE_BUDGET>, mode, payload)
                        ->UseRealTime();
                }
                benchmark::RegisterBenchmark(("message_queue" + m + tail).c_str(),
                                             BM_MessageQueue, mode, budget, payload)
                    ->UseRealTime();
            }
            benchmark::RegisterBenchmark(("memcpy/-" + tail).c_str(), BM_Memcpy, budget, payload)
                ->UseRealTime();
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Partitions of this run never meet a real one or another run's.
    const std::string prefix = "plixbench." + std::to_string(getpid()) + ".";
    setenv("RTH_SHM_PREFIX", prefix.c_str(), 1);
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
