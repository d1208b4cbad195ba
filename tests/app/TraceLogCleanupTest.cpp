// Tests of the trace log directory cleanup: the pure decisions (names, order, what goes) without
// a file system, then the whole operation on scratch directories with its console output.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

#include "app/TraceLogCleanup.h"
#include "tests/app/AppTestSupport.h"

namespace fs = boost::filesystem;
using PlixTest::EntryNames;
using PlixTest::SetWriteTime;
using PlixTest::VScratchDirectory;
using PlixTest::WriteFile;

namespace {

// Redirects std::cout into a string while it lives.
class VCoutCapture {
public:
    VCoutCapture() : mOld(std::cout.rdbuf(mText.rdbuf())) {}
    ~VCoutCapture() { std::cout.rdbuf(mOld); }
    VCoutCapture(const VCoutCapture&) = delete;
    VCoutCapture& operator=(const VCoutCapture&) = delete;
    std::string Text() const { return mText.str(); }

private:
    std::ostringstream mText;
    std::streambuf* mOld;
};

std::string RunCleanup(const std::string& directory) {
    VCoutCapture capture;
    CleanupTraceLogDirectory(directory);
    return capture.Text();
}

TEST(TraceLogCleanupPlanTest, TraceLogNamesAreThoseWhoseStemStartsWithPrefix) {
    for (const char* name : {"plix_00.log", "plix_.log", "plix_", "plix_00.tar.gz", "plix_old"}) {
        EXPECT_TRUE(IsTraceLogStem(fs::path(name).stem().string())) << name;
    }
    for (const char* name : {"PLIX_00.log", "xplix_00.log", "plix.log", "plix", "plix-00.log",
                             "Plix_00.log", ".plix_00", "..", ".", ""}) {
        EXPECT_FALSE(IsTraceLogStem(fs::path(name).stem().string())) << name;
    }
}

TEST(TraceLogCleanupPlanTest, KeepsTenNewestNewestFirstAndTiesInListingOrder) {
    EXPECT_TRUE(PlanTraceLogCleanup({}).empty());

    // Ten candidates in scrambled time order: all kept, newest first.
    std::vector<VTraceLogCandidate> ten;
    for (int i = 0; i < 10; ++i) {
        ten.push_back({"f" + std::to_string(i), static_cast<std::int64_t>((i * 7) % 10)});
    }
    const auto keptAll = PlanTraceLogCleanup(ten);
    ASSERT_EQ(keptAll.size(), 10u);
    for (std::size_t i = 0; i < keptAll.size(); ++i) {
        EXPECT_FALSE(keptAll[i].remove) << i;
        // Time 9 - i belongs to the candidate f<k> with 7k = 9 - i (mod 10), i.e. k = 3(9 - i).
        EXPECT_EQ(keptAll[i].path, "f" + std::to_string((3 * (9 - i)) % 10)) << i;
    }

    // Ties, also across the keep boundary: the one listed earlier counts as the newer.
    std::vector<VTraceLogCandidate> twelve{{"a", 50}, {"b", 70}, {"c", 50}, {"d", 70}};
    for (int i = 0; i < 6; ++i) twelve.push_back({"n" + std::to_string(i), 100 + i});
    twelve.push_back({"e", 30});
    twelve.push_back({"f", -5});  // before 1970: still ordered by value
    const auto plan = PlanTraceLogCleanup(twelve);
    const std::vector<std::string> order{"n5", "n4", "n3", "n2", "n1", "n0",
                                         "b",  "d",  "a",  "c",  "e",  "f"};
    ASSERT_EQ(plan.size(), order.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].path, order[i]) << i;
        EXPECT_EQ(plan[i].remove, i >= 10) << i;
    }

    std::vector<VTraceLogCandidate> tiedAtBoundary;
    for (int i = 0; i < 11; ++i) tiedAtBoundary.push_back({"t" + std::to_string(i), 42});
    const auto tied = PlanTraceLogCleanup(tiedAtBoundary);
    ASSERT_EQ(tied.size(), 11u);
    EXPECT_EQ(tied[9].path, "t9");
    EXPECT_FALSE(tied[9].remove);
    EXPECT_EQ(tied[10].path, "t10");
    EXPECT_TRUE(tied[10].remove);
}

TEST(TraceLogCleanupWalkTest, VanishedEntryCountsAsRemovedAndWalkGoesOn) {
    VScratchDirectory scratch;
    const fs::path kept = scratch.Path() / "plix_kept.log";
    const fs::path gone = scratch.Path() / "plix_gone.log";
    const fs::path old = scratch.Path() / "plix_old.log";
    WriteFile(kept, "k");
    WriteFile(old, "o");
    std::ostringstream out;
    EXPECT_NO_THROW(CarryOutTraceLogCleanup(
        {{kept.string(), false}, {gone.string(), true}, {old.string(), true}}, out));
    EXPECT_EQ(out.str(), kept.string() + "\n" + gone.string() + " will be removed!\n" +
                             old.string() + " will be removed!\n");
    EXPECT_EQ(EntryNames(scratch.Path()), std::set<std::string>{"plix_kept.log"});
}

TEST(TraceLogCleanupTest, MissingPathOrRegularFilePrintsNothing) {
    VScratchDirectory scratch;
    EXPECT_EQ(RunCleanup((scratch.Path() / "missing").string()), "");
    WriteFile(scratch.Path() / "plix_file", "not a directory");
    EXPECT_EQ(RunCleanup((scratch.Path() / "plix_file").string()), "");
    EXPECT_TRUE(fs::exists(scratch.Path() / "plix_file"));
}

TEST(TraceLogCleanupTest, DirectoryWithoutCandidatesPrintsHeaderAndEmptyLine) {
    VScratchDirectory scratch;
    const std::string dir = scratch.Path().string();
    EXPECT_EQ(RunCleanup(dir), "\"" + dir + "\" contains:\n\n");

    // Names that do not count stay, whatever their age and number.
    const std::time_t old = std::time(nullptr) - 100000;
    const std::set<std::string> foreign{
        "PLIX_00.log", "xplix_00.log", "plix.log", "a", "b", "c", "d", "e", "f", "g", "h", "i"};
    for (const auto& name : foreign) {
        WriteFile(scratch.Path() / name, name);
        SetWriteTime(scratch.Path() / name, old);
    }
    EXPECT_EQ(RunCleanup(dir), "\"" + dir + "\" contains:\n\n");
    EXPECT_EQ(EntryNames(scratch.Path()), foreign);
}

TEST(TraceLogCleanupTest, KeepsTenNewestAndRemovesOlderFilesAndEmptyDirectories) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    const std::time_t now = std::time(nullptr);
    std::string expectedKept;
    for (int i = 0; i < 10; ++i) {
        // plix_09 is the newest.
        const fs::path p = dir / ("plix_0" + std::to_string(i) + ".log");
        WriteFile(p, "trace");
        SetWriteTime(p, now - 1000 + i);
        expectedKept = p.string() + "\n" + expectedKept;
    }
    WriteFile(dir / "other.txt", "not a trace log");
    SetWriteTime(dir / "other.txt", now - 5000);
    const std::string header = "\"" + dir.string() + "\" contains:\n\n";

    EXPECT_EQ(RunCleanup(dir.string()), header + expectedKept);
    EXPECT_EQ(EntryNames(dir).size(), 11u);

    // An empty directory and a file, both older than the ten: both go, the oldest last.
    fs::create_directory(dir / "plix_emptydir");
    SetWriteTime(dir / "plix_emptydir", now - 2000);
    WriteFile(dir / "plix_", "oldest");
    SetWriteTime(dir / "plix_", now - 3000);
    EXPECT_EQ(RunCleanup(dir.string()), header + expectedKept + (dir / "plix_emptydir").string() +
                                            " will be removed!\n" + (dir / "plix_").string() +
                                            " will be removed!\n");
    EXPECT_EQ(EntryNames(dir).size(), 11u);
    EXPECT_FALSE(fs::exists(dir / "plix_emptydir"));
    EXPECT_FALSE(fs::exists(dir / "plix_"));
    EXPECT_TRUE(fs::exists(dir / "other.txt"));
}

TEST(TraceLogCleanupTest, FailedRemovalEndsCleanupSilentlyAfterItsLine) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    const std::time_t now = std::time(nullptr);
    std::string expectedKept;
    for (int i = 0; i < 10; ++i) {
        const fs::path p = dir / ("plix_1" + std::to_string(i) + ".log");
        WriteFile(p, "trace");
        SetWriteTime(p, now - 1000 + i);
        expectedKept = p.string() + "\n" + expectedKept;
    }
    fs::create_directory(dir / "plix_old");
    WriteFile(dir / "plix_old" / "keep.txt", "makes the directory non-empty");
    SetWriteTime(dir / "plix_old", now - 2000);
    WriteFile(dir / "plix_00.log", "older still");
    SetWriteTime(dir / "plix_00.log", now - 3000);

    std::string out;
    EXPECT_NO_THROW(out = RunCleanup(dir.string()));
    EXPECT_EQ(out, "\"" + dir.string() + "\" contains:\n\n" + expectedKept +
                       (dir / "plix_old").string() + " will be removed!\n");
    EXPECT_TRUE(fs::exists(dir / "plix_old" / "keep.txt"));
    EXPECT_TRUE(fs::exists(dir / "plix_00.log"));
    EXPECT_EQ(EntryNames(dir).size(), 12u);
}

TEST(TraceLogCleanupTest, HeaderQuotesPathAndDoublesAmpersandAndEscapesQuote) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path() / "a&b\"c";
    fs::create_directory(dir);
    WriteFile(dir / "plix_00.log", "x");
    EXPECT_EQ(RunCleanup(dir.string()), "\"" + scratch.Path().string() +
                                            "/a&&b&\"c\" contains:\n\n" +
                                            (dir / "plix_00.log").string() + "\n");
}

TEST(TraceLogCleanupTest, CandidateWithoutReadableWriteTimeEndsCleanupAfterHeader) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    const std::time_t now = std::time(nullptr);
    for (int i = 0; i < 12; ++i) {
        const fs::path p = dir / ("plix_" + std::to_string(10 + i) + ".log");
        WriteFile(p, "trace");
        SetWriteTime(p, now - 1000 + i);
    }
    // Listed, but its target is gone: reading its write time fails.
    fs::create_symlink(dir / "vanished", dir / "plix_vanished");
    EXPECT_EQ(RunCleanup(dir.string()), "\"" + dir.string() + "\" contains:\n");
    EXPECT_EQ(EntryNames(dir).size(), 13u);
}

}  // namespace
