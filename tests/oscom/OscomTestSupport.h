// Helpers of the communication layer's tests: a fixture that captures diagnostic lines, the
// recorded sleeps of the platform seam, a memory region that ends at an inaccessible guard
// page, a header builder and regular expressions for death-test output.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "oscom/VShmHeader.h"
#include "tests/support/LogCapture.h"

namespace OscomTest {

// One diagnostic line, split into its parts.
struct DiagLine {
    std::string level;     // "ERROR", "INFO", ...
    std::string function;  // "ZulOsCom::VShmHeader::AddRefGetInitTime"
    std::string message;   // without line feeds
};

// Switches the diagnostic logger on (all levels) and captures its lines (PlixTest::LogCapture); resets the partition-library fake, the sleep seam (sleeps are
// recorded, not taken) and the test hooks of the communication layer.
class DiagCaptureTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::vector<DiagLine> Lines() const;
    // Messages of the lines reported by function at level, in order.
    std::vector<std::string> Messages(const std::string& level, const std::string& function) const;
    void ClearLines();
    // Milliseconds of every sleep asked for since SetUp.
    static std::vector<uint32_t>& Sleeps();

    // From here on every captured line is also written to stderr; for death-test children,
    // whose stderr the parent matches.
    void EchoToStderr();

private:
    std::unique_ptr<PlixTest::LogCapture> mCapture;
};

// size bytes of shared anonymous memory that end right at a PROT_NONE page, so that any access
// beyond them crashes; the start is as aligned as size allows (size a multiple of 64: 64).
// Shared on POSIX, so that a fork()ed death-test child's writes are seen by the parent (Windows
// runs a death test in a new process, which has a region of its own).
class GuardedRegion {
public:
    explicit GuardedRegion(size_t size);
    ~GuardedRegion();
    GuardedRegion(const GuardedRegion&) = delete;
    GuardedRegion& operator=(const GuardedRegion&) = delete;

    uint8_t* Begin() const { return mBegin; }
    size_t Size() const { return mSize; }

private:
    void* mMapping = nullptr;
    size_t mMappingSize = 0;
    uint8_t* mBegin = nullptr;
    size_t mSize = 0;
};

// Writes a valid management header at base: name, size, version, initTime, refCount and a
// checksum computed here (independently of VShmHeader::ComputeSum).
void WriteHeader(uint8_t* base, const std::string& name, uint32_t size, uint64_t initTime,
                 int32_t refCount);

// text with every character that is special in a regular expression escaped.
std::string Literal(const std::string& text);
// Matches the fatal line of a failed ZUL_ASSERT in function with expression text expr.
std::string FatalLine(const std::string& function, const std::string& expr);

}  // namespace OscomTest
