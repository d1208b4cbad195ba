// PartitionReport: the operator's view of a partition, read field by field within bounds.
#include "tools/rthpart/PartitionReport.h"

#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

#include "oscom/OscomTypes.h"
#include "oscom/PartitionRules.h"
#include "oscom/SharedAccess.h"
#include "oscom/VSharedMemoryQueue.h"
#include "oscom/VShmHeader.h"

using ZulOsCom::PartitionRules;
using ZulOsCom::SharedAccess;
using ZulOsCom::SHM_CHECKSUMMED_BYTES;
using ZulOsCom::SHM_END_MARKER;
using ZulOsCom::SHM_END_MARKER_SIZE;
using ZulOsCom::VSharedMemoryQueue;
using ZulOsCom::VShmHeader;

namespace {

constexpr uint32_t QUEUE_AT = PartitionRules::QUEUE_HEADER_OFFSET;

// One byte of the partition, read atomically (another process may be writing it).
uint8_t Byte(const uint8_t* base, uint32_t offset) {
    return SharedAccess::Load(base[offset], std::memory_order_relaxed);
}

// Reads the little-endian 32-bit field at offset when it lies inside the partition. Aligned
// fields (all header fields; the mapping is page-aligned) are read with one atomic load, so
// another process's store never tears; an unaligned end marker is read byte by byte.
bool Load32(const uint8_t* base, uint32_t size, uint32_t offset, uint32_t& value) {
    if (size < 4 || offset > size - 4) {
        return false;
    }
    if (reinterpret_cast<uintptr_t>(base + offset) % 4 == 0) {
        value = SharedAccess::Load(*reinterpret_cast<const uint32_t*>(base + offset),
                                   std::memory_order_acquire);
    } else {
        value = SharedAccess::LoadLittleEndian32(base + offset);
    }
    return true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void Line(std::string& out, const char* label, const std::string& value) {
    out += Format("%-14s %s\n", label, value.c_str());
}

std::string Missing(uint32_t needed, uint32_t size) {
    return Format("missing (needs %" PRIu32 " bytes, partition has %" PRIu32 ")", needed, size);
}

// The header's name field: printable characters as they are, others as \xNN, up to the NUL.
std::string QuotedName(const uint8_t* base) {
    std::string text = "\"";
    uint32_t i = 0;
    for (; i < 32; ++i) {
        uint8_t c = Byte(base, offsetof(VShmHeader, name) + i);
        if (c == 0) {
            break;
        }
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text += static_cast<char>(c);
        } else {
            text += Format("\\x%02X", c);
        }
    }
    text += "\"";
    if (i == 32) {
        text += " (invalid: no terminating NUL)";
    }
    return text;
}

// What is wrong with a queue header, in the operator's words; null for none.
const char* ProblemText(PartitionRules::QueueProblem problem) {
    switch (problem) {
        case PartitionRules::QueueProblem::NONE:
            break;
        case PartitionRules::QueueProblem::CAPACITY_ZERO:
            return "capacity is 0";
        case PartitionRules::QueueProblem::CAPACITY_UNEXPECTED:
            return "capacity is not the expected one";  // off the 64-byte grid or too large
        case PartitionRules::QueueProblem::WRITE_OFFSET:
            return "write offset outside the data area or not 64-aligned";
        case PartitionRules::QueueProblem::READ_OFFSET:
            return "read offset outside the data area or not 64-aligned";
        case PartitionRules::QueueProblem::ATTACH_COUNT:
            return "attach count below 1";
    }
    return nullptr;
}

// size: the bytes mapped; used: the bytes the reader uses, up to the header's size when that
// fits (the queue's capacity follows from it).
void DescribeQueue(std::string& out, const uint8_t* base, uint32_t size, uint32_t used) {
    // The queue header lies at the start of the user area, which ends at the end marker.
    if (size < PartitionRules::MIN_SIZE_FOR_QUEUE_HEADER) {
        Line(out, "queue:", Missing(PartitionRules::MIN_SIZE_FOR_QUEUE_HEADER, size));
        return;
    }
    uint32_t writeOffset = 0;
    uint32_t readOffset = 0;
    uint32_t capacity = 0;
    uint32_t attach = 0;
    Load32(base, size, QUEUE_AT + offsetof(VSharedMemoryQueue, mWriteOffset), writeOffset);
    Load32(base, size, QUEUE_AT + offsetof(VSharedMemoryQueue, mReadOffset), readOffset);
    Load32(base, size, QUEUE_AT + offsetof(VSharedMemoryQueue, mCapacity), capacity);
    Load32(base, size, QUEUE_AT + offsetof(VSharedMemoryQueue, mAttachCount), attach);

    // What the reader expects at most: (user area - queue header) rounded down to 64.
    const uint32_t expected = PartitionRules::CapacityForPartition(used);
    const char* problem = ProblemText(PartitionRules::CheckQueue(
        {capacity, writeOffset, readOffset, static_cast<int32_t>(attach)}, used));

    Line(out, "write offset:", Format("%" PRIu32, writeOffset));
    Line(out, "read offset:", Format("%" PRIu32, readOffset));
    Line(out, "capacity:", Format("%" PRIu32 " (expected %" PRIu32 ")", capacity, expected));
    Line(out, "attach count:", Format("%" PRId32, static_cast<int32_t>(attach)));
    if (problem == nullptr) {
        Line(out, "bytes pending:",
             Format("%" PRIu32, PartitionReport::BytesPending(capacity, writeOffset, readOffset)));
        Line(out, "queue:", "valid");
    } else {
        Line(out, "bytes pending:", "unknown");
        Line(out, "queue:", Format("invalid (%s)", problem));
    }
}

}  // namespace

uint32_t PartitionReport::BytesPending(uint32_t capacity, uint32_t writeOffset,
                                       uint32_t readOffset) {
    return writeOffset >= readOffset ? writeOffset - readOffset
                                     : capacity - readOffset + writeOffset;
}

std::string PartitionReport::Describe(const std::string& name, const uint8_t* base,
                                      uint32_t size) {
    std::string out;
    Line(out, "partition:", name);
    Line(out, "size:", Format("%" PRIu32 " bytes", size));
    if (base == nullptr) {
        size = 0;
    }

    if (size >= sizeof VShmHeader::name) {
        Line(out, "header name:", QuotedName(base));
    } else {
        Line(out, "header name:", Missing(sizeof VShmHeader::name, size));
    }
    uint32_t value = 0;
    uint32_t used = size;  // the bytes the reader uses: the header's size when it fits
    if (Load32(base, size, offsetof(VShmHeader, size), value)) {
        const bool fits = PartitionRules::HeaderSizeFits(value, size);
        used = fits ? value : size;
        Line(out, "header size:",
             Format("%" PRIu32 "%s", value,
                    !fits           ? " (invalid: beyond the partition or too small for a queue)"
                    : value < size ? " (the partition grew; the reader uses this many bytes)"
                                    : ""));
    } else {
        Line(out, "header size:", Missing(offsetof(VShmHeader, size) + 4, size));
    }
    if (Load32(base, size, offsetof(VShmHeader, version), value)) {
        Line(out, "version:",
             Format("0x%08" PRIX32 " (%s)", value,
                    PartitionRules::VersionMatches(value) ? "ok" : "invalid: expected 0x00020000"));
    } else {
        Line(out, "version:", Missing(offsetof(VShmHeader, version) + 4, size));
    }
    uint32_t low = 0;
    uint32_t high = 0;
    if (Load32(base, size, offsetof(VShmHeader, initTime), low) &&
        Load32(base, size, offsetof(VShmHeader, initTime) + 4, high)) {
        uint64_t initTime = (static_cast<uint64_t>(high) << 32) | low;
        Line(out, "initTime:",
             Format("%" PRIu64 "%s", initTime, initTime == 0 ? " (not initialised)" : ""));
    } else {
        Line(out, "initTime:", Missing(offsetof(VShmHeader, initTime) + 8, size));
    }
    if (size >= SHM_CHECKSUMMED_BYTES) {
        const uint8_t sum = ZulOsCom::ShmHeaderByteSum(base);
        uint8_t checksum = Byte(base, offsetof(VShmHeader, checksum));
        Line(out, "checksum:",
             PartitionRules::ChecksumHolds(sum)
                 ? Format("0x%02X (valid)", checksum)
                 : Format("0x%02X (invalid: byte sum 0x%02X)", checksum, sum));
    } else {
        Line(out, "checksum:", Missing(SHM_CHECKSUMMED_BYTES, size));
    }
    if (Load32(base, size, offsetof(VShmHeader, refCount), value)) {
        Line(out, "refCount:", Format("%" PRId32, static_cast<int32_t>(value)));
    } else {
        Line(out, "refCount:", Missing(offsetof(VShmHeader, refCount) + 4, size));
    }
    if (size >= PartitionRules::MIN_SIZE_FOR_HEADERS) {
        Load32(base, size, size - SHM_END_MARKER_SIZE, value);
        Line(out, "end marker:",
             Format("0x%08" PRIX32 " (%s)", value,
                    value == SHM_END_MARKER ? "ok" : "invalid: not 0xDEDEDEDE"));
    } else {
        Line(out, "end marker:", Missing(PartitionRules::MIN_SIZE_FOR_HEADERS, size));
    }
    DescribeQueue(out, base, size, used);
    return out;
}
