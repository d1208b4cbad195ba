// ZUL_ASSERT in the build of the fuzz targets: a failure writes the same one stderr line as the
// fatal build, then throws ZulAssertFailure, and the program goes on.
#include <gtest/gtest.h>

#include <string>

#include "diag/ZulAssert.h"

namespace Probe {

struct Thrower {
    __attribute__((noinline)) static void Check(int value) { ZUL_ASSERT(value < 10); }
};

}  // namespace Probe

namespace {

TEST(ZulAssertThrowsTest, FailureWritesOneLineAndThrowsEachTime) {
    for (int round = 0; round < 2; ++round) {
        testing::internal::CaptureStderr();
        std::string what;
        try {
            Probe::Thrower::Check(10 + round);
        } catch (const PlixBase::ZulAssertFailure& e) {
            what = e.what();
        }
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(what, "value < 10");
        const std::string start =
            "diag_throws_test: fatal: ZUL_ASSERT failed [value < 10] in Probe::Thrower::Check, line ";
        ASSERT_EQ(err.rfind(start, 0), 0u) << err;
        const std::string rest = err.substr(start.size());
        const size_t digits = rest.find_first_not_of("0123456789");
        EXPECT_GT(digits, 0u) << err;
        EXPECT_TRUE(rest.substr(digits) == "\n" || rest.substr(digits) == "\r\n") << err;
    }
    // A passing check writes nothing.
    testing::internal::CaptureStderr();
    Probe::Thrower::Check(3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
