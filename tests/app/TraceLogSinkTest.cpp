// Tests of the trace log sink against the installed logging library. Installing the sink changes
// the process-wide logging core and collector for good, so every case installs it in a child
// process of its own (a death-test child that must end with exit code 0) and the parent then
// inspects the files the child left. The child reports a failed check on stderr with exit code 1.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/log/attributes/current_process_id.hpp>
#include <boost/log/attributes/counter.hpp>
#include <boost/log/attributes/current_thread_id.hpp>
#include <boost/log/attributes/mutable_constant.hpp>
#include <boost/log/core.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sources/logger.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "app/TraceLogRecorder.h"
#include "app/TraceLogSink.h"
#include "tests/app/AppTestSupport.h"

namespace fs = boost::filesystem;
using PlixTest::EntryNames;
using PlixTest::ParseTraceLine;
using PlixTest::ReadFile;
using PlixTest::SplitLines;
using PlixTest::VScratchDirectory;
using PlixTest::WriteFile;
using PlixTest::WriteFileOfSize;

namespace {

// "N: <YYYY-mm-dd HH:MM:SS> " for a one-digit line number.
constexpr std::size_t PREFIX_LENGTH = 25;
// A file holding one record of this many bytes (line feed included): 0.9 MiB.
constexpr std::size_t NINE_TENTHS_MIB = 943718;

enum class ChildEnd { Exit, QuickExit };

// Fails the child: message on stderr, exit code 1 (the parent's EXPECT_EXIT shows both).
void ChildCheck(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "child check failed: %s\n", what);
        std::_Exit(1);
    }
}

// Runs body in a child process. The child ends through exit (static destructors run, the
// logging core is destroyed) or _Exit (nothing runs after the body), with code 0 unless a check
// failed or an exception escaped.
template <class Body>
void RunInChild(ChildEnd end, Body body) {
    EXPECT_EXIT(
        {
            try {
                body();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child exception: %s\n", e.what());
                std::_Exit(3);
            }
            if (end == ChildEnd::Exit) std::exit(0);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

void LogInfo(const std::string& message) { BOOST_LOG_TRIVIAL(info) << message; }

// A message whose formatted line (one-digit line number, without line feed) has this length.
std::string MessageForLineLength(std::size_t length, char fill = 'm') {
    return std::string(length - PREFIX_LENGTH, fill);
}

std::vector<PlixTest::VTraceLine> ReadTraceLines(const fs::path& file) {
    bool complete = false;
    std::vector<PlixTest::VTraceLine> parsed;
    for (const std::string& line : SplitLines(ReadFile(file), &complete)) {
        auto p = ParseTraceLine(line);
        EXPECT_TRUE(p.has_value()) << file << ": bad line start " << line.substr(0, 60);
        if (p) parsed.push_back(*p);
    }
    EXPECT_TRUE(complete) << file << " does not end with a line feed";
    return parsed;
}

TEST(TraceLogSinkTest, FirstRecordCreatesFirstFileInCreatedDirectory) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path() / "logs" / "trace";
    const auto before = boost::posix_time::second_clock::local_time();
    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        ChildCheck(fs::is_directory(dir), "directory created at set-up");
        ChildCheck(fs::is_empty(dir), "no file before the first record");
        LogInfo("hello trace");
    });
    const auto after = boost::posix_time::second_clock::local_time();

    // The content is complete although the child ended by _Exit: every record is flushed.
    ASSERT_EQ(EntryNames(dir), std::set<std::string>{"plix_00.log"});
    const std::string text = ReadFile(dir / "plix_00.log");
    const auto lines = ReadTraceLines(dir / "plix_00.log");
    ASSERT_EQ(lines.size(), 1u) << text;
    EXPECT_EQ(lines[0].lineId, 1u);
    EXPECT_EQ(lines[0].message, "hello trace");
    EXPECT_EQ(text.size(), PREFIX_LENGTH + std::string("hello trace\n").size());
    const auto stamp = boost::posix_time::time_from_string(lines[0].timeStamp);
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

TEST(TraceLogSinkTest, RunWithoutRecordsCreatesNoFileAndDeletesNone) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    // Together far above the collector's limit: only a hand-over could delete them.
    for (const char* name : {"plix_00.log", "plix_01.log", "plix_02.log"}) {
        WriteFileOfSize(dir / name, 1000000);
    }
    RunInChild(ChildEnd::Exit, [&] {
        InitTraceLogSink(dir.string());
        BOOST_LOG_TRIVIAL(debug) << "dropped";
        BOOST_LOG_TRIVIAL(trace) << "dropped";
    });
    EXPECT_EQ(EntryNames(dir),
              (std::set<std::string>{"plix_00.log", "plix_01.log", "plix_02.log"}));
    for (const char* name : {"plix_00.log", "plix_01.log", "plix_02.log"}) {
        EXPECT_EQ(fs::file_size(dir / name), 1000000u) << name;
    }
}

TEST(TraceLogSinkTest, FilterKeepsInfoAndAboveAndOnlyKeptRecordsAreNumbered) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        boost::log::sources::logger withoutSeverity;
        BOOST_LOG_TRIVIAL(trace) << "t";
        BOOST_LOG_TRIVIAL(debug) << "d";
        BOOST_LOG_TRIVIAL(info) << "i";
        BOOST_LOG(withoutSeverity) << "no severity";
        BOOST_LOG_TRIVIAL(debug) << "d2";
        BOOST_LOG_TRIVIAL(warning) << "w";
        BOOST_LOG_TRIVIAL(error) << "e";
        BOOST_LOG_TRIVIAL(fatal) << "f";
    });
    const auto lines = ReadTraceLines(dir / "plix_00.log");
    ASSERT_EQ(lines.size(), 4u);
    const std::vector<std::string> messages{"i", "w", "e", "f"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].lineId, i + 1);
        EXPECT_EQ(lines[i].message, messages[i]);
    }
}

TEST(TraceLogSinkTest, NumberingContinuesAfterHighestMatchingFile) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    const std::vector<std::string> old{"plix_00.log", "plix_01.log", "plix_02.log", "plix_03.log",
                                       "plix_04.log"};
    // None of these match the pattern, so none may move the counter.
    const std::vector<std::string> foreign{"plix_9.log", "plix_07.txt", "PLIX_08.log",
                                           "xplix_09.log", "plix_12.log.bak"};
    for (const auto& name : old) WriteFile(dir / name, "old " + name + "\n");
    for (const auto& name : foreign) WriteFile(dir / name, "foreign\n");

    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        LogInfo("a");
        LogInfo("b");
    });
    const auto lines = ReadTraceLines(dir / "plix_05.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].lineId, 1u);
    EXPECT_EQ(lines[0].message, "a");
    EXPECT_EQ(lines[1].lineId, 2u);
    EXPECT_EQ(lines[1].message, "b");
    for (const auto& name : old) EXPECT_EQ(ReadFile(dir / name), "old " + name + "\n");
    for (const auto& name : foreign) EXPECT_EQ(ReadFile(dir / name), "foreign\n");
    EXPECT_EQ(EntryNames(dir).size(), old.size() + foreign.size() + 1);
}

TEST(TraceLogSinkTest, RotatesWhenNextRecordWouldReachRotationSize) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    constexpr std::size_t R = 1048576;
    // plix_00: 1026 bytes, then a record that ends exactly at R (written + formatted = R - 1).
    const std::size_t first = 1025;
    const std::size_t second = R - (first + 1) - 1;
    // plix_01: 36 bytes, then a record with written + formatted = R exactly: it must move on.
    const std::size_t third = 35;
    const std::size_t fourth = R - (third + 1);
    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        LogInfo(MessageForLineLength(first, 'a'));
        LogInfo(MessageForLineLength(second, 'b'));
        LogInfo(MessageForLineLength(third, 'c'));
        LogInfo(MessageForLineLength(fourth, 'd'));
    });
    ASSERT_EQ(EntryNames(dir),
              (std::set<std::string>{"plix_00.log", "plix_01.log", "plix_02.log"}));
    EXPECT_EQ(fs::file_size(dir / "plix_00.log"), R);
    EXPECT_EQ(fs::file_size(dir / "plix_01.log"), third + 1);
    EXPECT_EQ(fs::file_size(dir / "plix_02.log"), fourth + 1);

    const auto f0 = ReadTraceLines(dir / "plix_00.log");
    ASSERT_EQ(f0.size(), 2u);
    EXPECT_EQ(f0[0].lineId, 1u);
    EXPECT_EQ(f0[1].lineId, 2u);
    EXPECT_EQ(f0[1].message, MessageForLineLength(second, 'b'));
    const auto f1 = ReadTraceLines(dir / "plix_01.log");
    ASSERT_EQ(f1.size(), 1u);
    EXPECT_EQ(f1[0].lineId, 3u);
    const auto f2 = ReadTraceLines(dir / "plix_02.log");
    ASSERT_EQ(f2.size(), 1u);
    EXPECT_EQ(f2[0].lineId, 4u);
    EXPECT_EQ(f2[0].message, MessageForLineLength(fourth, 'd'));
}

// Three files of one 0.9 MiB record each (every next record rotates), then a fourth record of
// about 0.29 MiB. Handing over the third file deletes the first.
void WriteThreeNineTenthsFilesAndOneMore(const fs::path& dir) {
    InitTraceLogSink(dir.string());
    LogInfo(MessageForLineLength(NINE_TENTHS_MIB - 1, '1'));
    LogInfo(MessageForLineLength(NINE_TENTHS_MIB - 1, '2'));
    LogInfo(MessageForLineLength(NINE_TENTHS_MIB - 1, '3'));
    LogInfo(MessageForLineLength(300000, '4'));
}

TEST(TraceLogSinkTest, CollectorKeepsClosedFilesWithinTotalSize) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    RunInChild(ChildEnd::QuickExit, [&] { WriteThreeNineTenthsFilesAndOneMore(dir); });
    // 3 * 943,718 = 2,831,154 > 2,097,152 >= 2 * 943,718.
    ASSERT_EQ(EntryNames(dir),
              (std::set<std::string>{"plix_01.log", "plix_02.log", "plix_03.log"}));
    EXPECT_EQ(fs::file_size(dir / "plix_01.log"), NINE_TENTHS_MIB);
    EXPECT_EQ(fs::file_size(dir / "plix_02.log"), NINE_TENTHS_MIB);
    EXPECT_EQ(ReadTraceLines(dir / "plix_01.log").at(0).lineId, 2u);
    EXPECT_EQ(ReadTraceLines(dir / "plix_03.log").at(0).lineId, 4u);
}

TEST(TraceLogSinkTest, OrderlyProcessEndHandsOverCurrentFileToCollector) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    RunInChild(ChildEnd::Exit, [&] { WriteThreeNineTenthsFilesAndOneMore(dir); });
    // At exit plix_03 (300,026 bytes) is handed over as well: 2 * 943,718 + 300,026 exceeds the
    // limit, so the oldest closed file, plix_01, goes too.
    ASSERT_EQ(EntryNames(dir), (std::set<std::string>{"plix_02.log", "plix_03.log"}));
    EXPECT_EQ(fs::file_size(dir / "plix_03.log"), 300000 + 1u);
}

TEST(TraceLogSinkTest, ScannedFilesCountTowardsLimitAndGoOldestFirst) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    const std::time_t now = std::time(nullptr);
    // plix_01 is older than plix_00 by write time: it must go first.
    WriteFileOfSize(dir / "plix_00.log", NINE_TENTHS_MIB);
    WriteFileOfSize(dir / "plix_01.log", NINE_TENTHS_MIB);
    PlixTest::SetWriteTime(dir / "plix_00.log", now - 100);
    PlixTest::SetWriteTime(dir / "plix_01.log", now - 200);
    // Not matching the pattern: never counted, never deleted, although older and large.
    for (const char* name : {"plix_9.log", "PLIX_00.log", "notes.txt"}) {
        WriteFileOfSize(dir / name, NINE_TENTHS_MIB);
        PlixTest::SetWriteTime(dir / name, now - 1000);
    }
    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        LogInfo(MessageForLineLength(NINE_TENTHS_MIB - 1));
        LogInfo(MessageForLineLength(200000, 'z'));  // too long for plix_02: closes it
    });
    EXPECT_EQ(EntryNames(dir), (std::set<std::string>{"plix_00.log", "plix_02.log", "plix_03.log",
                                                      "plix_9.log", "PLIX_00.log", "notes.txt"}));
    const auto last = ReadTraceLines(dir / "plix_03.log");
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].lineId, 2u);
    EXPECT_EQ(last[0].message, MessageForLineLength(200000, 'z'));
}

// The collector knows write times in whole seconds and keeps files of equal time in the order the
// directory listing gave them, whatever their numbers: the one listed first is deleted first.
TEST(TraceLogSinkTest, CollectorBreaksWriteTimeTiesByListingOrder) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    const std::time_t then = std::time(nullptr) - 100;
    for (const char* name : {"plix_00.log", "plix_01.log"}) {
        WriteFileOfSize(dir / name, NINE_TENTHS_MIB);
        PlixTest::SetWriteTime(dir / name, then);
    }
    std::vector<std::string> listing;
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        listing.push_back(it->path().filename().string());
    }
    ASSERT_EQ(listing.size(), 2u);

    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        LogInfo(MessageForLineLength(NINE_TENTHS_MIB - 1));
        LogInfo(MessageForLineLength(200000, 'z'));  // too long for plix_02: closes it
    });
    EXPECT_FALSE(fs::exists(dir / listing[0])) << "listed first: " << listing[0];
    EXPECT_TRUE(fs::exists(dir / listing[1])) << "listed second: " << listing[1];
    EXPECT_TRUE(fs::exists(dir / "plix_02.log"));
}

TEST(TraceLogSinkTest, LogFileThatCannotBeOpenedThrowsFromLoggingStatement) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        // A directory where the first log file would go (works for root, too).
        fs::create_directory(dir / "plix_00.log");
        bool thrown = false;
        try {
            LogInfo("lost");
        } catch (const fs::filesystem_error& e) {
            // The system's reason, not the library's generic code.
            const std::string what = e.what();
            thrown = what.find("Failed to open the trace log for writing") != std::string::npos &&
                     what.find(std::strerror(EISDIR)) != std::string::npos;
        }
        ChildCheck(thrown, "filesystem_error 'Failed to open the trace log for writing' (EISDIR)");
    });
    EXPECT_EQ(EntryNames(dir), std::set<std::string>{"plix_00.log"});
    EXPECT_TRUE(fs::is_directory(dir / "plix_00.log"));
}

TEST(TraceLogSinkTest, DirectoryThatCannotBeCreatedThrowsAtSetUp) {
    VScratchDirectory scratch;
    WriteFile(scratch.Path() / "blocker", "a regular file\n");
    const fs::path dir = scratch.Path() / "blocker" / "logs";
    RunInChild(ChildEnd::Exit, [&] {
        bool thrown = false;
        try {
            InitTraceLogSink(dir.string());
        } catch (const fs::filesystem_error&) {
            thrown = true;
        }
        ChildCheck(thrown, "set-up throws filesystem_error");
        // No sink was added: the record reaches no file (the library's default console output
        // takes it) and nothing throws.
        LogInfo("no file");
    });
    EXPECT_EQ(EntryNames(scratch.Path()), std::set<std::string>{"blocker"});
}

template <class T>
std::optional<T> ValueOf(const boost::log::record_view& rec, const char* name) {
    const auto ref = rec[name].extract<T>();
    return ref ? std::optional<T>(ref.get()) : std::nullopt;
}

// Records the attribute values of every record that passes the core's filter.
class VAttributeProbe
    : public boost::log::sinks::basic_sink_backend<boost::log::sinks::synchronized_feeding> {
public:
    struct Seen {
        std::optional<unsigned int> lineId;
        std::optional<boost::posix_time::ptime> timeStamp;
        std::optional<boost::log::process_id> processId;
        std::optional<boost::log::thread_id> threadId;
    };
    void consume(const boost::log::record_view& rec) {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back(Seen{ValueOf<unsigned int>(rec, "LineID"),
                             ValueOf<boost::posix_time::ptime>(rec, "TimeStamp"),
                             ValueOf<boost::log::process_id>(rec, "ProcessID"),
                             ValueOf<boost::log::thread_id>(rec, "ThreadID")});
    }
    std::vector<Seen> SeenRecords() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mSeen;
    }

private:
    std::mutex mMutex;
    std::vector<Seen> mSeen;
};

TEST(TraceLogSinkTest, RecordsCarryProcessAndThreadIdentifiers) {
    VScratchDirectory scratch;
    const fs::path dir = scratch.Path();
    RunInChild(ChildEnd::QuickExit, [&] {
        InitTraceLogSink(dir.string());
        auto probe = boost::make_shared<VAttributeProbe>();
        boost::log::core::get()->add_sink(
            boost::make_shared<boost::log::sinks::synchronous_sink<VAttributeProbe>>(probe));
        LogInfo("main thread");
        std::thread([] { LogInfo("other thread"); }).join();

        const auto seen = probe->SeenRecords();
        ChildCheck(seen.size() == 2, "two records");
        for (std::size_t i = 0; i < seen.size(); ++i) {
            ChildCheck(seen[i].lineId && *seen[i].lineId == i + 1, "LineID 1, 2");
            ChildCheck(bool(seen[i].timeStamp), "TimeStamp present");
            ChildCheck(seen[i].processId &&
                           seen[i].processId->native_id() == static_cast<unsigned long>(::getpid()),
                       "ProcessID is this process");
            ChildCheck(bool(seen[i].threadId), "ThreadID present");
        }
        ChildCheck(*seen[0].threadId != *seen[1].threadId, "ThreadID differs per thread");
    });
    // The identifiers travel with the records but are not written.
    const auto lines = ReadTraceLines(dir / "plix_00.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "main thread");
    EXPECT_EQ(lines[1].message, "other thread");
}

// The read loop hands a record's first line to the logger in place (TraceLogRecorder: the
// stream's write with a length) instead of copying it into a string and streaming that. The
// files must come out the same byte for byte: the same records through both ways, with time
// stamps stepped across second, minute, hour, day and year ends and a leap day, line numbers
// past a change of digit count, empty, long and odd messages, and a rotation.
TEST(TraceLogSinkTest, LoggingInPlaceWritesTheSameFilesAsLoggingACopy) {
    constexpr int RECORDS = 12000;
    constexpr unsigned FIRST_LINE_ID = 999995000;  // reaches 10 digits after 5000 records
    // Record i: its text as the queue gives it (possibly several lines), and its time stamp.
    const auto text = [](int i) {
        std::string t = std::to_string(i) + " ";
        switch (i % 7) {
            case 0: t += std::string(static_cast<std::size_t>(200 + i % 200), 'a' + i % 26); break;
            case 1: t += "100% \"done\"\t<tab> : {x} %s %d\r"; break;
            case 2: t = "\nsecond line only"; break;  // an empty first line
            case 3: t += "\xc3\xa4\xe2\x82\xac \x01\x7f bytes\nand a second line\n"; break;
            case 4: t += "trailing line feed\n"; break;
            case 5: t += std::string(i % 500 == 5 ? 4000 : 20, '#') + "\n" + std::string(500, '-');
                    break;
            default: t += "plain"; break;
        }
        return t;
    };
    const auto stamp = [](int i) {
        using namespace boost::posix_time;
        using boost::gregorian::date;
        // 7 ms apart from before the year's end, then from before a leap day.
        if (i < RECORDS / 2) {
            return ptime(date(2026, 12, 31), time_duration(23, 59, 30)) + millisec(7 * i);
        }
        return ptime(date(2028, 2, 28), time_duration(23, 59, 58)) +
               millisec(7 * (i - RECORDS / 2));
    };
    const auto writeAll = [&](const fs::path& dir, bool inPlace) {
        RunInChild(ChildEnd::QuickExit, [&] {
            InitTraceLogSink(dir.string());
            const auto core = boost::log::core::get();
            // The clock and the counter replaced by scripted values, the same for both ways.
            boost::log::attributes::mutable_constant<boost::posix_time::ptime> clock(stamp(0));
            boost::log::attribute_set globals = core->get_global_attributes();
            globals["TimeStamp"] = clock;
            globals["LineID"] = boost::log::attributes::counter<unsigned int>(FIRST_LINE_ID);
            core->set_global_attributes(globals);
            TraceLogRecorder recorder;
            for (int i = 0; i < RECORDS; ++i) {
                clock.set(stamp(i));
                const std::string t = text(i);
                if (inPlace) {
                    recorder.Record(t.data(), t.size());
                } else {
                    const std::size_t end = t.find('\n');
                    BOOST_LOG_TRIVIAL(info) << (end == std::string::npos ? t : t.substr(0, end));
                }
            }
            ChildCheck(recorder.LostLines() == 0, "no line lost");
        });
    };
    VScratchDirectory scratch;
    writeAll(scratch.Path() / "copy", false);
    writeAll(scratch.Path() / "inplace", true);

    const auto names = EntryNames(scratch.Path() / "copy");
    ASSERT_EQ(EntryNames(scratch.Path() / "inplace"), names);
    ASSERT_GE(names.size(), 2u) << "the records should fill more than one file";
    for (const std::string& name : names) {
        const std::string copy = ReadFile(scratch.Path() / "copy" / name);
        ASSERT_TRUE(copy == ReadFile(scratch.Path() / "inplace" / name)) << name;
    }
    // The scripted values did reach the files.
    const std::string last = ReadFile(scratch.Path() / "copy" / *names.rbegin());
    EXPECT_NE(last.find(std::to_string(FIRST_LINE_ID + RECORDS - 1) + ": <2028-02-29 00:00:"),
              std::string::npos);
    EXPECT_NE(ReadFile(scratch.Path() / "copy" / *names.begin()).find("<2027-01-01 00:00:00> "),
              std::string::npos);
}

}  // namespace
