// PartitionReport: decodes a partition's bytes for an operator (rthpart show): management
// header, checksum state, reference count, end marker and the queue header with its bytes
// pending.
//
// The bytes are untrusted and may change while they are read: every field is read only when it
// lies wholly inside [base, base + size), shared fields are read atomically, and nothing is
// written. What cannot be read is reported as missing, what is read but wrong as invalid.
#pragma once

#include <cstdint>
#include <string>

class PartitionReport {
public:
    // One "label: value" line per item, each ending in "\n". name: the partition's name as the
    // operator gave it; base: its mapping of size bytes (base may be null only when size is 0).
    static std::string Describe(const std::string& name, const uint8_t* base, uint32_t size);

    // Unread bytes from readOffset up to writeOffset in a data area of capacity bytes, counting
    // across the end when the writer has wrapped. Offsets below capacity.
    static uint32_t BytesPending(uint32_t capacity, uint32_t writeOffset, uint32_t readOffset);
};
