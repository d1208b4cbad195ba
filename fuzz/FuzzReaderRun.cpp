// RunReader: Open, AttachReader and the read loop's calls of Read over a fuzzed partition,
// with the checks that hold for every image.
#include "fuzz/FuzzReaderRun.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/RawSharedMemoryQueue.h"
#include "diag/ZulAssert.h"
#include "oscom/OscomTypes.h"
#include "oscom/VSharedMemoryQueue.h"
#include "oscom/VShmHeader.h"
#include "rth/fake/RthFake.h"

namespace PlixFuzz {

namespace {

using ZulOsCom::VSharedMemoryQueue;

constexpr uint32_t REF_COUNT_AT = offsetof(ZulOsCom::VShmHeader, refCount);
constexpr uint32_t QUEUE_AT = ZulOsCom::SHM_MGMT_HEADER_SIZE;
constexpr uint32_t WRITE_OFFSET_AT = QUEUE_AT + offsetof(VSharedMemoryQueue, mWriteOffset);
constexpr uint32_t CAPACITY_AT = QUEUE_AT + offsetof(VSharedMemoryQueue, mCapacity);
constexpr uint32_t READ_OFFSET_AT = QUEUE_AT + offsetof(VSharedMemoryQueue, mReadOffset);

// The buffer offered to Read: exactly its capacity, so that AddressSanitizer sees a copy
// beyond it.
class ReadBuffer {
public:
    explicit ReadBuffer(uint32_t size) { Resize(size); }
    void Resize(uint32_t size) {
        mBytes.reset(new uint8_t[size]);
        mSize = size;
    }
    uint8_t* Data() const { return mBytes.get(); }
    uint32_t Size() const { return mSize; }

private:
    std::unique_ptr<uint8_t[]> mBytes;
    uint32_t mSize = 0;
};

void CheckStatus(const ReadCall& call) {
    switch (call.status) {
        case VSharedMemoryQueue::STATUS_OK:
            if (call.length > call.offered) {
                Violation("status 0 with a length beyond the buffer", call.length, call.offered);
            }
            return;
        case VSharedMemoryQueue::STATUS_BUFFER_SMALL:
            if (call.length <= call.offered) {
                Violation("status 8 with a length that fits", call.length, call.offered);
            }
            return;
        case VSharedMemoryQueue::STATUS_NOT_VALID:
            if (call.length != call.offered) {
                Violation("status 11 changed the length", call.length, call.offered);
            }
            return;
        default:
            Violation("unexpected status with a buffer and a length", call.status);
    }
}

}  // namespace

void Violation(const char* what, uint32_t a, uint32_t b) {
    std::fprintf(stderr, "fuzz violation: %s (%u, %u)\n", what, a, b);
    std::abort();
}

ReaderRunResult RunReader(FuzzPartition& partition, const ReaderRunOptions& options) {
    ReaderRunResult result;
    const bool hasHeader = partition.Size() >= ZulOsCom::SHM_MGMT_HEADER_SIZE;
    const uint32_t refCountBefore = hasHeader ? partition.Load32(REF_COUNT_AT) : 0;
    bool fenced = false;
    bool readsDone = false;
    auto finishReads = [&] {
        if (!readsDone && result.attached && options.onReadsDone) {
            options.onReadsDone();
        }
        readsDone = true;
        if (fenced) {
            partition.Unfence();
            fenced = false;
        }
    };

    {
        auto queue = std::make_shared<RawSharedMemoryQueue>();
        try {
            result.openStatus = queue->Open();
            if (result.openStatus == 0 && queue->AttachReader()) {
                result.attached = true;
                uint8_t* queueBegin = partition.Base() + QUEUE_AT;
                uint8_t* dataEnd = queueBegin + ZulOsCom::SIZEOF_QUEUE_HDR + queue->DataAreaSize();
                partition.Fence(queueBegin, dataEnd);
                fenced = true;
                if (options.onAttached) {
                    options.onAttached(queueBegin, dataEnd);
                }

                ReadBuffer buffer(options.firstBufferSize);
                for (uint32_t i = 0; i < options.maxCalls; ++i) {
                    ReadCall call;
                    call.readOffsetBefore = partition.Load32(READ_OFFSET_AT);
                    call.writeOffsetBefore = partition.Load32(WRITE_OFFSET_AT);
                    call.capacityBefore = partition.Load32(CAPACITY_AT);
                    call.offered = buffer.Size();
                    call.dest = buffer.Data();
                    uint32_t length = call.offered;
                    ++result.reads;
                    call.status = queue->Read(buffer.Data(), length);
                    call.length = length;
                    call.readOffsetAfter = partition.Load32(READ_OFFSET_AT);
                    CheckStatus(call);
                    if (options.onRead) {
                        options.onRead(call);
                    }
                    const bool idle =
                        (call.status == VSharedMemoryQueue::STATUS_OK && call.length == 0 &&
                         call.readOffsetAfter == partition.Load32(WRITE_OFFSET_AT)) ||
                        call.status == VSharedMemoryQueue::STATUS_NOT_VALID;
                    if (idle && options.stopWhenIdle) {
                        break;
                    }
                    if (call.status == VSharedMemoryQueue::STATUS_BUFFER_SMALL &&
                        call.length <= queue->DataAreaSize()) {
                        buffer.Resize(call.length);  // read it in the next call
                    }
                }
            }
        } catch (const PlixBase::ZulAssertFailure& failure) {
            result.asserted = true;
            result.assertion = failure.what();
        }
        finishReads();
    }  // the queue object and its partition object go here

    if (hasHeader && partition.Load32(REF_COUNT_AT) != refCountBefore) {
        Violation("refCount not given back", partition.Load32(REF_COUNT_AT), refCountBefore);
    }
    const RthFake& fake = RthFake::Get();
    const bool assertedInOpen = result.asserted && result.openStatus == -1;
    if (!assertedInOpen && static_cast<size_t>(fake.calls.open) != fake.closedHandles.size()) {
        Violation("handle not closed", static_cast<uint32_t>(fake.calls.open),
                  static_cast<uint32_t>(fake.closedHandles.size()));
    }
    return result;
}

}  // namespace PlixFuzz
