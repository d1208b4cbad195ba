// fuzz_partition_image: the reader's path over a whole partition image (management header,
// queue header, elements) taken from the fuzzer's input and served from memory by the fake.
//
// The image is the partition, byte for byte and of its own size. Two bytes of the management
// header that nothing reads (reserved, offsets 56 and 57) steer the run:
//   byte 56    capacity of the first buffer offered: 0 -> 4096 as the read loop, n -> n * 16;
//   byte 57    bit 0 set: take the checksum as it is (otherwise it is made right, as an
//              initialiser would, so that inputs reach the queue);
//              bit 1 set: take the header's size as it is (otherwise it is the image's size).
//
// Beyond the checks of RunReader, this target keeps a model of the partition: every element
// read must hold exactly the bytes at the read offset (or at offset 0 behind a wrap marker),
// the read offset must move as the slot sizes say, and afterwards the partition must be as it
// was but for what the reader may write (mReadOffset, mAttachCount once, cleared wrap flags).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/FuzzPartition.h"
#include "fuzz/FuzzReaderRun.h"
#include "oscom/OscomTypes.h"
#include "oscom/VSharedMemoryQueue.h"
#include "oscom/VShmHeader.h"

namespace {

using PlixFuzz::Violation;
using ZulOsCom::VSharedMemoryQueue;

constexpr uint32_t MAX_IMAGE = 1u << 20;
constexpr uint32_t KNOB_BUFFER_AT = 56;
constexpr uint32_t KNOB_FLAGS_AT = 57;
constexpr uint8_t KNOB_RAW_CHECKSUM = 1;
constexpr uint8_t KNOB_RAW_SIZE = 2;
constexpr uint32_t SIZE_AT = offsetof(ZulOsCom::VShmHeader, size);
constexpr uint32_t QUEUE_AT = ZulOsCom::SHM_MGMT_HEADER_SIZE;
constexpr uint32_t DATA_AT = QUEUE_AT + ZulOsCom::SIZEOF_QUEUE_HDR;
constexpr uint32_t ATTACH_COUNT_AT = QUEUE_AT + offsetof(VSharedMemoryQueue, mAttachCount);
constexpr uint32_t READ_OFFSET_AT = QUEUE_AT + offsetof(VSharedMemoryQueue, mReadOffset);
constexpr uint32_t WRAP_FLAG = offsetof(ZulOsCom::VQueueElementHdr, wrapFlag);

uint32_t Get32(const std::vector<uint8_t>& bytes, uint64_t at) {
    if (at + 4 > bytes.size()) {
        Violation("element header outside the partition", static_cast<uint32_t>(at));
    }
    uint32_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// The partition as the reader must leave it, updated call by call.
class PartitionModel {
public:
    explicit PartitionModel(const uint8_t* base, uint32_t size) : mBytes(base, base + size) {}

    // Checks one Read call against the model and applies its effect.
    void Apply(const PlixFuzz::ReadCall& call) {
        const uint32_t r = call.readOffsetBefore;
        mLastReadOffset = call.readOffsetAfter;
        if (call.status == VSharedMemoryQueue::STATUS_NOT_VALID ||
            (call.status == VSharedMemoryQueue::STATUS_OK && call.length == 0 &&
             r == call.writeOffsetBefore)) {
            if (call.readOffsetAfter != r) {
                Violation("read offset moved without an element", call.readOffsetAfter, r);
            }
            return;
        }
        // An element (or a wrap marker before one) was taken at r.
        uint64_t pos = r;
        if (mBytes.at(DATA_AT + r + WRAP_FLAG) != 0) {
            mBytes[DATA_AT + r + WRAP_FLAG] = 0;
            pos = 0;
        }
        const uint32_t elementLength = Get32(mBytes, DATA_AT + pos);
        if (elementLength != call.length) {
            Violation("length differs from the element's", call.length, elementLength);
        }
        if (call.status == VSharedMemoryQueue::STATUS_BUFFER_SMALL) {
            if (call.readOffsetAfter != pos) {
                Violation("element too long for the buffer was not left in place",
                          call.readOffsetAfter, static_cast<uint32_t>(pos));
            }
            return;
        }
        const uint64_t payload = DATA_AT + pos + ZulOsCom::SIZEOF_ELEMENT_HDR;
        if (payload + call.length > mBytes.size() ||
            std::memcmp(call.dest, mBytes.data() + payload, call.length) != 0) {
            Violation("payload differs from the element's bytes", static_cast<uint32_t>(pos),
                      call.length);
        }
        uint64_t next = pos + ZulOsCom::ElementSlotSize(call.length);
        if (next == call.capacityBefore) {
            next = 0;
        }
        if (call.readOffsetAfter != next) {
            Violation("read offset not moved past the element's slot", call.readOffsetAfter,
                      static_cast<uint32_t>(next));
        }
    }

    // After the run: the partition holds what the model holds, apart from mReadOffset and
    // mAttachCount, and, when an assertion ended the run, the wrap flag of the element the
    // failed call was taking.
    void Compare(const uint8_t* base, bool asserted, bool attached) {
        for (size_t i = 0; i < mBytes.size(); ++i) {
            if ((i >= READ_OFFSET_AT && i < READ_OFFSET_AT + 4) ||
                (i >= ATTACH_COUNT_AT && i < ATTACH_COUNT_AT + 4)) {
                continue;
            }
            if (asserted && i == static_cast<uint64_t>(DATA_AT) + mLastReadOffset + WRAP_FLAG) {
                continue;
            }
            if (base[i] != mBytes[i]) {
                Violation("the reader changed a byte it does not own", static_cast<uint32_t>(i),
                          base[i]);
            }
        }
        if (mBytes.size() >= ATTACH_COUNT_AT + 4) {
            const uint32_t before = Get32(mBytes, ATTACH_COUNT_AT);
            uint32_t after;
            std::memcpy(&after, base + ATTACH_COUNT_AT, sizeof after);
            if (attached && after != before + 1) {
                Violation("attach count not raised by one", after, before);
            }
        }
    }

    void SetLastReadOffset(uint32_t offset) { mLastReadOffset = offset; }

private:
    std::vector<uint8_t> mBytes;
    uint32_t mLastReadOffset = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > MAX_IMAGE) {
        return -1;
    }
    const uint32_t imageSize = static_cast<uint32_t>(size);
    PlixFuzz::FuzzPartition partition(data, imageSize);

    PlixFuzz::ReaderRunOptions options;
    if (imageSize >= ZulOsCom::SHM_MGMT_HEADER_SIZE) {
        uint8_t* base = partition.Base();
        const uint8_t flags = base[KNOB_FLAGS_AT];
        if ((flags & KNOB_RAW_SIZE) == 0) {
            std::memcpy(base + SIZE_AT, &imageSize, sizeof imageSize);
        }
        if ((flags & KNOB_RAW_CHECKSUM) == 0) {
            partition.FixChecksum();
        }
        if (base[KNOB_BUFFER_AT] != 0) {
            options.firstBufferSize = base[KNOB_BUFFER_AT] * 16u;
        }
    }
    options.maxCalls = imageSize / 32 + 8;

    PartitionModel model(partition.Base(), imageSize);
    if (imageSize >= READ_OFFSET_AT + 4) {
        model.SetLastReadOffset(partition.Load32(READ_OFFSET_AT));
    }
    options.onRead = [&model](const PlixFuzz::ReadCall& call) { model.Apply(call); };

    const PlixFuzz::ReaderRunResult result = PlixFuzz::RunReader(partition, options);
    model.Compare(partition.Base(), result.asserted, result.attached);
    return 0;
}
