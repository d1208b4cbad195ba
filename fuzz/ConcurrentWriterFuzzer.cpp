// fuzz_concurrent_writer: the reader's path over a partition whose queue header and elements
// a hostile writer changes from another thread while the reader reads.
//
// Input: a partition image followed by a mutation script. The image is as long as its
// management header's size field says (bytes 32 to 35) when that is between 64 and the input's
// length; otherwise the whole input is the image and there is no script. The checksum is made
// right, so that inputs reach the queue.
//
// Script: operations of 8 bytes { uint16 offset; uint8 kind; uint8 delay; uint32 value },
// little-endian. offset counts from the queue header, modulo the bytes the reader may touch
// while reading (queue header and data area as computed at attach); word operations round it
// down to 4. kind % 4: 0 store the 32-bit value, 1 store its low byte, 2 add it to the word,
// 3 store it and put the old word back at once (a value seen only for a moment). delay: spins
// before the operation. A mutator thread runs the script over and over from the first Read
// until the reader is done (at most MAX_PASSES times), with atomic accesses only, so that the
// harness itself is free of data races; the reader's copy of a payload may race with it, which
// is what sharing memory with a writer means.
//
// Checks: those of RunReader (statuses and lengths, no access outside the queue while reading,
// the partition released). The mutator never touches the management header, which the reader
// reads only in Open and in the release.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "fuzz/FuzzPartition.h"
#include "fuzz/FuzzReaderRun.h"
#include "oscom/OscomTypes.h"
#include "oscom/VShmHeader.h"

namespace {

constexpr uint32_t MAX_INPUT_SIZE = 1u << 20;
constexpr uint32_t SIZE_AT = offsetof(ZulOsCom::VShmHeader, size);
constexpr size_t OP_SIZE = 8;
constexpr uint32_t MAX_PASSES = 64;
constexpr uint32_t READ_CALLS = 256;

struct Operation {
    uint16_t offset;
    uint8_t kind;
    uint8_t delay;
    uint32_t value;
};

Operation Decode(const uint8_t* bytes) {
    Operation op;
    op.offset = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    op.kind = bytes[2];
    op.delay = bytes[3];
    std::memcpy(&op.value, bytes + 4, sizeof op.value);
    return op;
}

// Runs a script over [begin, end) on a thread of its own until told to stop. One worker serves
// every input of the process (started at the first, ended with the process): a thread per
// input would pile up the sanitizer's per-thread records over a long run.
class Mutator {
public:
    static Mutator& Get() {
        static Mutator mutator;
        return mutator;
    }

    // Hands the worker a script (kept by the caller until Stop) and lets it run.
    void Start(const uint8_t* script, size_t length, uint8_t* begin, uint8_t* end) {
        std::lock_guard<std::mutex> lock(mMutex);
        mScript = script;
        mLength = length;
        mBegin = begin;
        mSpan = static_cast<uint32_t>(end - begin);
        mStop.store(false);
        mJob = true;
        mWake.notify_all();
    }

    // Stops the script and returns when the worker no longer touches the memory.
    void Stop() {
        mStop.store(true);
        std::unique_lock<std::mutex> lock(mMutex);
        mWake.wait(lock, [this] { return !mJob; });
    }

private:
    Mutator() : mThread([this] { Serve(); }) {}

    ~Mutator() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mQuit = true;
            mWake.notify_all();
        }
        mThread.join();
    }

    void Serve() {
        std::unique_lock<std::mutex> lock(mMutex);
        for (;;) {
            mWake.wait(lock, [this] { return mJob || mQuit; });
            if (mQuit) {
                return;
            }
            lock.unlock();
            Run();
            lock.lock();
            mJob = false;
            mWake.notify_all();
        }
    }

    void Run() {
        for (uint32_t pass = 0; pass < MAX_PASSES && !mStop.load(); ++pass) {
            for (size_t at = 0; at + OP_SIZE <= mLength && !mStop.load(); at += OP_SIZE) {
                Apply(Decode(mScript + at));
            }
        }
    }

    void Apply(const Operation& op) {
        for (volatile uint32_t spin = 0; spin < op.delay; spin = spin + 1) {
        }
        const uint32_t offset = op.offset % mSpan;
        uint8_t* byte = mBegin + offset;
        auto* word = reinterpret_cast<uint32_t*>(mBegin + (offset & ~3u));
        switch (op.kind % 4) {
            case 0:
                __atomic_store_n(word, op.value, __ATOMIC_RELEASE);
                break;
            case 1:
                __atomic_store_n(byte, static_cast<uint8_t>(op.value), __ATOMIC_RELEASE);
                break;
            case 2:
                __atomic_fetch_add(word, op.value, __ATOMIC_SEQ_CST);
                break;
            default: {
                const uint32_t old = __atomic_exchange_n(word, op.value, __ATOMIC_SEQ_CST);
                __atomic_store_n(word, old, __ATOMIC_RELEASE);
                break;
            }
        }
    }

    std::mutex mMutex;
    std::condition_variable mWake;
    bool mJob = false;   // under mMutex: a script is handed over and not yet finished
    bool mQuit = false;  // under mMutex
    std::atomic<bool> mStop{false};
    // The job; written under mMutex before mJob is set, read by the worker while mJob is set.
    const uint8_t* mScript = nullptr;
    size_t mLength = 0;
    uint8_t* mBegin = nullptr;
    uint32_t mSpan = 0;
    std::thread mThread;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MAX_INPUT_SIZE) {
        return -1;
    }
    size_t imageSize = size;
    if (size >= ZulOsCom::SHM_MGMT_HEADER_SIZE) {
        uint32_t declared;
        std::memcpy(&declared, data + SIZE_AT, sizeof declared);
        if (declared >= ZulOsCom::SHM_MGMT_HEADER_SIZE && declared <= size) {
            imageSize = declared;
        }
    }
    PlixFuzz::FuzzPartition partition(data, static_cast<uint32_t>(imageSize));
    partition.FixChecksum();

    const uint8_t* script = data + imageSize;
    const size_t scriptLength = size - imageSize;
    const bool scripted = scriptLength >= OP_SIZE;
    PlixFuzz::ReaderRunOptions options;
    options.maxCalls = READ_CALLS;
    options.stopWhenIdle = !scripted;
    if (scripted) {
        options.onAttached = [script, scriptLength](uint8_t* queue, uint8_t* dataEnd) {
            Mutator::Get().Start(script, scriptLength, queue, dataEnd);
        };
        options.onReadsDone = [] { Mutator::Get().Stop(); };
    }
    PlixFuzz::RunReader(partition, options);
    return 0;
}
