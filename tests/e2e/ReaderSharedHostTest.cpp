// The reader on a host that other users share, from the outside: the real main routine
// (reader_under_test with an injected trace directory) on a partition laid out by hand, facing
// what another local user can plant: links at the trace directory and at its log names, FIFOs
// and directories under log names, a directory that is someone else's or writable by others,
// refused partition objects, a second reader, closed standard streams. Every refusal must end
// the run at start with exit 1 and one line that says why, leave every file where it was (and
// every file a link points at) unchanged, and take no record and no partition reference.
#include <gtest/gtest.h>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "rth/RthAdmin.h"
#include "tests/e2e/ChildProcess.h"
#include "tests/e2e/ConsoleRecords.h"
#include "tests/e2e/HandPartition.h"
#include "tests/e2e/IsolatedRunTest.h"
#include "tests/support/ShmObjects.h"
#include "tests/support/TestWaiting.h"

namespace fs = std::filesystem;
using namespace PlixTest;  // the end-to-end helpers: child processes, partitions, waiting

namespace {

constexpr uint32_t PARTITION_SIZE = 65536;
constexpr uint32_t TEXT_LENGTH = 62;   // ConsoleRecords' default record text
constexpr int LONG_WAIT_MS = 60000;    // hang guard; a run that ends in time ends in milliseconds
constexpr uint32_t NOBODY_UID = 65534;

const std::vector<std::string> kBannerLines = {"=============== ReadPLIXTrace ===============", ""};

// Synthetic record n as plixwrite writes it: text, line feed, NUL.
std::string Record(uint64_t n) {
    return ConsoleRecords::RecordText(n, TEXT_LENGTH) + "\n" + std::string(1, '\0');
}

// Everything lstat and a read tell about the entries under root (root included, links not
// followed): kind, owner, mode, size, modification time to the nanosecond, a link's target and
// a regular file's bytes. Two equal snapshots mean nothing was created, removed or changed.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    auto take = [&](const fs::path& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return;
        std::ostringstream d;
        d << std::oct << st.st_mode << std::dec << " uid " << st.st_uid << " size " << st.st_size
          << " mtime " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
        if (S_ISLNK(st.st_mode)) d << " -> " << fs::read_symlink(path).string();
        if (S_ISREG(st.st_mode)) d << " [" << ReadFile(path) << "]";
        entries[path.string()] = d.str();
    };
    take(root);
    struct stat st {};
    if (lstat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        for (const auto& e : fs::recursive_directory_iterator(root)) take(e.path());
    }
    return entries;
}

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A file with the given bytes, mode and a modification time in the past (seconds ago), so that
// the cleanup's order is fixed and a change of the time shows.
void PlantFile(const fs::path& path, const std::string& bytes, mode_t mode, int secondsAgo) {
    {
        std::ofstream out(path, std::ios::binary);
        out << bytes;
    }
    chmod(path.c_str(), mode);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

// The end of the directory refusals' advice: who should make the directory.
std::string RecreateAdvice() {
    return geteuid() == 0 ? "create it as root with mode 0750"
                          : "create it as uid " + std::to_string(geteuid()) + " with mode 0750";
}

// Why this machine cannot play the other user, or empty when it can.
std::string NoOtherUser() {
    if (geteuid() != 0) return "only root can give a file to another user";
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr || nobody->pw_uid != NOBODY_UID) return "no user nobody (uid 65534)";
    return "";
}

class ReaderSharedHostTest : public PlixTest::IsolatedRunTest {
protected:
    ReaderSharedHostTest() : IsolatedRunTest("plixhost") {}

    void SetUp() override {
        IsolatedRunTest::SetUp();
        fs::create_directories(mWork / "outside");
    }

    void TearDown() override {
        IsolatedRunTest::TearDown();
        for (const std::string& other : mOtherPrefixes) PlixTest::RemoveShmObjects(other);
    }

    // The partition with a header, a queue and records 1..count waiting in it.
    std::unique_ptr<HandPartition> MakePartition(uint64_t count) {
        auto p = std::make_unique<HandPartition>("plixtrace", PARTITION_SIZE);
        p->WriteHeader(0x5eed0002, 1);
        p->WriteQueue(1);
        for (uint64_t n = 1; n <= count; ++n) p->Push(Record(n));
        return p;
    }

    // The reader on directory, or any command (a shell that starts it), with stderr kept in
    // the file of this start.
    std::unique_ptr<ChildProcess> StartReader(const fs::path& directory) {
        return StartCommand({mReader, directory.string()});
    }
    std::unique_ptr<ChildProcess> StartCommand(const std::vector<std::string>& argv) {
        return std::make_unique<ChildProcess>(argv, ErrPath(++mStarts));
    }
    std::string ErrPath(int start) const {
        return (mWork / ("reader" + std::to_string(start) + ".err")).string();
    }
    std::string ReaderErr(int start) const { return ReadFile(ErrPath(start)); }

    // The reader's first lines when it lists directory: banner, header line, blank line.
    std::vector<std::string> ListingLines(const fs::path& directory) const {
        std::vector<std::string> lines = kBannerLines;
        lines.push_back("\"" + directory.string() + "\" contains:");
        lines.push_back("");
        return lines;
    }

    // Runs the reader on directory and expects it to refuse at start: exit 1 in time, exactly
    // errLine on stderr, the console lines given, no record read and no reference taken.
    void ExpectRefused(const fs::path& directory, const std::string& errLine,
                       const std::vector<std::string>& consoleLines, const HandPartition& p,
                       const std::string& what) {
        SCOPED_TRACE(what);
        const uint32_t readOffset = p.ReadOffset();
        const int32_t refCount = p.RefCount();
        const int32_t attachCount = p.AttachCount();
        auto reader = StartReader(directory);
        const int status = reader->Wait(LONG_WAIT_MS);
        EXPECT_TRUE(ExitedWith(status, 1)) << Describe(status);
        EXPECT_EQ(ReaderErr(mStarts), errLine);
        EXPECT_EQ(reader->Console().RecordCount(), 0u);
        EXPECT_EQ(reader->Console().OtherLines(), consoleLines);
        EXPECT_EQ(p.ReadOffset(), readOffset) << "records were consumed";
        EXPECT_EQ(p.RefCount(), refCount) << "a partition reference was taken";
        EXPECT_EQ(p.AttachCount(), attachCount);
    }

    // The log lines of file, each "N: <stamp> text"; a line that is not is kept as "!" + line.
    static std::vector<std::pair<uint64_t, std::string>> LogLines(const fs::path& file) {
        static const std::regex line(
            R"(([0-9]+): <[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}> ([^]*))");
        std::vector<std::pair<uint64_t, std::string>> lines;
        std::istringstream in(ReadFile(file));
        for (std::string l; std::getline(in, l);) {
            std::smatch m;
            if (std::regex_match(l, m, line)) {
                lines.emplace_back(std::stoull(m[1]), m[2]);
            } else {
                lines.emplace_back(0, "!" + l);
            }
        }
        return lines;
    }

    // Expects file to hold exactly lines 1..count, line n the text of record n.
    static void ExpectLogOfRecords(const fs::path& file, uint64_t count) {
        SCOPED_TRACE(file.string());
        const auto lines = LogLines(file);
        ASSERT_EQ(lines.size(), count) << ReadFile(file);
        for (uint64_t n = 1; n <= count; ++n) {
            EXPECT_EQ(lines[n - 1].first, n) << lines[n - 1].second;
            EXPECT_EQ(lines[n - 1].second, ConsoleRecords::RecordText(n, TEXT_LENGTH));
        }
    }

    std::vector<std::string> mOtherPrefixes;
    int mStarts = 0;
};

TEST_F(ReaderSharedHostTest, PlantedLinksAreRefusedAndWhatTheyPointAtStaysUntouched) {
    auto p = MakePartition(3);
    const fs::path outside = mWork / "outside";
    PlantFile(outside / "precious.conf", "owner data\n", 0600, 5000);
    // A directory the reader would accept, with more trace log files than the cleanup keeps:
    // a reader that followed a link to it would list it and delete the two oldest.
    const fs::path victim = outside / "victim";
    fs::create_directory(victim);
    chmod(victim.c_str(), 0750);
    for (int i = 0; i < 12; ++i) {
        PlantFile(victim / ("plix_" + std::to_string(10 + i) + ".log"), "kept\n", 0644, 9000 - i);
    }
    const auto outsideBefore = Snapshot(outside);

    // Links at the directory itself, live and dangling: refused before anything is listed.
    const std::string dirLinkLine = "ReadPLIXTrace: trace log directory \"" + mLogDir.string() +
                                    "\" is a symbolic link; remove it, or " + RecreateAdvice() +
                                    "\n";
    fs::create_directory_symlink(victim, mLogDir);
    ExpectRefused(mLogDir, dirLinkLine, kBannerLines, *p, "live link at the directory");
    fs::remove(mLogDir);
    fs::create_directory_symlink(outside / "made-by-reader", mLogDir);
    ExpectRefused(mLogDir, dirLinkLine, kBannerLines, *p, "dangling link at the directory");
    fs::remove(mLogDir);

    // Links at the next log name (plix_01.log after plix_00.log), live and dangling: refused
    // after the cleanup's listing, before the earlier log's mode is touched.
    fs::create_directory(mLogDir);
    chmod(mLogDir.c_str(), 0750);
    PlantFile(mLogDir / "plix_00.log", "1: <2020-01-01 00:00:00> earlier\n", 0644, 3000);
    const std::string nameLine = "ReadPLIXTrace: trace log file \"" + mLogDir.string() +
                                 "/plix_01.log\" is a symbolic link, not a regular file; "
                                 "remove it\n";
    // The cleanup lists a live link with its target's write time, older than plix_00.log's.
    std::vector<std::string> listed = ListingLines(mLogDir);
    listed.push_back((mLogDir / "plix_00.log").string());
    listed.push_back((mLogDir / "plix_01.log").string());

    fs::create_symlink(outside / "precious.conf", mLogDir / "plix_01.log");
    auto logDirBefore = Snapshot(mLogDir);
    ExpectRefused(mLogDir, nameLine, listed, *p, "live link at the next log name");
    EXPECT_EQ(Snapshot(mLogDir), logDirBefore);

    fs::remove(mLogDir / "plix_01.log");
    fs::create_symlink(outside / "made-by-reader.log", mLogDir / "plix_01.log");
    logDirBefore = Snapshot(mLogDir);
    // A dangling link has no write time: the cleanup ends silently after its header line.
    std::vector<std::string> headerOnly = ListingLines(mLogDir);
    headerOnly.pop_back();
    ExpectRefused(mLogDir, nameLine, headerOnly, *p, "dangling link at the next log name");
    EXPECT_EQ(Snapshot(mLogDir), logDirBefore);

    EXPECT_EQ(Snapshot(outside), outsideBefore) << "a file a link points at was changed or made";
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside / "made-by-reader")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(outside / "made-by-reader.log")));

    // The link removed, the same directory is used: the records arrive and are logged.
    fs::remove(mLogDir / "plix_01.log");
    auto reader = StartReader(mLogDir);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 3; }, LONG_WAIT_MS));
    EXPECT_EQ(p->RefCount(), 2);
    reader->Signal(SIGINT);
    const int status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    ExpectLogOfRecords(mLogDir / "plix_01.log", 3);
}

TEST_F(ReaderSharedHostTest, DirectoryWritableByOthersIsRefusedUntilMadePrivate) {
    auto p = MakePartition(2);
    fs::create_directory(mLogDir);
    // Twelve earlier logs: a cleanup that ran would remove two of them.
    for (int i = 0; i < 12; ++i) {
        PlantFile(mLogDir / ("plix_" + std::to_string(10 + i) + ".log"), "old\n", 0644, 9000 - i);
    }
    for (const mode_t mode : {0775, 0757, 0770}) {
        chmod(mLogDir.c_str(), mode);
        const auto before = Snapshot(mLogDir);
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
        ExpectRefused(mLogDir,
                      "ReadPLIXTrace: trace log directory \"" + mLogDir.string() +
                          "\" is writable by its group or others (mode " + octal +
                          "); make it private with chmod 0750\n",
                      kBannerLines, *p, std::string("mode ") + octal);
        EXPECT_EQ(Snapshot(mLogDir), before) << "mode " << octal;
    }

    // Made private (0700 is private too, and stays as it is): the cleanup and the run go on.
    chmod(mLogDir.c_str(), 0700);
    auto reader = StartReader(mLogDir);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 2; }, LONG_WAIT_MS));
    reader->Signal(SIGINT);
    const int status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(ModeOf(mLogDir), 0700u);
    EXPECT_FALSE(fs::exists(mLogDir / "plix_10.log"));  // the two oldest went
    EXPECT_FALSE(fs::exists(mLogDir / "plix_11.log"));
    EXPECT_EQ(ModeOf(mLogDir / "plix_12.log"), 0640u);
    ExpectLogOfRecords(mLogDir / "plix_22.log", 2);
}

TEST_F(ReaderSharedHostTest, ObjectsOfAnotherUserAreRefused) {
    const std::string why = NoOtherUser();
    if (!why.empty()) GTEST_SKIP() << why;

    // The trace directory made by another user, private to it and otherwise acceptable.
    auto p = MakePartition(2);
    fs::create_directory(mLogDir);
    chmod(mLogDir.c_str(), 0750);
    for (int i = 0; i < 12; ++i) {
        PlantFile(mLogDir / ("plix_" + std::to_string(10 + i) + ".log"), "theirs\n", 0644, 9000 - i);
    }
    ASSERT_EQ(lchown(mLogDir.c_str(), NOBODY_UID, NOBODY_UID), 0);
    const auto before = Snapshot(mLogDir);
    ExpectRefused(mLogDir,
                  "ReadPLIXTrace: trace log directory \"" + mLogDir.string() +
                      "\" is owned by uid 65534; remove it, or " + RecreateAdvice() + "\n",
                  kBannerLines, *p, "directory of another user");
    EXPECT_EQ(Snapshot(mLogDir), before);
    p.reset();

    // The partition object made by another user (zero-filled, 0644): refused at start with the
    // library's reason; the reader ends and does not wait for it. The directory is the
    // reader's own now: the run got as far as the partition.
    fs::remove_all(mLogDir);
    const std::string object = "/dev/shm/" + mPrefix + "plixtrace";
    const std::string made = PlixTest::CreateAsNobody(object, PARTITION_SIZE, "0644");
    if (!made.empty()) GTEST_SKIP() << made;
    char reason[RTH_REASON_SIZE] = {};
    ASSERT_EQ(rthPartitionExplain("plixtrace", reason, sizeof reason), RTH_UNSAFE) << reason;
    ASSERT_NE(std::string(reason).find("is owned by uid 65534"), std::string::npos) << reason;
    const auto objectBefore = Snapshot(object);
    auto reader = StartReader(mLogDir);
    const int status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 1)) << Describe(status);
    EXPECT_EQ(ReaderErr(mStarts),
              std::string("ReadPLIXTrace: partition \"plixtrace\" ") + reason + "\n");
    EXPECT_EQ(reader->Console().OtherLines(), kBannerLines);  // made, so nothing to list
    EXPECT_EQ(Snapshot(object), objectBefore);
    EXPECT_EQ(ModeOf(mLogDir), 0750u);
}

TEST_F(ReaderSharedHostTest, PartitionObjectsTheLibraryRefusesEndTheStartWithItsReason) {
    const std::string object = "/dev/shm/" + mPrefix + "plixtrace";
    // The reader's run on an object the library refuses: exit 1 in time with the library's own
    // reason, which must name what is wrong.
    auto expectRefusedObject = [&](const std::string& mark, const std::string& what) {
        SCOPED_TRACE(what);
        char reason[RTH_REASON_SIZE] = {};
        ASSERT_EQ(rthPartitionExplain("plixtrace", reason, sizeof reason), RTH_UNSAFE) << reason;
        ASSERT_NE(std::string(reason).find(mark), std::string::npos) << reason;
        auto reader = StartReader(mLogDir);
        const int status = reader->Wait(LONG_WAIT_MS);
        EXPECT_TRUE(ExitedWith(status, 1)) << Describe(status);
        EXPECT_EQ(ReaderErr(mStarts),
                  std::string("ReadPLIXTrace: partition \"plixtrace\" ") + reason + "\n");
        EXPECT_EQ(reader->Console().RecordCount(), 0u);
    };

    // A FIFO: opening it to wait for a writer would hold the reader for ever.
    ASSERT_EQ(mkfifo(object.c_str(), 0600), 0);
    expectRefusedObject("is a FIFO", "FIFO");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(object)));
    fs::remove(object);

    // A link to a working partition elsewhere, with records in it: not followed, not read.
    const std::string otherPrefix = "plixhost." + std::to_string(getpid()) + ".elsewhere.";
    mOtherPrefixes.push_back(otherPrefix);
    setenv("RTH_SHM_PREFIX", otherPrefix.c_str(), 1);
    std::unique_ptr<HandPartition> elsewhere = MakePartition(3);
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    fs::create_symlink("/dev/shm/" + otherPrefix + "plixtrace", object);
    expectRefusedObject("is a symbolic link", "link to a partition");
    EXPECT_EQ(elsewhere->ReadOffset(), 0u) << "records were read through the link";
    EXPECT_EQ(elsewhere->RefCount(), 1);
    fs::remove(object);
    setenv("RTH_SHM_PREFIX", otherPrefix.c_str(), 1);
    elsewhere.reset();  // removed under its own prefix
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);

    // A working partition that every user may write.
    {
        auto p = MakePartition(3);
        ASSERT_EQ(chmod(object.c_str(), 0666), 0);
        expectRefusedObject("is writable by every user", "world-writable partition");
        EXPECT_EQ(p->ReadOffset(), 0u);
        EXPECT_EQ(p->RefCount(), 1);
        EXPECT_EQ(p->AttachCount(), 1);
    }
}

TEST_F(ReaderSharedHostTest, LogNamesThatAreNotRegularFilesAreRefusedWithoutBlocking) {
    auto p = MakePartition(2);
    fs::create_directory(mLogDir);
    chmod(mLogDir.c_str(), 0750);
    PlantFile(mLogDir / "plix_00.log", "1: <2020-01-01 00:00:00> earlier\n", 0644, 3000);
    const fs::path earlier = mLogDir / "plix_00.log";

    // A FIFO at the next log name: the sink would block opening it (nobody reads it).
    ASSERT_EQ(mkfifo((mLogDir / "plix_01.log").c_str(), 0600), 0);
    auto before = Snapshot(mLogDir);
    std::vector<std::string> listing = ListingLines(mLogDir);
    listing.push_back((mLogDir / "plix_01.log").string());  // newest: made just now
    listing.push_back(earlier.string());
    ExpectRefused(mLogDir,
                  "ReadPLIXTrace: trace log file \"" + mLogDir.string() +
                      "/plix_01.log\" is a FIFO, not a regular file; remove it\n",
                  listing, *p, "FIFO");
    EXPECT_EQ(Snapshot(mLogDir), before);
    fs::remove(mLogDir / "plix_01.log");

    // A directory under a log name of one digit (still the sink's pattern), not empty.
    fs::create_directory(mLogDir / "plix_7.log");
    PlantFile(mLogDir / "plix_7.log" / "inside", "x", 0600, 100);
    before = Snapshot(mLogDir);
    listing = ListingLines(mLogDir);
    listing.push_back((mLogDir / "plix_7.log").string());
    listing.push_back(earlier.string());
    ExpectRefused(mLogDir,
                  "ReadPLIXTrace: trace log file \"" + mLogDir.string() +
                      "/plix_7.log\" is a directory, not a regular file; remove it\n",
                  listing, *p, "directory");
    EXPECT_EQ(Snapshot(mLogDir), before);
    fs::remove_all(mLogDir / "plix_7.log");

    // Names outside the sink's pattern may be anything: a FIFO and a directory that only begin
    // with plix_ are listed, left alone, and the run goes on.
    ASSERT_EQ(mkfifo((mLogDir / "plix_pipe.log").c_str(), 0600), 0);
    fs::create_directory(mLogDir / "plix_notes");
    auto reader = StartReader(mLogDir);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 2; }, LONG_WAIT_MS));
    reader->Signal(SIGINT);
    const int status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(ReaderErr(mStarts), "");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(mLogDir / "plix_pipe.log")));
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(mLogDir / "plix_notes")));
    EXPECT_EQ(ModeOf(earlier), 0640u);
    ExpectLogOfRecords(mLogDir / "plix_01.log", 2);
}

TEST_F(ReaderSharedHostTest, OnlyOneReaderAtATimeUsesTheDirectory) {
    auto p = MakePartition(5);
    fs::create_directory(mLogDir);
    chmod(mLogDir.c_str(), 0750);
    // Ten earlier logs: the first reader keeps them all (its own is the eleventh only after its
    // listing); a second reader's cleanup would remove the oldest.
    for (int i = 0; i < 10; ++i) {
        PlantFile(mLogDir / ("plix_0" + std::to_string(i) + ".log"), "old\n", 0640, 9000 - i);
    }
    auto first = StartReader(mLogDir);
    ASSERT_TRUE(WaitFor([&] { return first->Console().RecordCount() == 5; }, LONG_WAIT_MS));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(mLogDir / "plix_10.log"); }, LONG_WAIT_MS));
    const auto earlierLogs = [&] {
        std::map<std::string, std::string> s = Snapshot(mLogDir);
        s.erase(mLogDir.string());
        s.erase((mLogDir / "plix_10.log").string());
        return s;
    };
    const auto before = earlierLogs();
    const std::string busyLine = "ReadPLIXTrace: trace log directory \"" + mLogDir.string() +
                                 "\" is locked by another process: another reader is running "
                                 "(one at a time); stop it first\n";

    // A second reader on the same partition.
    ExpectRefused(mLogDir, busyLine, kBannerLines, *p, "same partition");

    // A second reader on a partition of its own (another prefix), with records waiting.
    const std::string otherPrefix = "plixhost." + std::to_string(getpid()) + ".second.";
    mOtherPrefixes.push_back(otherPrefix);
    setenv("RTH_SHM_PREFIX", otherPrefix.c_str(), 1);
    std::unique_ptr<HandPartition> q = MakePartition(4);
    ExpectRefused(mLogDir, busyLine, kBannerLines, *q, "other partition");
    q.reset();  // removed under its own prefix
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    EXPECT_EQ(earlierLogs(), before) << "the refused readers touched the earlier logs";

    // The first reader still works: more records arrive, in order, and are logged.
    for (uint64_t n = 6; n <= 9; ++n) p->Push(Record(n));
    ASSERT_TRUE(WaitFor([&] { return first->Console().RecordCount() == 9; }, LONG_WAIT_MS));
    EXPECT_EQ(p->RefCount(), 2);
    first->Signal(SIGINT);
    const int status = first->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(ReaderErr(1), "");
    EXPECT_EQ(ConsoleRecords::FirstBreak(first->Console().Numbers(), 0, 1), 9u);
    ExpectLogOfRecords(mLogDir / "plix_10.log", 9);
    EXPECT_FALSE(fs::exists(mLogDir / "plix_11.log"));
    EXPECT_EQ(p->RefCount(), 1);

    // Once the first has ended, the lock is gone: the next reader runs.
    auto third = StartReader(mLogDir);
    p->Push(Record(10));
    ASSERT_TRUE(WaitFor([&] { return third->Console().RecordCount() == 1; }, LONG_WAIT_MS));
    third->Signal(SIGINT);
    EXPECT_TRUE(ExitedWith(third->Wait(LONG_WAIT_MS), 0));
}

TEST_F(ReaderSharedHostTest, ClosedStandardOutputNeverPutsConsoleLinesIntoTheLog) {
    auto p = MakePartition(4);
    fs::create_directory(mLogDir);
    chmod(mLogDir.c_str(), 0750);
    // Through a shell that closes descriptor 1 before it becomes the reader.
    auto reader = StartCommand({"/bin/sh", "-c", "exec \"$0\" \"$1\" >&-", mReader, mLogDir.string()});
    ASSERT_TRUE(WaitFor([&] { return p->ReadOffset() == p->WriteOffset(); }, LONG_WAIT_MS));
    for (uint64_t n = 5; n <= 6; ++n) p->Push(Record(n));
    ASSERT_TRUE(WaitFor([&] { return p->ReadOffset() == p->WriteOffset(); }, LONG_WAIT_MS));
    reader->Signal(SIGINT);  // its "CTRL-C pressed" goes to /dev/null too
    const int status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(ReaderErr(mStarts), "") << "console output failed";
    EXPECT_EQ(reader->Console().OtherLines(), std::vector<std::string>());
    // Banner, listing, records and the handler's line would all be lines of the log otherwise.
    ExpectLogOfRecords(mLogDir / "plix_00.log", 6);
    EXPECT_EQ(p->RefCount(), 1);
}

TEST_F(ReaderSharedHostTest, FilesAreMadePrivateWhateverTheUmask) {
    auto p = MakePartition(2);
    const mode_t previous = umask(0);  // the child inherits it; the reader sets its own
    auto reader = StartReader(mLogDir);
    umask(previous);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 2; }, LONG_WAIT_MS));
    reader->Signal(SIGINT);
    int status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    // A missing directory is made (0750) without a listing; the log file is 0640.
    std::vector<std::string> expected = kBannerLines;
    expected.push_back("CTRL-C pressed");
    EXPECT_EQ(reader->Console().OtherLines(), expected);
    EXPECT_EQ(ModeOf(mLogDir), 0750u);
    EXPECT_EQ(ModeOf(mLogDir / "plix_00.log"), 0640u);
    ExpectLogOfRecords(mLogDir / "plix_00.log", 2);

    // Earlier trace logs lose bits beyond 0640 and gain none; other files keep theirs.
    chmod((mLogDir / "plix_00.log").c_str(), 0644);
    PlantFile(mLogDir / "plix_notes.txt", "n\n", 0666, 200);
    PlantFile(mLogDir / "plix_03.log", "3\n", 0600, 100);
    PlantFile(mLogDir / "other.txt", "o\n", 0666, 100);
    p->Push(Record(3));
    umask(0);
    reader = StartReader(mLogDir);
    umask(previous);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 1; }, LONG_WAIT_MS));
    reader->Signal(SIGINT);
    status = reader->Wait(LONG_WAIT_MS);
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status);
    EXPECT_EQ(ReaderErr(mStarts), "");
    EXPECT_EQ(ModeOf(mLogDir / "plix_00.log"), 0640u);
    EXPECT_EQ(ModeOf(mLogDir / "plix_notes.txt"), 0640u);
    EXPECT_EQ(ModeOf(mLogDir / "plix_03.log"), 0600u);
    EXPECT_EQ(ModeOf(mLogDir / "other.txt"), 0666u);
    EXPECT_EQ(ModeOf(mLogDir / "plix_04.log"), 0640u);
    EXPECT_EQ(ModeOf(mLogDir), 0750u);

    // A stricter mask only gains: umask 077 keeps the directory and the logs the owner's alone.
    const fs::path strict = mWork / "strict";
    p->Push(Record(4));
    umask(077);
    reader = StartReader(strict);
    umask(previous);
    ASSERT_TRUE(WaitFor([&] { return reader->Console().RecordCount() == 1; }, LONG_WAIT_MS));
    reader->Signal(SIGINT);
    EXPECT_TRUE(ExitedWith(reader->Wait(LONG_WAIT_MS), 0));
    EXPECT_EQ(ReaderErr(mStarts), "");
    EXPECT_EQ(ModeOf(strict), 0700u);
    EXPECT_EQ(ModeOf(strict / "plix_00.log"), 0600u);
}

}  // namespace
