// Helpers for the tools' tests: a private partition namespace per test process, running a tool
// as a child process, and reading a partition's bytes from the layout alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace PlixToolTest {

// Sets RTH_SHM_PREFIX to "plixtest.<pid>." for the process (children inherit it) and removes
// every object under it, of whatever kind, when created and when destroyed. One per test.
class PrivatePartitions {
public:
    PrivatePartitions();
    ~PrivatePartitions();
    PrivatePartitions(const PrivatePartitions&) = delete;
    PrivatePartitions& operator=(const PrivatePartitions&) = delete;

    // /dev/shm/<prefix>name
    std::string Path(const std::string& name) const;
    // Names of the partitions under the prefix, sorted.
    std::vector<std::string> Names() const;

private:
    std::string mPrefix;
};

struct ToolResult {
    int exitCode = -1;  // exit status, or -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

// Runs program with args, feeding input on its standard input; waits for it to end.
ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input = "");

// Number of lines in text (a last line without line feed counts).
size_t LineCount(const std::string& text);

// The little-endian 32-bit value at offset.
inline uint32_t Get32(const uint8_t* base, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, base + offset, 4);
    return value;
}

// A partition mapped for inspection; unmapped when destroyed.
class MappedPartition {
public:
    explicit MappedPartition(const std::string& name);
    ~MappedPartition();
    MappedPartition(const MappedPartition&) = delete;
    MappedPartition& operator=(const MappedPartition&) = delete;
    uint8_t* Base() const { return mBase; }
    uint32_t Size() const { return mSize; }

private:
    int32_t mHandle = -1;
    uint8_t* mBase = nullptr;
    uint32_t mSize = 0;
};

}  // namespace PlixToolTest
