// IsolatedRunTest: the fixture base of the end-to-end suites. Each case gets partitions and a
// work directory of its own, so that suites and cases can run at the same time on one host
// (and beside a real reader) without meeting:
//   - RTH_SHM_PREFIX is set to "<name>.<pid>.<case>." (mPrefix), so that every partition the
//     case or its children make lives under that prefix;
//   - the work directory <tmp>/<name>.<pid>.<case> (mWork) is made empty, with mLogDir its
//     "logs" (not made: some cases want it missing or planted);
//   - TearDown removes the work directory and every partition object under the prefix.
// Programs of the build (reader_under_test, plixwrite) sit beside the test executable.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

namespace PlixTest {

class IsolatedRunTest : public ::testing::Test {
protected:
    // name: the suite's mark in prefixes and directory names ("plixe2e").
    explicit IsolatedRunTest(std::string name) : mName(std::move(name)) {}

    void SetUp() override;
    void TearDown() override;

    // The path of a program built beside the test executable.
    std::string Program(const std::string& name) const;

    std::string mPrefix;
    std::filesystem::path mWork;
    std::filesystem::path mLogDir;
    std::string mReader;  // reader_under_test

private:
    const std::string mName;
};

}  // namespace PlixTest
