// The decoder behind "rthpart show" on hostile bytes: every size from empty to past the queue
// header, garbage everywhere, buffers exactly as large as the partition (AddressSanitizer
// catches a read outside).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tools/rthpart/PartitionReport.h"

namespace {

TEST(PartitionReportTest, NeverReadsOutsideAndNamesWhatIsMissing) {
    for (uint32_t size = 0; size <= 400; ++size) {
        SCOPED_TRACE(size);
        for (uint8_t fill : {0x00, 0xFF, 0x5A}) {
            std::unique_ptr<uint8_t[]> bytes(new uint8_t[size > 0 ? size : 1]);
            std::memset(bytes.get(), fill, size);
            std::string report = PartitionReport::Describe("p", size > 0 ? bytes.get() : nullptr,
                                                           size);
            EXPECT_NE(report.find("partition:     p\n"), std::string::npos);
            bool headerMissing = report.find("refCount:      missing") != std::string::npos;
            EXPECT_EQ(headerMissing, size < 56);
            bool queueMissing = report.find("queue:         missing") != std::string::npos;
            EXPECT_EQ(queueMissing, size < 196);
            if (fill != 0 && size >= 196) {
                // Garbage offsets and capacity are never taken for a queue.
                EXPECT_NE(report.find("bytes pending: unknown"), std::string::npos);
                EXPECT_NE(report.find("queue:         invalid"), std::string::npos);
            }
            if (fill == 0xFF && size >= 32) {
                EXPECT_NE(report.find("(invalid: no terminating NUL)"), std::string::npos);
            }
        }
    }
}

}  // namespace
