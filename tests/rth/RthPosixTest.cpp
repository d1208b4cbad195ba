// What only the POSIX partition library does: objects shared across processes, naming,
// prefixes, mode, the admin calls, and the objects it must refuse on a shared host (FIFOs,
// links, other users' or world-writable objects) with the reasons it gives for them. The five
// functions' contract, common to every implementation, is RthContractTest.cpp.
#include <grp.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/support/ShmObjects.h"
#include "tests/support/TestWaiting.h"

namespace {

// Runs body in a child process that SIGALRM ends after 60 s, so that a call waiting for good
// (in open on a FIFO, say) fails the test instead of hanging it. What body returned, or
// "<ended by signal N>".
std::string InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "<no pipe>";
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        alarm(60);
        const std::string result = body();
        size_t done = 0;
        while (done < result.size()) {
            ssize_t n = write(fds[1], result.data() + done, result.size() - done);
            if (n <= 0) _exit(1);
            done += static_cast<size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? "<ended by signal " + std::to_string(WTERMSIG(status)) + ">" : out;
}

// What the library makes of partition name, as "SIZE OPEN AREA CODE REASON": shmSizeGet's
// result, "open" or shmOpen's failure, the size variable after shmOpen (77 on entry),
// rthPartitionExplain's code and text.
std::string Probe(const char* name) {
    const uint32_t size = shmSizeGet(name);
    uint32_t area = 77;
    const int32_t handle = shmOpen(name, 0, &area);
    if (handle >= 0) shmClose(handle);
    char reason[RTH_REASON_SIZE] = "<unset>";
    const int32_t code = rthPartitionExplain(name, reason, sizeof reason);
    return std::to_string(size) + " " + (handle >= 0 ? "open" : std::to_string(handle)) + " " +
           std::to_string(area) + " " + std::to_string(code) + " " + reason;
}

std::string Remedy(const std::string& name) {
    return "; remove it and recreate it as root (rthpart remove " + name +
           ", then rthpart create " + name + " SIZE)";
}

std::vector<std::string> Listed() {
    std::vector<std::string> names;
    rthPartitionList(
        [](const char* name, uint64_t, void* context) {
            static_cast<std::vector<std::string>*>(context)->emplace_back(name);
        },
        &names);
    return names;
}

class RthPosixTest : public ::testing::Test {
protected:
    void SetUp() override {
        mPrefix = "plixtest." + std::to_string(getpid()) + ".";
        setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
        PlixTest::RemoveShmObjects(mPrefix);
    }
    void TearDown() override {
        setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
        PlixTest::RemoveShmObjects(mPrefix);
    }
    std::string Path(const std::string& name) const { return "/dev/shm/" + mPrefix + name; }
    std::string mPrefix;
};

TEST_F(RthPosixTest, WriterAndReaderProcessesShareOnePartition) {
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    struct stat st {};
    ASSERT_EQ(stat(Path("part").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_size, 4096);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        uint32_t size = 4096;
        int32_t h = shmOpen("part", 0, &size);
        auto* p = static_cast<uint8_t*>(shmAddrGet(h));
        if (h < 0 || p == nullptr || size != 4096) _exit(1);
        for (uint32_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i * 7 + 1);
        _exit(shmClose(h) == 0 ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    EXPECT_EQ(shmSizeGet("part"), 4096u);
    uint32_t size = 100;  // the size wanted; the library writes the size opened
    int32_t h = shmOpen("part", 0, &size);
    ASSERT_GE(h, 0);
    EXPECT_EQ(size, 4096u);
    auto* p = static_cast<uint8_t*>(shmAddrGet(h));
    ASSERT_NE(p, nullptr);
    for (uint32_t i = 0; i < size; ++i) {
        ASSERT_EQ(p[i], static_cast<uint8_t>(i * 7 + 1)) << i;
    }
    // Handles, second opens and cleanup: RthContractTest.cpp (RthPosixContract).
    EXPECT_EQ(shmClose(h), 0);
}

TEST_F(RthPosixTest, RoleLocksEndWithTheirProcessAndStayWithTheirObject) {
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    // Another process takes the reader's role and is killed without giving it back.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int32_t lock = -1;
        const char answer = rthPartitionLock("part", RTH_ROLE_READER, &lock, nullptr) == RTH_OK;
        if (write(ready[1], &answer, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    ASSERT_EQ(answer, 1);
    int32_t lock = -1;
    EXPECT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &lock, nullptr), RTH_BUSY);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &lock, nullptr), RTH_OK);

    // Removed and made anew: the lock stays on the old object, the new one's role is free and
    // has an identity of its own. Refused objects are refused as the other calls refuse them.
    RthPartitionIdentity old{};
    ASSERT_EQ(rthPartitionIdentify("part", &old), RTH_OK);
    ASSERT_EQ(rthPartitionRemove("part"), RTH_OK);
    EXPECT_EQ(rthPartitionIdentify("part", &old), RTH_NOT_FOUND);
    ASSERT_EQ(rthPartitionCreate("part", 8192), RTH_OK);
    RthPartitionIdentity fresh{};
    ASSERT_EQ(rthPartitionIdentify("part", &fresh), RTH_OK);
    EXPECT_NE(fresh.object, old.object);
    EXPECT_EQ(fresh.size, 8192u);
    int32_t second = -1;
    EXPECT_EQ(rthPartitionLock("part", RTH_ROLE_READER, &second, nullptr), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(second), RTH_OK);
    EXPECT_EQ(rthPartitionUnlock(lock), RTH_OK);
    ASSERT_EQ(chmod(Path("part").c_str(), 0666), 0);
    EXPECT_EQ(rthPartitionIdentify("part", &fresh), RTH_UNSAFE);
    EXPECT_EQ(rthPartitionLock("part", RTH_ROLE_WRITER, &second, nullptr), RTH_UNSAFE);
    ASSERT_EQ(unlink(Path("part").c_str()), 0);
    ASSERT_EQ(mkfifo(Path("part").c_str(), 0600), 0);
    EXPECT_EQ(InChild([] {
                  int32_t l = -1;
                  return std::to_string(rthPartitionLock("part", RTH_ROLE_WRITER, &l, nullptr)) +
                         " " + std::to_string(rthPartitionProbeLock("part", RTH_ROLE_READER));
              }),
              std::to_string(RTH_UNSAFE) + " " + std::to_string(RTH_UNSAFE));
}

TEST_F(RthPosixTest, MissingPartitionsAndBadArguments) {
    // What every implementation answers for a missing partition or handle: RthContractTest.cpp.
    EXPECT_EQ(shmSizeGet("../etc"), 0u);

    // Explain: absent and bad names, its text cut to the buffer and NUL-terminated.
    EXPECT_EQ(Probe("part"), "0 -1 77 " + std::to_string(RTH_NOT_FOUND) + " does not exist (no " +
                                 Path("part") + "); create it as root (rthpart create part SIZE)");
    char reason[8] = "xyzxyzx";
    EXPECT_EQ(rthPartitionExplain("part", reason, 0), RTH_NOT_FOUND);
    EXPECT_STREQ(reason, "xyzxyzx");
    EXPECT_EQ(rthPartitionExplain("part", reason, sizeof reason), RTH_NOT_FOUND);
    EXPECT_STREQ(reason, "does no");
    EXPECT_EQ(rthPartitionExplain("part", reason, 1), RTH_NOT_FOUND);
    EXPECT_STREQ(reason, "");
    EXPECT_EQ(rthPartitionExplain("part", nullptr, 100), RTH_NOT_FOUND);
    for (const char* bad : {static_cast<const char*>(nullptr), "", "a/b", "../etc"}) {
        EXPECT_EQ(rthPartitionExplain(bad, reason, sizeof reason), RTH_BAD_NAME);
        EXPECT_STREQ(reason, "is not ");
    }
    EXPECT_EQ(rthPartitionExplain(std::string(300, 'n').c_str(), nullptr, 0), RTH_BAD_NAME);
    // A prefix with '/' would reach into a directory: no name is usable under it.
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    setenv("RTH_SHM_PREFIX", (mPrefix + "/").c_str(), 1);
    EXPECT_EQ(rthPartitionExplain("part", nullptr, 0), RTH_BAD_NAME);
    EXPECT_EQ(shmSizeGet("part"), 0u);
}

TEST_F(RthPosixTest, PrefixesIsolatePartitions) {
    ASSERT_EQ(rthPartitionCreate("part", 8192), RTH_OK);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
    std::string other = mPrefix + "other.";
    setenv("RTH_SHM_PREFIX", other.c_str(), 1);
    EXPECT_EQ(shmSizeGet("part"), 0u);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_NOT_FOUND);
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    EXPECT_EQ(shmSizeGet("part"), 8192u);
}

TEST_F(RthPosixTest, AdminRefusesBadRequestsAndChangesNothing) {
    EXPECT_EQ(rthPartitionCreate("part", 0), RTH_BAD_SIZE);
    EXPECT_EQ(rthPartitionCreate("", 4096), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate(std::string(32, 'n').c_str(), 4096), RTH_BAD_NAME);
    EXPECT_EQ(rthPartitionCreate("a/b", 4096), RTH_BAD_NAME);
    EXPECT_EQ(shmSizeGet("part"), 0u);
    EXPECT_EQ(rthPartitionCreate(std::string(31, 'n').c_str(), 64), RTH_OK);
    EXPECT_EQ(rthPartitionRemove(std::string(31, 'n').c_str()), RTH_OK);

    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    EXPECT_EQ(rthPartitionCreate("part", 8192), RTH_EXISTS);
    EXPECT_EQ(shmSizeGet("part"), 4096u);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_OK);
    EXPECT_EQ(rthPartitionRemove("part"), RTH_NOT_FOUND);
}

TEST_F(RthPosixTest, ListShowsThisPrefixOnlyInNameOrder) {
    ASSERT_EQ(rthPartitionCreate("part", 4096), RTH_OK);
    ASSERT_EQ(rthPartitionCreate("alpha", 128), RTH_OK);
    std::string seen;
    auto visit = [](const char* name, uint64_t size, void* ctx) {
        *static_cast<std::string*>(ctx) += std::string(name) + "=" + std::to_string(size) + ";";
    };
    EXPECT_EQ(rthPartitionList(visit, &seen), RTH_OK);
    EXPECT_EQ(seen, "alpha=128;part=4096;");
    rthPartitionRemove("alpha");
}

TEST_F(RthPosixTest, RefusedObjectsAreNeitherOpenedNorWaitedOnNorChanged) {
    // A partition for the links to point at, and one that everybody may write.
    ASSERT_EQ(rthPartitionCreate("target", 4096), RTH_OK);
    ASSERT_EQ(rthPartitionCreate("open", 4096), RTH_OK);
    ASSERT_EQ(chmod(Path("open").c_str(), 0666), 0);
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink(Path("target").c_str(), Path("link").c_str()), 0);
    ASSERT_EQ(symlink(Path("nowhere").c_str(), Path("dangling").c_str()), 0);
    ASSERT_EQ(mkdir(Path("dir").c_str(), 0755), 0);
    struct stat target {};
    ASSERT_EQ(stat(Path("target").c_str(), &target), 0);

    const std::string refused = "0 -1 77 " + std::to_string(RTH_UNSAFE) + " ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"fifo", "is not a regular file (" + Path("fifo") + " is a FIFO)" + Remedy("fifo")},
        {"link", "is a symbolic link (" + Path("link") + " -> " + Path("target") +
                     "), which the library does not follow" + Remedy("link")},
        {"dangling", "is a symbolic link (" + Path("dangling") + " -> " + Path("nowhere") +
                         "), which the library does not follow" + Remedy("dangling")},
        {"open", "is writable by every user (mode 0666, owner " + PlixTest::MyOwnerText() + ")" +
                     Remedy("open")},
        {"dir", "is not a regular file (" + Path("dir") +
                    " is a directory); remove it as root (rm -r " + Path("dir") +
                    ") and recreate it (rthpart create dir SIZE)"},
    };
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        // In a child: a library that waited in open would hang here.
        EXPECT_EQ(InChild([&] { return Probe(name.c_str()); }), refused + reason);

        // Create does not touch what is there.
        struct stat before {
        }, after{};
        ASSERT_EQ(lstat(Path(name).c_str(), &before), 0);
        EXPECT_EQ(rthPartitionCreate(name.c_str(), 64), RTH_EXISTS);
        ASSERT_EQ(lstat(Path(name).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_size, before.st_size);
    }
    // Only what the library would open is listed.
    EXPECT_EQ(Listed(), std::vector<std::string>{"target"});

    // The links' targets are untouched: no file appeared, the partition kept size and mode.
    struct stat st {};
    EXPECT_NE(lstat(Path("nowhere").c_str(), &st), 0);
    ASSERT_EQ(stat(Path("target").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(PlixTest::ReadFile(Path("target")), std::string(4096, '\0'));

    // The remedy works: remove takes the FIFO and the link itself, not the link's target.
    EXPECT_EQ(rthPartitionRemove("fifo"), RTH_OK);
    EXPECT_EQ(rthPartitionRemove("link"), RTH_OK);
    EXPECT_NE(lstat(Path("link").c_str(), &st), 0);
    EXPECT_EQ(shmSizeGet("target"), 4096u);
    ASSERT_EQ(rthPartitionCreate("fifo", 4096), RTH_OK);
    EXPECT_EQ(
        InChild([] { return Probe("fifo"); }),
        "4096 open 4096 0 exists (owner " + PlixTest::MyOwnerText() + ", mode 0660, 4096 bytes)");
}

TEST_F(RthPosixTest, AnotherUsersObjectIsRefusedUntilRootOwnsIt) {
    const std::string why = PlixTest::CreateAsNobody(Path("foreign"), 4096, "0660");
    if (!why.empty()) {
        GTEST_SKIP() << "needs an object owned by user nobody: " << why;
    }
    const passwd* nobody = getpwnam("nobody");
    const group* nogroup = getgrnam("nogroup");
    ASSERT_NE(nobody, nullptr);
    ASSERT_NE(nogroup, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nogroup->gr_gid;
    const std::string owner = "uid " + std::to_string(uid) + " (nobody)";

    EXPECT_EQ(Probe("foreign"), "0 -1 77 " + std::to_string(RTH_UNSAFE) + " is owned by " + owner +
                                    ", not by root, and group-writable (mode 0660)" +
                                    Remedy("foreign"));
    struct stat st {};
    EXPECT_EQ(rthPartitionCreate("foreign", 64), RTH_EXISTS);
    ASSERT_EQ(stat(Path("foreign").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid);
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(Listed(), std::vector<std::string>{});

    // The owner alone decides, whatever the write bits.
    ASSERT_EQ(chmod(Path("foreign").c_str(), 0644), 0);
    EXPECT_EQ(Probe("foreign"), "0 -1 77 " + std::to_string(RTH_UNSAFE) + " is owned by " + owner +
                                    ", not by root (mode 0644)" + Remedy("foreign"));

    // For a process running as nobody the object is its own; root's 0660 partition is closed to
    // it by the system, which Explain reports as such.
    ASSERT_EQ(rthPartitionCreate("rootpart", 4096), RTH_OK);
    const std::string asNobody = InChild([&] {
        if (setgroups(0, nullptr) != 0 || setegid(gid) != 0 || seteuid(uid) != 0) {
            return std::string("<cannot become nobody>");
        }
        return Probe("foreign") + "|" + Probe("rootpart");
    });
    EXPECT_EQ(asNobody, "4096 open 4096 0 exists (owner " + owner + ", mode 0644, 4096 bytes)|" +
                            "0 -1 77 " + std::to_string(RTH_SYSTEM) + " cannot be opened (" +
                            Path("rootpart") + "): Permission denied");

    // Owned by root again (root-owned 0660): accepted and listed.
    ASSERT_EQ(chown(Path("foreign").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(Path("foreign").c_str(), 0660), 0);
    EXPECT_EQ(Probe("foreign"),
              "4096 open 4096 0 exists (owner uid 0 (root), mode 0660, 4096 bytes)");
    EXPECT_EQ(Listed(), (std::vector<std::string>{"foreign", "rootpart"}));
}

}  // namespace
