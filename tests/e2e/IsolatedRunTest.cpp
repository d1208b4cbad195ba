// IsolatedRunTest: a partition prefix and a work directory per case (see IsolatedRunTest.h).
#include "tests/e2e/IsolatedRunTest.h"

#include <unistd.h>

#include <cstdlib>

#include "tests/support/ShmObjects.h"

namespace fs = std::filesystem;

namespace PlixTest {

void IsolatedRunTest::SetUp() {
    const std::string tag = std::to_string(getpid()) + "." +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    mPrefix = mName + "." + tag + ".";
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    mWork = fs::temp_directory_path() / (mName + "." + tag);
    fs::remove_all(mWork);
    fs::create_directories(mWork);
    mLogDir = mWork / "logs";
    mReader = Program("reader_under_test");
}

void IsolatedRunTest::TearDown() {
    fs::remove_all(mWork);
    RemoveShmObjects(mPrefix);
}

std::string NoPrivateTmp() {
    const int status =
        std::system("unshare -m --propagation private sh -c 'mount -t tmpfs tmpfs /tmp' 2>/dev/null");
    return status == 0 ? "" : "no private mount namespace with its own /tmp here (unshare -m refused)";
}

std::vector<std::string> InPrivateTmp(const std::string& program,
                                      const std::vector<std::string>& args,
                                      const std::string& then) {
    const std::string script =
        "keep=; case $0 in /tmp/?*) keep=${0#/tmp/}; keep=${keep%%/*} ;; esac; "
        "if [ -n \"$keep\" ]; then mount --rbind /tmp /mnt || exit 97; fi; "
        "mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 97; "
        "if [ -n \"$keep\" ]; then mkdir \"/tmp/$keep\" && mount --bind \"/mnt/$keep\" "
        "\"/tmp/$keep\" || exit 97; fi; " +
        (then.empty() ? std::string("exec \"$0\" \"$@\"") : "\"$0\" \"$@\"; s=$?; " + then);
    std::vector<std::string> argv = {"/usr/bin/unshare", "-m", "--propagation", "private",
                                     "sh", "-c", script, program};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string IsolatedRunTest::Program(const std::string& name) const {
    char self[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    EXPECT_GT(n, 0) << "cannot read /proc/self/exe";
    if (n <= 0) return name;
    return (fs::path(std::string(self, static_cast<size_t>(n))).parent_path() / name).string();
}

}  // namespace PlixTest
