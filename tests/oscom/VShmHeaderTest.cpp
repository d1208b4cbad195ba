// VShmHeader: checksum known answers and the reference-count protocol with its diagnostics.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "oscom/VShmHeader.h"
#include "tests/oscom/OscomTestSupport.h"
#include "tests/support/Portable.h"

using namespace ZulOsCom;
using OscomTest::DiagCaptureTest;
using OscomTest::FatalLine;
using OscomTest::GuardedRegion;
using OscomTest::Literal;
using OscomTest::WriteHeader;

namespace {

constexpr const char* ADD_REF = "ZulOsCom::VShmHeader::AddRefGetInitTime";
constexpr const char* RELEASE = "ZulOsCom::VShmHeader::ReleaseRefIfTimeStampMatches";
constexpr const char* INIT = "ZulOsCom::VShmHeader::InitRefCountAndTime";

class VShmHeaderTest : public DiagCaptureTest {
protected:
    void SetUp() override {
        DiagCaptureTest::SetUp();
        WriteHeader(mRegion.Begin(), "abc", 4096, 1, 0);
    }
    VShmHeader& Header() { return *reinterpret_cast<VShmHeader*>(mRegion.Begin()); }

    // Shared with fork()ed death-test children, so their last writes can be checked.
    GuardedRegion mRegion{64};
};

// Set by the hooks below: the stamp the hook found, and the one it writes.
uint64_t sSeenInitTime = 0;
void ChangeInitTimeTo99(VShmHeader& header) {
    sSeenInitTime = header.LoadInitTime();
    header.StoreInitTime(99);
}

TEST_F(VShmHeaderTest, ChecksumKnownAnswerAndCoverage) {
    uint8_t zero[64] = {};
    EXPECT_EQ(0, reinterpret_cast<VShmHeader*>(zero)->ComputeSum());

    VShmHeader& h = Header();
    EXPECT_EQ(0xC7, h.checksum);
    EXPECT_EQ(0, h.ComputeSum());
    h.checksum = 0;
    EXPECT_EQ(0x39, h.ComputeSum());  // 0x139 modulo 256
    h.checksum = 0xC7;

    uint8_t* bytes = mRegion.Begin();
    // refCount and the reserved bytes lie outside the checksummed part.
    for (int i = 49; i < 64; ++i) {
        bytes[i] ^= 0x5A;
        EXPECT_EQ(0, h.ComputeSum()) << "byte " << i;
        bytes[i] ^= 0x5A;
    }
    // Every byte of 0..48 is covered.
    for (int i = 0; i <= 48; ++i) {
        bytes[i] ^= 0x01;
        EXPECT_NE(0, h.ComputeSum()) << "byte " << i;
        bytes[i] ^= 0x01;
    }
    EXPECT_EQ(0, h.ComputeSum());

    // initTime halves: low word first.
    EXPECT_EQ(1u, h.LoadInitTime());
    h.StoreInitTime(0x1122334455667788ull);
    EXPECT_EQ(0x55667788u, h.initTime[0]);
    EXPECT_EQ(0x11223344u, h.initTime[1]);
    EXPECT_EQ(0x1122334455667788ull, h.LoadInitTime());
}

TEST_F(VShmHeaderTest, AttachRefuseAndRelease) {
    VShmHeader& h = Header();
    // First attach: nobody expected.
    EXPECT_EQ(1u, h.AddRefGetInitTime(false));
    EXPECT_EQ(1, h.LoadRefCount());
    EXPECT_EQ(std::vector<std::string>{"VShmHeader::AddRefGetInitTime(abc): ref=1, initTime=1"},
              Messages("INFO", ADD_REF));

    // Others expected and present.
    EXPECT_EQ(1u, h.AddRefGetInitTime(true));
    EXPECT_EQ(2, h.LoadRefCount());

    // Release both: no lower bound, so a third release goes to -1.
    ClearLines();
    h.ReleaseRefIfTimeStampMatches(1);
    h.ReleaseRefIfTimeStampMatches(1);
    EXPECT_EQ(0, h.LoadRefCount());
    h.ReleaseRefIfTimeStampMatches(1);
    EXPECT_EQ(-1, h.LoadRefCount());
    EXPECT_EQ(
        (std::vector<std::string>{"ReleaseRefIfTimeStampMatches(abc) new refCount=1, initTime=1",
                                  "ReleaseRefIfTimeStampMatches(abc) new refCount=0, initTime=1",
                                  "ReleaseRefIfTimeStampMatches(abc) new refCount=-1, initTime=1"}),
        Messages("INFO", RELEASE));

    // Refused attach: others expected, none there; the reference is taken back.
    h.refCount = 0;
    ClearLines();
    EXPECT_EQ(0u, h.AddRefGetInitTime(true));
    EXPECT_EQ(0, h.LoadRefCount());
    const auto lines = Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("INFO", lines[0].level);
    EXPECT_EQ("VShmHeader::AddRefGetInitTime(abc): ref=1, initTime=1", lines[0].message);
    EXPECT_EQ("ERROR", lines[1].level);
    EXPECT_EQ(ADD_REF, lines[1].function);
    EXPECT_EQ("Unexpected state in VShmHeader::AddRefGetInitTime of abc: ref=1", lines[1].message);
    EXPECT_EQ("INFO", lines[2].level);
    EXPECT_EQ(RELEASE, lines[2].function);
    EXPECT_EQ("ReleaseRefIfTimeStampMatches(abc) new refCount=0, initTime=1", lines[2].message);
    EXPECT_EQ(0, h.ComputeSum());
}

TEST_F(VShmHeaderTest, SkippedReleases) {
    VShmHeader& h = Header();
    h.refCount = 3;
    h.StoreInitTime(0x100000002ull);
    h.ReleaseRefIfTimeStampMatches(2);  // the low half alone does not match
    EXPECT_EQ(3, h.LoadRefCount());
    EXPECT_EQ(std::vector<std::string>{"Init times do not match! -> Skip modification of refcount! "
                                       "RefCount=3, shmem initTime=4294967298, given initTime=2"},
              Messages("WARNING", RELEASE));

    ClearLines();
    h.StoreInitTime(0);
    h.ReleaseRefIfTimeStampMatches(0);
    EXPECT_EQ(3, h.LoadRefCount());
    EXPECT_EQ(std::vector<std::string>{"ReleaseRefIfTimeStampMatches(abc) called without AddRef() "
                                       "or after multiple Release() calls!"},
              Messages("WARNING", RELEASE));
}

TEST_F(VShmHeaderTest, NameWithoutTerminatorIsPrintedBounded) {
    VShmHeader& h = Header();
    std::memset(h.name, 'x', sizeof h.name);  // no NUL in the field; size etc. follow
    h.AddRefGetInitTime(false);
    EXPECT_EQ(std::vector<std::string>{"VShmHeader::AddRefGetInitTime(" + std::string(32, 'x') +
                                       "): ref=1, initTime=1"},
              Messages("INFO", ADD_REF));
}

TEST_F(VShmHeaderTest, InitRefCountAndTime) {
    VShmHeader& h = Header();
    const uint64_t t = h.InitRefCountAndTime();
    EXPECT_NE(0u, t);
    EXPECT_EQ(t, h.LoadInitTime());
    EXPECT_EQ(1, h.LoadRefCount());
    EXPECT_TRUE(Lines().empty());

    // Another user counted already.
    std::string expected;
    try {
        h.InitRefCountAndTime();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        const std::string now = std::to_string(h.LoadInitTime());
        expected =
            "Concurrent modification of shared memory during initialization! RefCount=2, "
            "timestamp before modification = " +
            now + ", timestamp after modification = " + now;
        EXPECT_EQ(expected, e.what());
    }
    EXPECT_EQ(2, h.LoadRefCount());
    EXPECT_EQ(std::vector<std::string>{expected}, Messages("ERROR", INIT));

    // The stamp changes between the interlocked step and the second read.
    h.refCount = 0;
    ClearLines();
    VShmHeader::sAfterInterlockedStepForTesting = ChangeInitTimeTo99;
    try {
        h.InitRefCountAndTime();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        expected =
            "Concurrent modification of shared memory during initialization! RefCount=1, "
            "timestamp before modification = " +
            std::to_string(sSeenInitTime) + ", timestamp after modification = 99";
        EXPECT_EQ(expected, e.what());
    }
    EXPECT_EQ(1, h.LoadRefCount());
    EXPECT_EQ(std::vector<std::string>{expected}, Messages("ERROR", INIT));
}

TEST_F(VShmHeaderTest, FatalStates) {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child writes into mRegion, seen here
    VShmHeader& h = Header();

    // Attach to a header that was never initialised: refCount untouched.
    h.StoreInitTime(0);
    h.refCount = 5;
    EXPECT_EXIT(
        {
            EchoToStderr();
            h.AddRefGetInitTime(false);
        },
        testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
        Literal("AddRefRememberInitTime() has invalid init time!") + "(.|\n)*" +
            FatalLine(ADD_REF, "false"));
    EXPECT_EQ(5, h.LoadRefCount());

    // initTime changes during an attach: the increment stays.
    h.StoreInitTime(1);
    EXPECT_EXIT(
        {
            EchoToStderr();
            VShmHeader::sAfterInterlockedStepForTesting = ChangeInitTimeTo99;
            h.AddRefGetInitTime(false);
        },
        testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
        Literal("Concurrent initialization of shared memory by a different process! InitTime "
                "before modification=1, initTime after modification = 99") +
            "(.|\n)*" + FatalLine(ADD_REF, "false"));
    EXPECT_EQ(6, h.LoadRefCount());
    EXPECT_EQ(99u, h.LoadInitTime());

    // initTime changes during a release: the decrement is taken back first.
    h.StoreInitTime(1);
    EXPECT_EXIT(
        {
            EchoToStderr();
            VShmHeader::sAfterInterlockedStepForTesting = ChangeInitTimeTo99;
            h.ReleaseRefIfTimeStampMatches(1);
        },
        testing::ExitedWithCode(PlixTest::FATAL_EXIT_CODE),
        Literal("Concurrent modification of shmem during ReleaseRefIfTimeStampMatches(abc). "
                "refCount=5, initTime=1, modified initTime=99") +
            "(.|\n)*" + FatalLine(RELEASE, "false"));
    EXPECT_EQ(6, h.LoadRefCount());
}

}  // namespace
