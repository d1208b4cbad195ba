// plix_bound_bench: the work every record costs the reader whatever its queue does, done for
// records already in memory: the bound of the end-to-end figure.
//
//   plix_bound_bench DIRECTORY RECORDS LENGTH           the mandated work: printf of the text,
//       fflush of the console (the reader flushes after every record, so that a killed reader
//       has lost at most the record in hand), and the text's first line logged on the trivial
//       logger into the real trace log sink (synchronous, flushed per record, rotating) in
//       DIRECTORY; prints "bound_records_per_s R" on standard error.
//   plix_bound_bench DIRECTORY RECORDS LENGTH --floor    the same console output, with the log
//       line formatted by hand and written with fwrite and fflush instead of the logging
//       library: how much of the bound the logging library takes. Prints
//       "floor_records_per_s R".
//
// Records are made as plixwrite --count makes them ("n " and letters, a line feed, a NUL; LENGTH
// bytes), ahead of the timed loop. Run it with the console on /dev/null and DIRECTORY on the
// disk the reader's log would use.
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/trivial.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/TraceLogSink.h"

namespace {

constexpr uint32_t RING_RECORDS = 4096;

// Record n as plixwrite --count writes it.
std::vector<char> MakeRecord(uint64_t n, uint32_t length) {
    std::vector<char> record(length, '\0');
    if (length < 2) return record;
    std::string prefix = std::to_string(n) + " ";
    uint32_t text = length - 2;
    for (uint32_t i = 0; i < text; ++i) {
        record[i] = i < prefix.size() ? prefix[i] : static_cast<char>('a' + i % 26);
    }
    record[text] = '\n';
    return record;
}

// The reader's logging of a record: its first line as one record at severity info, handed to
// the logger in place as the reader does (no copy into a string).
void LogFirstLine(const char* text, std::size_t length) {
    const void* end = std::memchr(text, '\n', length);
    const std::size_t line =
        end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - text) : length;
    BOOST_LOG_TRIVIAL(info).write(text, static_cast<std::streamsize>(line));
}

// The floor's log: "N: <YYYY-mm-dd HH:MM:SS> text" lines, flushed per line, a new file every
// 1 MiB (two files in turn).
class HandLog {
public:
    explicit HandLog(std::string directory) : mDirectory(std::move(directory)) { Open(); }
    ~HandLog() {
        if (mFile != nullptr) std::fclose(mFile);
    }
    void Line(const char* text) {
        const char* end = std::strchr(text, '\n');
        int length = static_cast<int>(end != nullptr ? end - text : std::strlen(text));
        std::time_t now = std::time(nullptr);
        if (now != mStampSecond) {
            std::tm local{};
            localtime_r(&now, &local);
            std::strftime(mStamp, sizeof mStamp, "%Y-%m-%d %H:%M:%S", &local);
            mStampSecond = now;
        }
        int written = std::fprintf(mFile, "%u: <%s> %.*s\n", ++mLine, mStamp, length, text);
        std::fflush(mFile);
        mSize += static_cast<uint64_t>(written);
        if (mSize >= TRACE_LOG_ROTATION_SIZE) Open();
    }

private:
    void Open() {
        if (mFile != nullptr) std::fclose(mFile);
        mFile = std::fopen((mDirectory + "/floor_" + std::to_string(mFiles++ % 2) + ".log").c_str(),
                           "w");
        if (mFile == nullptr) {
            std::perror("plix_bound_bench");
            std::exit(1);
        }
        mSize = 0;
    }

    std::string mDirectory;
    std::FILE* mFile = nullptr;
    uint64_t mSize = 0;
    uint32_t mFiles = 0;
    unsigned mLine = 0;
    std::time_t mStampSecond = 0;
    char mStamp[32] = {};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: plix_bound_bench DIRECTORY RECORDS LENGTH [--floor]\n");
        return 2;
    }
    const std::string directory = argv[1];
    const uint64_t records = std::strtoull(argv[2], nullptr, 10);
    const auto length = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    const bool floor = argc > 4 && std::strcmp(argv[4], "--floor") == 0;
    if (records == 0 || length < 2) {
        std::fprintf(stderr, "plix_bound_bench: RECORDS > 0 and LENGTH >= 2, please\n");
        return 2;
    }

    std::vector<std::vector<char>> ring;
    for (uint32_t i = 0; i < RING_RECORDS; ++i) ring.push_back(MakeRecord(i + 1, length));

    std::unique_ptr<HandLog> handLog;
    if (floor) {
        handLog = std::make_unique<HandLog>(directory);
    } else {
        InitTraceLogSink(directory);
    }

    const auto start = std::chrono::steady_clock::now();
    for (uint64_t n = 0; n < records; ++n) {
        const char* text = ring[n % RING_RECORDS].data();
        std::printf("%s", text);
        std::fflush(stdout);
        if (floor) {
            handLog->Line(text);
        } else {
            LogFirstLine(text, std::strlen(text));
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "%s_records_per_s %.0f\n", floor ? "floor" : "bound",
                 static_cast<double>(records) / seconds);
    return 0;
}
