// The programs from the outside on Windows: the shipped reader on its drive-D paths, plixwrite
// feeding the reader across processes, console control events as the console delivers them,
// and the fatal assertion's exit code. Console output and trace log files are compared byte for
// byte: text mode turns every line feed the programs write into CR LF.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/e2e/ConsoleRecords.h"
#include "tests/e2e/HandPartition.h"
#include "tests/windows/ChildProcess.h"
#include "writer/include/plixtrace/plixwriter.h"

namespace fs = std::filesystem;
using PlixTest::ChildProcess;
using PlixTest::HandPartition;

namespace {

const std::string kBanner = "=============== ReadPLIXTrace ===============\r\n\r\n";
constexpr DWORD CTRL_C = 0;
constexpr DWORD CTRL_BREAK = 1;
constexpr DWORD CTRL_CLOSE = 2;
// exit(-2) as a Windows parent sees it; Wine hands its POSIX parent the low byte, 254.
constexpr DWORD FATAL_EXIT = 0xFFFFFFFE;
// The file by which scripts/windows-build marks the drive D: it maps for the tests.
const char* const kScratchMarker = "d:\\plix-scratch-drive";

class ReaderWindowsTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string tag = std::to_string(GetCurrentProcessId()) + "." +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        // Children inherit the prefix; partitions of this test never meet anyone else's.
        SetEnvironmentVariableA("RTH_SHM_PREFIX", ("plixwin." + tag + ".").c_str());
        mWork = fs::temp_directory_path() / ("plixwin." + tag);
        fs::remove_all(mWork);
        fs::create_directories(mWork);
    }
    void TearDown() override {
        rthPartitionRemove("plixtrace");
        std::error_code ignored;
        fs::remove_all(mWork, ignored);
    }

    std::string Program(const char* name) const {
        return PlixTest::ProgramDirectory() + "\\" + name;
    }
    std::unique_ptr<ChildProcess> Start(const char* program, std::vector<std::string> arguments,
                                        const std::string& input = "") {
        return std::make_unique<ChildProcess>(Program(program), arguments, input, mWork.string(),
                                              "run" + std::to_string(++mRuns));
    }
    // Writes lines into the queue of "plixtrace" with plixwrite (creating both when missing).
    void WriteLines(const std::string& lines) {
        auto writer = Start("plixwrite.exe", {}, lines);
        ASSERT_TRUE(writer->Wait());
        ASSERT_EQ(writer->ExitCode(), 0u) << writer->Stderr();
    }

    fs::path mWork;
    int mRuns = 0;
};

// The lines of a trace log file: each must end in CR LF, and no other line feed may occur.
std::vector<std::string> CrLfLines(const std::string& bytes) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
        lines.push_back(bytes.substr(at, end - at));
    }
    EXPECT_EQ(at, bytes.size()) << "text after the last CR LF";
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    }
    return lines;
}

// plix_NN.log, as the sink numbers its files.
std::string LogName(int number) {
    char name[32];
    std::snprintf(name, sizeof name, "plix_%02d.log", number);
    return name;
}

void ExpectLogLine(const std::string& line, unsigned number, const std::string& text) {
    static const std::regex stamp(
        R"(([0-9]+): <[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}> (.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, stamp)) << line;
    EXPECT_EQ(std::stoul(m[1]), number);
    EXPECT_EQ(m[2].str(), text);
}

TEST_F(ReaderWindowsTest, ShippedReaderCleansAndLogsInTheDriveDDirectory) {
    // The shipped reader works on the real D:\\Tmp, which this test empties: it runs only on the
    // scratch drive D: that scripts/windows-build maps into its Wine prefix, never on a machine
    // where D: may hold an operator's trace logs.
    const bool underWine =
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    ASSERT_TRUE(underWine && fs::exists(kScratchMarker))
        << "refusing to run: this test removes d:\\Tmp and runs only under Wine, on the scratch "
           "drive D: of the Wine prefix that scripts/windows-build makes (marked by "
        << kScratchMarker << ")";
    fs::remove_all("d:\\Tmp");

    // No partition: banner, nothing listed (no directory yet), the reason, exit code 1. The
    // sink has created its directory, spelled as the sink spells it.
    auto reader = Start("ReadPLIXTrace.exe", {});
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->ExitCode(), 1u);
    EXPECT_EQ(reader->Stdout(), kBanner);
    EXPECT_EQ(reader->Stderr(), "ReadPLIXTrace: partition \"plixtrace\" does not exist\r\n");
    std::vector<std::string> onD;
    for (const auto& entry : fs::directory_iterator("d:\\")) {
        if (entry.path() != fs::path(kScratchMarker)) {
            onD.push_back(entry.path().filename().string());
        }
    }
    EXPECT_EQ(onD, std::vector<std::string>{"Tmp"});
    ASSERT_TRUE(fs::is_empty("d:\\tmp\\jub_logs"));

    // Twelve trace log files an hour apart, and names that do not count: the cleanup lists the
    // directory under the cleanup's spelling and removes the two oldest.
    const auto now = fs::file_time_type::clock::now();
    for (int i = 0; i < 12; ++i) {
        const fs::path file = fs::path("d:\\Tmp\\jub_logs") / LogName(i);
        std::ofstream(file) << i;
        fs::last_write_time(file, now - std::chrono::hours(12 - i));
    }
    for (const char* other : {"PLIX_99.log", "notes.txt"}) {
        std::ofstream(fs::path("d:\\Tmp\\jub_logs") / other) << "x";
        fs::last_write_time(fs::path("d:\\Tmp\\jub_logs") / other, now - std::chrono::hours(99));
    }
    reader = Start("ReadPLIXTrace.exe", {});
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->ExitCode(), 1u);
    std::string expected = kBanner + "\"d:\\tmp\\jub_logs\" contains:\r\n\r\n";
    for (int i = 11; i >= 0; --i) {
        expected +=
            "d:\\tmp\\jub_logs\\" + LogName(i) + (i < 2 ? " will be removed!" : "") + "\r\n";
    }
    EXPECT_EQ(reader->Stdout(), expected);
    EXPECT_FALSE(fs::exists("d:\\Tmp\\jub_logs\\plix_00.log"));
    EXPECT_FALSE(fs::exists("d:\\Tmp\\jub_logs\\plix_01.log"));
    EXPECT_TRUE(fs::exists("d:\\Tmp\\jub_logs\\plix_02.log"));
    EXPECT_TRUE(fs::exists("d:\\Tmp\\jub_logs\\PLIX_99.log"));
    EXPECT_TRUE(fs::exists("d:\\Tmp\\jub_logs\\notes.txt"));
    fs::remove_all("d:\\Tmp");
}

TEST_F(ReaderWindowsTest, WriterFeedsTheReaderAndConsoleEventsEndIt) {
    // Standard input in text mode: plixwrite takes CR LF and LF alike as the end of a line.
    WriteLines("first line\nsecond\r\nthird line\n");
    const std::string logs = (mWork / "logs&co").string();

    auto reader = Start("reader_under_test.exe", {logs});
    ASSERT_TRUE(reader->WaitForStdout("third line\r\n"));
    ASSERT_TRUE(reader->SendConsoleEvent(CTRL_C));
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->ExitCode(), 0u);
    EXPECT_EQ(reader->Stdout(),
              kBanner + "first line\r\nsecond\r\nthird line\r\nCTRL-C pressed\r\n");
    EXPECT_EQ(reader->Stderr(), "");
    std::vector<std::string> lines = CrLfLines(PlixTest::ReadBinaryFile(logs + "\\plix_00.log"));
    ASSERT_EQ(lines.size(), 3u);
    ExpectLogLine(lines[0], 1, "first line");
    ExpectLogLine(lines[1], 2, "second");
    ExpectLogLine(lines[2], 3, "third line");

    // A second run lists the directory ('&' doubled in the quoted path), reads what was written
    // since, and ends when the console is closed; its lines go into the next file.
    WriteLines("after restart\n");
    reader = Start("reader_under_test.exe", {logs});
    ASSERT_TRUE(reader->WaitForStdout("after restart\r\n"));
    // One reader at a time: a second one on the same directory is refused at start.
    auto second = Start("reader_under_test.exe", {logs});
    ASSERT_TRUE(second->Wait());
    EXPECT_EQ(second->ExitCode(), 1u);
    EXPECT_EQ(second->Stdout(), kBanner);
    EXPECT_NE(second->Stderr().find("is locked by another process"), std::string::npos)
        << second->Stderr();
    ASSERT_TRUE(reader->SendConsoleEvent(CTRL_CLOSE));
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->ExitCode(), 0u);
    std::string quoted = logs;
    quoted.replace(quoted.find('&'), 1, "&&");
    EXPECT_EQ(reader->Stdout(), kBanner + "\"" + quoted + "\" contains:\r\n\r\n" + logs +
                                    "\\plix_00.log\r\n" + "after restart\r\nwindows is closed\r\n");
    lines = CrLfLines(PlixTest::ReadBinaryFile(logs + "\\plix_01.log"));
    ASSERT_EQ(lines.size(), 1u);
    ExpectLogLine(lines[0], 1, "after restart");

    // Ctrl+Break is not the reader's: the system's default handling ends it, with no message.
    WriteLines("before break\n");
    reader = Start("reader_under_test.exe", {logs});
    ASSERT_TRUE(reader->WaitForStdout("before break\r\n"));
    const std::string before = reader->Stdout();
    ASSERT_TRUE(reader->SendConsoleEvent(CTRL_BREAK));
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->Stdout(), before);
}

// A pipe whose reader quit (ReadPLIXTrace | more, then more ends) is a console that is gone:
// the run ends in order instead of going on unseen with the partition and the lock held.
TEST_F(ReaderWindowsTest, AClosedPipeEndsTheRunAsAConsoleThatIsGone) {
    WriteLines("first\n");
    const std::string logs = (mWork / "logs").string();
    auto reader = std::make_unique<ChildProcess>(Program("reader_under_test.exe"),
                                                 std::vector<std::string>{logs}, "",
                                                 mWork.string(), "piped", true);
    ASSERT_TRUE(reader->ReadStdoutPipeUntil("first\r\n"));
    reader->CloseStdoutPipe();
    WriteLines("second\n");
    ASSERT_TRUE(reader->Wait()) << "the reader runs on after its console pipe was closed";
    EXPECT_EQ(reader->ExitCode(), 0u);
    EXPECT_EQ(reader->Stderr().rfind("ReadPLIXTrace: the console is gone", 0), 0u)
        << reader->Stderr();
    // The record whose print failed is still in the trace log.
    const std::vector<std::string> lines =
        CrLfLines(PlixTest::ReadBinaryFile(logs + "\\plix_00.log"));
    ASSERT_EQ(lines.size(), 2u);
    ExpectLogLine(lines[1], 2, "second");
}

// The command lines under the programs' own names, as on POSIX: the runtime's getopt names
// the program from its own argument vector (the full path of the .exe) unless told otherwise.
TEST_F(ReaderWindowsTest, CommandLinesAreReadUnderTheProgramsNames) {
    const struct {
        const char* program;
        std::string argument;
        DWORD exitCode;
        std::string out;  // the start of standard output
        std::string err;  // the start of standard error
    } cases[] = {
        {"ReadPLIXTrace.exe", "--vers", 0, "ReadPLIXTrace " PLIX_VERSION "\r\n", ""},
        {"ReadPLIXTrace.exe", "--help", 0, "Usage: ReadPLIXTrace [--help | --version]\r\n", ""},
        {"ReadPLIXTrace.exe", "--bogus", 2, "", "ReadPLIXTrace: "},
        {"rthpart.exe", "--frob", 2, "", "rthpart: "},
        {"plixwrite.exe", "-x", 2, "", "plixwrite: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.argument);
        auto child = Start(c.program, {c.argument});
        ASSERT_TRUE(child->Wait());
        EXPECT_EQ(child->ExitCode(), c.exitCode);
        EXPECT_EQ(child->Stdout().rfind(c.out, 0), 0u) << child->Stdout();
        const std::string err = child->Stderr();
        EXPECT_EQ(err.rfind(c.err, 0), 0u) << err;
        // A bad command line: the reason, then the usage line.
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), c.exitCode == 2 ? 2 : 0) << err;
    }
    EXPECT_EQ(shmSizeGet("plixtrace"), 0u);  // nothing created
}

TEST_F(ReaderWindowsTest, BrokenPartitionsEndWithOneOrTheFatalExitCode) {
    HandPartition p("plixtrace", 4096);
    const std::string logs = (mWork / "logs").string();

    // Never initialised (all zero): refused with exit code 1 and the reason on stderr.
    auto reader = Start("reader_under_test.exe", {logs});
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->ExitCode(), 1u);
    EXPECT_EQ(reader->Stdout(), kBanner);
    const std::string reason = reader->Stderr();
    EXPECT_EQ(reason.rfind("ReadPLIXTrace: partition \"plixtrace\" could not be opened", 0), 0u)
        << reason;
    EXPECT_EQ(reason.find('\n'), reason.size() - 1);
    EXPECT_EQ(reason.find('\r'), reason.size() - 2);

    // initTime 0 with a valid checksum is an impossible state: the fatal assertion, which
    // names the program (without ".exe") and the failed check in one line.
    p.WriteHeader(0, 1);
    p.WriteQueue(1);
    reader = Start("reader_under_test.exe", {logs});
    ASSERT_TRUE(reader->Wait());
    EXPECT_EQ(reader->ExitCode(), FATAL_EXIT);
    EXPECT_EQ(reader->Stdout(), kBanner + "\"" + logs + "\" contains:\r\n\r\n");
    EXPECT_TRUE(std::regex_match(
        reader->Stderr(), std::regex(R"(reader_under_test: fatal: ZUL_ASSERT failed \[false\] in )"
                                     R"(ZulOsCom::VShmHeader::AddRefGetInitTime, line [0-9]+\r\n)")))
        << reader->Stderr();
}

// A writer far faster than the reader's console drops most of its records into a 4096-byte
// partition; the writer library marks each hole where it is: the markers before a record count
// exactly the records missing since the one before it. Those at the end are marked when the
// queue has room at the writer's close, else counted in plixwrite's summary alone.
TEST_F(ReaderWindowsTest, DroppedRecordsAreMarkedWhereTheyAreMissing) {
    auto setUp = Start("plixwrite.exe", {"--size", "4096"}, "ready\n");
    ASSERT_TRUE(setUp->Wait());
    ASSERT_EQ(setUp->ExitCode(), 0u) << setUp->Stderr();
    auto reader = Start("reader_under_test.exe", {(mWork / "logs").string()});
    ASSERT_TRUE(reader->WaitForStdout("ready\r\n"));

    constexpr uint64_t COUNT = 20000;
    auto writer = Start("plixwrite.exe", {"--drop", "--count", std::to_string(COUNT), "--length",
                                          "56"});
    ASSERT_TRUE(writer->Wait(120000));
    ASSERT_EQ(writer->ExitCode(), 0u) << writer->Stderr();
    unsigned long long written = 0, dropped = 0;
    ASSERT_EQ(std::sscanf(writer->Stderr().c_str(), "plixwrite: %llu written, %llu dropped",
                          &written, &dropped),
              2)
        << writer->Stderr();
    WriteLines("end\n");
    ASSERT_TRUE(reader->WaitForStdout("end\r\n", 120000));
    ASSERT_TRUE(reader->SendConsoleEvent(CTRL_C));
    ASSERT_TRUE(reader->Wait());

    std::string out = reader->Stdout();
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    PlixTest::ConsoleRecords console(54);
    console.Append(out.data(), out.size());
    console.Finish();
    const std::vector<uint64_t>& numbers = console.Numbers();
    EXPECT_EQ(console.MalformedCount(), 0u);
    ASSERT_EQ(numbers.size(), written);
    std::vector<uint64_t> marked(numbers.size() + 1, 0);  // by the records printed before them
    for (size_t i = 0; i < console.OtherLines().size(); ++i) {
        const std::string& line = console.OtherLines()[i];
        if (line.rfind(PLIXW_DROP_MARKER_PREFIX, 0) == 0) {
            unsigned long long n = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "plixwriter: %llu records dropped (queue full)", &n),
                      1)
                << line;
            marked[console.RecordsBefore()[i]] += n;
        }
    }
    uint64_t missing = 0;
    uint64_t previous = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        ASSERT_GT(numbers[i], previous);
        EXPECT_EQ(marked[i], numbers[i] - previous - 1) << "hole before record " << numbers[i];
        missing += numbers[i] - previous - 1;
        previous = numbers[i];
    }
    EXPECT_LE(marked[numbers.size()], COUNT - previous);  // the end: marked when there was room
    EXPECT_EQ(missing + COUNT - previous, dropped);
}

}  // namespace
