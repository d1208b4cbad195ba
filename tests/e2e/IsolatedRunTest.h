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
#include <vector>

namespace PlixTest {

// Why this machine cannot give a process a private /tmp (a mount namespace with a tmpfs of its
// own), or empty when it can. The shipped reader knows one log directory, /tmp/jub_logs, so it
// is only ever run in a private /tmp.
std::string NoPrivateTmp();

// The command line that runs program with args in a mount namespace of its own whose /tmp is a
// new tmpfs (mode 1777); a build tree under /tmp (a clone there) stays in view through a bind
// mount of its top folder. Exit status 97 when the namespace cannot be set up. With then empty
// the program's status is the command's; otherwise the shell commands in then run after it,
// with its status in $s, and end the command.
std::vector<std::string> InPrivateTmp(const std::string& program,
                                      const std::vector<std::string>& args = {},
                                      const std::string& then = "");

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
