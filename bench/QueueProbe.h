// QueueProbe: the queue header of a partition seen from outside, for benchmarks that must know
// when the reader has attached or caught up. Maps the partition through the partition library
// without registering in its management header, and only reads: the write and read offsets
// and the attach count, each with an atomic load.
//
// The partition must exist and hold a queue set up by a writer. One thread; the mapping is
// given back on destruction.
#pragma once

#include <cstdint>
#include <string>

class QueueProbe {
public:
    // Maps partition name (under the current RTH_SHM_PREFIX). Throws std::runtime_error when
    // it cannot.
    explicit QueueProbe(const std::string& name);
    ~QueueProbe();

    QueueProbe(const QueueProbe&) = delete;
    QueueProbe& operator=(const QueueProbe&) = delete;

    uint32_t WriteOffset() const;
    uint32_t ReadOffset() const;
    int32_t AttachCount() const;

    // Bytes of the queue's data area (the offsets wrap there).
    uint32_t Capacity() const { return mCapacity; }

    // The reader has taken everything written so far.
    bool Drained() const { return ReadOffset() == WriteOffset(); }

private:
    uint32_t Load(uint32_t offset) const;

    int32_t mHandle = -1;
    const uint8_t* mQueue = nullptr;
    uint32_t mCapacity = 0;
};
