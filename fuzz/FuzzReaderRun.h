// RunReader: the reader's own path over the partition of a FuzzPartition, for the fuzz
// targets: RawSharedMemoryQueue::Open, AttachReader, then Read as the read loop calls it (a
// 4096-byte buffer that grows to the length status 8 asks for, within the data area), until
// the queue is empty or not valid, or a fixed number of calls. The queue object is destroyed at
// the end, which gives the partition back.
//
// A failed ZUL_ASSERT (thrown as PlixBase::ZulAssertFailure in the fuzz build) is an expected
// outcome and ends the run. What must hold for every image is checked here, and a violation
// aborts the process (a libFuzzer finding) with one line on stderr:
//   - Read answers only 0, 8 or 11 (6 is impossible with a buffer and a length), with the
//     length as its status says: 0 -> at most the capacity offered, 8 -> more than it,
//     11 -> untouched;
//   - the queue object releases what it took: the management header's refCount is back at its
//     value before Open, and every handle shmOpen gave out was closed (unless the assertion
//     came out of Open itself, where the shipped program ends at once);
//   - under AddressSanitizer, no access outside the partition, and while reading none outside
//     the queue header and the data area the reader computed at attach.
// Single-threaded apart from what the hooks start; the hooks run on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fuzz/FuzzPartition.h"

namespace PlixFuzz {

// One Read call as the run saw it. The queue fields "before" are atomic loads taken right
// before the call; with a concurrent mutator they are only a hint.
struct ReadCall {
    uint32_t offered = 0;  // capacity offered in the length argument
    uint32_t status = 0;
    uint32_t length = 0;            // the length argument after the call
    const uint8_t* dest = nullptr;  // the buffer, offered bytes
    uint32_t readOffsetBefore = 0;
    uint32_t writeOffsetBefore = 0;
    uint32_t capacityBefore = 0;
    uint32_t readOffsetAfter = 0;
};

struct ReaderRunOptions {
    // Capacity of the first buffer offered (the read loop's 4096); later buffers grow on 8.
    uint32_t firstBufferSize = 4096;
    // Upper bound of Read calls.
    uint32_t maxCalls = 256;
    // Stop at the first call that finds the queue empty or not valid (a static image stays so).
    bool stopWhenIdle = true;
    // After each Read call.
    std::function<void(const ReadCall&)> onRead;
    // After a successful attach, before the first Read: the queue header and the end of the data
    // area the reader computed ([queue, dataEnd) is all it may touch while reading).
    std::function<void(uint8_t* queue, uint8_t* dataEnd)> onAttached;
    // After the last Read (also after a failed assertion), before the queue object goes.
    std::function<void()> onReadsDone;
};

struct ReaderRunResult {
    int32_t openStatus = -1;  // RawSharedMemoryQueue::Open, -1 when it threw
    bool attached = false;
    uint32_t reads = 0;
    bool asserted = false;  // a ZUL_ASSERT failed
    std::string assertion;  // its expression text
};

ReaderRunResult RunReader(FuzzPartition& partition, const ReaderRunOptions& options);

// Reports a broken expectation of a fuzz target on stderr and aborts.
[[noreturn]] void Violation(const char* what, uint32_t a = 0, uint32_t b = 0);

}  // namespace PlixFuzz
