// rthpart as an operator runs it: create, list, remove, show, and every bad command line,
// which must fail with one line on stderr and change nothing; objects that the library refuses
// are reported, never waited on and never changed.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "rth/RthAdmin.h"
#include "tests/support/ShmObjects.h"
#include "tests/support/TestWaiting.h"
#include "tests/tools/ToolTestSupport.h"
#include "writer/TraceWriter.h"

namespace {

using namespace PlixToolTest;  // running the tools, mapping partitions, counting lines

ToolResult Rthpart(const std::vector<std::string>& args) { return RunTool(RTHPART_PATH, args); }

// rthpart under a hang guard: a tool still running after 60 s is ended (exit status 124).
ToolResult GuardedRthpart(std::vector<std::string> args) {
    args.insert(args.begin(), {"--kill-after=5", "60", RTHPART_PATH});
    return RunTool("/usr/bin/timeout", args);
}

// The library's reason for partition name, as its callers print it.
std::string Reason(const std::string& name) {
    char reason[RTH_REASON_SIZE];
    rthPartitionExplain(name.c_str(), reason, sizeof reason);
    return reason;
}

// The value after "label:" in the report, without the padding.
std::string Field(const std::string& output, const std::string& label) {
    const std::string report = "\n" + output;
    size_t at = report.find("\n" + label + ":");
    if (at == std::string::npos) {
        return "<no " + label + ">";
    }
    at = report.find_first_not_of(' ', at + label.size() + 2);
    return report.substr(at, report.find('\n', at) - at);
}

class RthpartTest : public ::testing::Test {
protected:
    PlixToolTest::PrivatePartitions mPartitions;
};

TEST_F(RthpartTest, CreateListRemoveWithMode0660) {
    ToolResult r = Rthpart({"create", "beta", "100"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out + r.err, "");
    ASSERT_EQ(Rthpart({"create", "alpha", "4096"}).exitCode, 0);

    struct stat st {};
    ASSERT_EQ(stat(mPartitions.Path("alpha").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_size, 4096);
    ASSERT_EQ(stat(mPartitions.Path("beta").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(st.st_size, 100);

    r = Rthpart({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "alpha 4096\nbeta 100\n");

    r = Rthpart({"remove", "alpha"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(stat(mPartitions.Path("alpha").c_str(), &st), 0);
    EXPECT_EQ(Rthpart({"list"}).out, "beta 100\n");
    EXPECT_EQ(Rthpart({"remove", "beta"}).exitCode, 0);
    r = Rthpart({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");

    r = Rthpart({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: rthpart"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

TEST_F(RthpartTest, BadInputFailsWithItsReasonAndChangesNothing) {
    ASSERT_EQ(Rthpart({"create", "keep", "4096"}).exitCode, 0);
    const std::string longName(32, 'n');
    // A bad command line (2) says why and repeats the usage line; a failed operation (1) says
    // one line.
    const struct {
        std::vector<std::string> args;
        int exitCode;
    } bad[] = {
        {{}, 2},
        {{"create", "p", "abc"}, 2},
        {{"create", "p", "0"}, 2},
        {{"create", "p", "-5"}, 2},
        {{"create", "p", "12x"}, 2},
        {{"create", "p", "+12"}, 2},
        {{"create", "p", " 12"}, 2},
        {{"create", "p", ""}, 2},
        {{"create", "p", "4294967296"}, 2},
        {{"create", "p", "99999999999999999999999"}, 2},
        {{"create", "", "4096"}, 2},
        {{"create", longName, "4096"}, 2},
        {{"create", "a/b", "4096"}, 2},
        {{"create", "keep", "8192"}, 1},  // exists: keeps its size
        {{"create", "p"}, 2},
        {{"create", "p", "4096", "x"}, 2},
        {{"remove", "absent"}, 1},
        {{"remove", ""}, 2},
        {{"remove", longName}, 2},
        {{"remove"}, 2},
        {{"remove", "keep", "x"}, 2},
        {{"show", "absent"}, 1},
        {{"show"}, 2},
        {{"show", "a/b"}, 2},
        {{"list", "x"}, 2},
        {{"frobnicate", "keep"}, 2},
        {{"--help", "x"}, 2},
    };
    for (const auto& c : bad) {
        std::string shown;
        for (const auto& a : c.args) {
            shown += "'" + a + "' ";
        }
        SCOPED_TRACE(shown);
        ToolResult r = Rthpart(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.err.rfind("rthpart: ", 0), 0u) << r.err;
        if (c.exitCode == 2) {
            EXPECT_EQ(LineCount(r.err), 2u) << r.err;
            EXPECT_EQ(r.err.find("\nUsage: rthpart "), r.err.find('\n')) << r.err;
        } else {
            EXPECT_EQ(LineCount(r.err), 1u) << r.err;
        }
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(mPartitions.Names(), std::vector<std::string>{"keep"});
    }
    struct stat st {};
    ASSERT_EQ(stat(mPartitions.Path("keep").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4096);
    // A name of exactly 31 characters is the longest accepted.
    EXPECT_EQ(Rthpart({"create", std::string(31, 'n'), "64"}).exitCode, 0);
}

TEST_F(RthpartTest, ShowDecodesAWrittenQueueAndFlagsDamage) {
    ASSERT_EQ(Rthpart({"create", "plixtrace", "4096"}).exitCode, 0);
    ToolResult r = Rthpart({"show", "plixtrace"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Field(r.out, "partition"), "plixtrace");
    EXPECT_EQ(Field(r.out, "size"), "4096 bytes");
    EXPECT_EQ(Field(r.out, "version"), "0x00000000 (invalid: expected 0x00020000)");
    EXPECT_EQ(Field(r.out, "initTime"), "0 (not initialised)");
    EXPECT_EQ(Field(r.out, "end marker"), "0x00000000 (invalid: not 0xDEDEDEDE)");
    EXPECT_EQ(Field(r.out, "bytes pending"), "unknown");

    {
        TraceWriter writer("plixtrace");
        std::string error;
        ASSERT_TRUE(writer.Open(error)) << error;
        // Three records of slot 1024, then wrap: write offset 1024 + 64 behind a read offset
        // of 3072 once the reader has taken the first three.
        std::string record(1000, 'x');
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(writer.Write(record.data(), 1000), TraceWriter::Result::WRITTEN);
        }
        r = Rthpart({"show", "plixtrace"});
        EXPECT_EQ(Field(r.out, "header name"), "\"plixtrace\"");
        EXPECT_EQ(Field(r.out, "header size"), "4096");
        EXPECT_EQ(Field(r.out, "version"), "0x00020000 (ok)");
        EXPECT_NE(Field(r.out, "initTime"), "0 (not initialised)");
        EXPECT_EQ(Field(r.out, "initTime").find_first_not_of("0123456789"), std::string::npos);
        EXPECT_NE(Field(r.out, "checksum").find("(valid)"), std::string::npos);
        EXPECT_EQ(Field(r.out, "refCount"), "1");
        EXPECT_EQ(Field(r.out, "end marker"), "0xDEDEDEDE (ok)");
        EXPECT_EQ(Field(r.out, "write offset"), "3072");
        EXPECT_EQ(Field(r.out, "read offset"), "0");
        EXPECT_EQ(Field(r.out, "capacity"), "3840 (expected 3840)");
        EXPECT_EQ(Field(r.out, "attach count"), "1");
        EXPECT_EQ(Field(r.out, "bytes pending"), "3072");
        EXPECT_EQ(Field(r.out, "queue"), "valid");

        // Hand the reader's part: it has read up to 3072; the writer wraps.
        MappedPartition mapped("plixtrace");
        __atomic_store_n(reinterpret_cast<uint32_t*>(mapped.Base() + 64 + 64), 3072u,
                         __ATOMIC_RELEASE);
        ASSERT_EQ(writer.Write(record.data(), 1000), TraceWriter::Result::WRITTEN);
        ASSERT_EQ(writer.Write(record.data(), 10), TraceWriter::Result::WRITTEN);
        r = Rthpart({"show", "plixtrace"});
        EXPECT_EQ(Field(r.out, "write offset"), "1088");
        EXPECT_EQ(Field(r.out, "read offset"), "3072");
        EXPECT_EQ(Field(r.out, "bytes pending"), std::to_string(3840 - 3072 + 1088));
    }
    r = Rthpart({"show", "plixtrace"});
    EXPECT_EQ(Field(r.out, "refCount"), "0");
    EXPECT_EQ(Field(r.out, "attach count"), "1");

    // One byte of the name changed: checksum invalid, the byte and the sum shown.
    MappedPartition mapped("plixtrace");
    uint8_t checksum = mapped.Base()[48];
    mapped.Base()[0] = 'P';
    r = Rthpart({"show", "plixtrace"});
    char expected[64];
    std::snprintf(expected, sizeof expected, "0x%02X (invalid: byte sum 0x%02X)", checksum,
                  static_cast<unsigned>('P' - 'p') & 0xFF);
    EXPECT_EQ(Field(r.out, "checksum"), expected);
    EXPECT_EQ(Field(r.out, "header name"), "\"Plixtrace\"");
    // A broken capacity and a broken read offset: reported invalid, no bytes pending.
    __atomic_store_n(reinterpret_cast<uint32_t*>(mapped.Base() + 64 + 64), 100u, __ATOMIC_RELAXED);
    r = Rthpart({"show", "plixtrace"});
    EXPECT_EQ(Field(r.out, "bytes pending"), "unknown");
    EXPECT_EQ(Field(r.out, "queue"),
              "invalid (read offset outside the data area or not 64-aligned)");
    EXPECT_EQ(Get32(mapped.Base(), 64 + 64), 100u);  // show wrote nothing
    __atomic_store_n(reinterpret_cast<uint32_t*>(mapped.Base() + 64 + 12), 4096u,
                     __ATOMIC_RELAXED);
    r = Rthpart({"show", "plixtrace"});
    EXPECT_EQ(Field(r.out, "capacity"), "4096 (expected 3840)");
    EXPECT_EQ(Field(r.out, "queue"), "invalid (capacity is not the expected one)");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(RthpartTest, ShowOfTinyPartitionsSaysWhatIsMissing) {
    ASSERT_EQ(Rthpart({"create", "p1", "1"}).exitCode, 0);
    ToolResult r = Rthpart({"show", "p1"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Field(r.out, "size"), "1 bytes");
    EXPECT_EQ(Field(r.out, "header name"), "missing (needs 32 bytes, partition has 1)");
    EXPECT_EQ(Field(r.out, "refCount"), "missing (needs 56 bytes, partition has 1)");
    EXPECT_EQ(Field(r.out, "queue"), "missing (needs 196 bytes, partition has 1)");

    ASSERT_EQ(Rthpart({"create", "p100", "100"}).exitCode, 0);
    r = Rthpart({"show", "p100"});
    EXPECT_EQ(Field(r.out, "header name"), "\"\"");
    EXPECT_EQ(Field(r.out, "end marker"), "0x00000000 (invalid: not 0xDEDEDEDE)");
    EXPECT_EQ(Field(r.out, "queue"), "missing (needs 196 bytes, partition has 100)");
}

TEST_F(RthpartTest, RefusedObjectsAreReportedNotWaitedOnAndKept) {
    ASSERT_EQ(mkfifo(mPartitions.Path("fifo").c_str(), 0644), 0);
    ASSERT_EQ(symlink(mPartitions.Path("gone").c_str(), mPartitions.Path("link").c_str()), 0);
    ASSERT_EQ(Rthpart({"create", "good", "4096"}).exitCode, 0);

    for (const std::string name : {"fifo", "link"}) {
        SCOPED_TRACE(name);
        struct stat before {};
        ASSERT_EQ(lstat(mPartitions.Path(name).c_str(), &before), 0);
        const std::string reason = Reason(name);
        EXPECT_EQ(reason.rfind(name == "fifo" ? "is not a regular file" : "is a symbolic link", 0),
                  0u)
            << reason;

        ToolResult r = GuardedRthpart({"show", name});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "rthpart: partition \"" + name + "\" " + reason + "\n");
        EXPECT_EQ(r.out, "");

        r = GuardedRthpart({"create", name, "64"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "rthpart: cannot create partition \"" + name + "\": it " + reason + "\n");

        struct stat after {};
        ASSERT_EQ(lstat(mPartitions.Path(name).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    struct stat st {};
    EXPECT_NE(lstat(mPartitions.Path("gone").c_str(), &st), 0);  // the link's target
    EXPECT_EQ(GuardedRthpart({"list"}).out, "good 4096\n");

    // An object the library accepts: create says whose it is.
    ToolResult r = Rthpart({"create", "good", "64"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "rthpart: cannot create partition \"good\": it exists (owner " +
                         PlixTest::MyOwnerText() + ", mode 0660, 4096 bytes)\n");
}

TEST_F(RthpartTest, CreateNamesTheOwnerOfAnotherUsersObjectAndChangesNothing) {
    const std::string why = PlixTest::CreateAsNobody(mPartitions.Path("plixtrace"), 4096, "0640");
    if (!why.empty()) {
        GTEST_SKIP() << "needs an object owned by user nobody: " << why;
    }
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string reason =
        "is owned by uid " + std::to_string(nobody->pw_uid) +
        " (nobody), not by root (mode 0640); remove it and recreate it as "
        "root (rthpart remove plixtrace, then rthpart create plixtrace SIZE)";

    ToolResult r = GuardedRthpart({"create", "plixtrace", "8192"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "rthpart: cannot create partition \"plixtrace\": it " + reason + "\n");
    r = GuardedRthpart({"show", "plixtrace"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "rthpart: partition \"plixtrace\" " + reason + "\n");
    EXPECT_EQ(GuardedRthpart({"list"}).out, "");

    struct stat st {};
    ASSERT_EQ(stat(mPartitions.Path("plixtrace").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody->pw_uid);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(PlixTest::ReadFile(mPartitions.Path("plixtrace")), std::string(4096, '\0'));

    // The remedy the text gives works.
    EXPECT_EQ(Rthpart({"remove", "plixtrace"}).exitCode, 0);
    EXPECT_EQ(Rthpart({"create", "plixtrace", "4096"}).exitCode, 0);
    EXPECT_EQ(Rthpart({"show", "plixtrace"}).exitCode, 0);
}

}  // namespace
