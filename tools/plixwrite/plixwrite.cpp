// plixwrite: the command-line trace writer. Writes records into the trace queue of a partition,
// creating the partition when it is missing and setting its queue up when it is not set up.
// See USAGE_TEXT for the exact behaviour; one writer per queue at a time. It writes through the
// writer library (plixtrace/PlixWriter.hpp), as any other program would.
#include <getopt.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "oscom/PartitionRules.h"
#include "platform/PlatformTime.h"
#include "plixtrace/PlixWriter.hpp"
#include "platform/OptionArguments.h"
#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tools/common/ParseDecimal.h"
#include "tools/common/ToolExit.h"

namespace {

// Smallest partition that holds a queue (the library refuses smaller ones).
constexpr uint32_t MIN_PARTITION_SIZE = 324;

// The usage's first line, said again after every bad command line.
const char* const USAGE_LINE =
    "Usage: plixwrite [--name NAME] [--size BYTES] [--count N [--length L]] [--rate R] [--drop] "
    "[--no-drop-markers]\n";

const char* const USAGE_TEXT =
    "Writes trace records into the queue of partition NAME (default plixtrace). A missing\n"
    "partition is created with BYTES (default 1048576; an existing one must have that size when\n"
    "--size is given); a partition whose queue the reader would refuse is set up (never while\n"
    "a reader holds it); otherwise the writer goes on at the queue's current write offset.\n"
    "One writer per queue: a second plixwrite on the same partition is refused. A partition\n"
    "removed or replaced while plixwrite writes ends the run (exit 1) within about a second.\n"
    "\n"
    "Without --count, standard input is read: each line becomes one record holding the line\n"
    "as it is (a carriage return stays), a line feed and a NUL. A last line without line feed\n"
    "gets one. A line too long for one record is split: pieces of (largest record - 1) bytes\n"
    "followed by a NUL, the last piece followed by the line feed and the NUL. The largest\n"
    "record is the queue's capacity less 72 bytes (3768 in a 4096-byte partition).\n"
    "\n"
    "  --name NAME  the partition (a value may also follow its option after '=': --name=NAME)\n"
    "  --size BYTES the size of a partition to create\n"
    "  --count N    write N synthetic records instead: record n (1..N) is \"n \" and letters,\n"
    "               cut or filled to exactly L bytes, the last two being a line feed and a NUL\n"
    "  --length L   payload bytes of each synthetic record (default 64; 0 allowed)\n"
    "  --rate R     write at most R records per second\n"
    "  --drop       drop records the queue has no room for instead of waiting; at the end,\n"
    "               \"plixwrite: W written, D dropped\" on standard error; where records were\n"
    "               dropped, the stream holds \"plixwriter: N records dropped (queue full)\"\n"
    "  --no-drop-markers  place no such marker records\n"
    "  --help       show this text\n"
    "  --version    show the version\n"
    "Long options may be abbreviated where that is unambiguous; -- ends the options.\n"
    "\n";

int Fail(int status, const std::string& message) { return ToolFail("plixwrite", status, message); }

// A bad command line: the reason (unless getopt has said it) and the usage line.
int UsageError(const std::string& message = "") {
    return ToolUsageError("plixwrite", USAGE_LINE, message);
}

struct Options {
    std::string name = ZulOsCom::PLIX_TRACE_PARTITION;
    uint32_t size = 1048576;
    bool sizeGiven = false;
    uint64_t count = 0;
    bool countGiven = false;
    uint32_t length = 64;
    bool lengthGiven = false;
    uint64_t rate = 0;  // 0: unpaced
    bool drop = false;
    bool dropMarkers = true;
    bool help = false;
    bool version = false;
};

// What getopt_long returns for the options without a short form.
enum LongOnly : int {
    OPT_NAME = 256,
    OPT_SIZE,
    OPT_COUNT,
    OPT_LENGTH,
    OPT_RATE,
    OPT_DROP,
    OPT_NO_DROP_MARKERS,
    OPT_VERSION,
};

// The value of an option with a number: empty on success, else the one-line reason.
std::string TakeNumber(int option, const char* value, Options& options) {
    uint64_t number = 0;
    switch (option) {
        case OPT_SIZE:
            if (!ParseDecimal(value, MIN_PARTITION_SIZE, UINT32_MAX, number)) {
                return "--size must be a decimal number from " +
                       std::to_string(MIN_PARTITION_SIZE) + " to 4294967295: '" + value + "'";
            }
            options.size = static_cast<uint32_t>(number);
            options.sizeGiven = true;
            return "";
        case OPT_COUNT:
            if (!ParseDecimal(value, 1, UINT64_MAX / 10, number)) {
                return std::string("--count must be a positive decimal number: '") + value + "'";
            }
            options.count = number;
            options.countGiven = true;
            return "";
        case OPT_LENGTH:
            if (!ParseDecimal(value, 0, UINT32_MAX, number)) {
                return std::string("--length must be a decimal number of at most 32 bits: '") +
                       value + "'";
            }
            options.length = static_cast<uint32_t>(number);
            options.lengthGiven = true;
            return "";
        default:  // OPT_RATE
            if (!ParseDecimal(value, 1, 1000000000, number)) {
                return std::string("--rate must be a decimal number from 1 to 1000000000: '") +
                       value + "'";
            }
            options.rate = number;
            return "";
    }
}

// Reads the command line into options: true, or false after the reason and the usage line are
// on stderr.
bool ParseOptions(int argc, char** argv, Options& options) {
    static const option LONG_OPTIONS[] = {
        {"name", required_argument, nullptr, OPT_NAME},
        {"size", required_argument, nullptr, OPT_SIZE},
        {"count", required_argument, nullptr, OPT_COUNT},
        {"length", required_argument, nullptr, OPT_LENGTH},
        {"rate", required_argument, nullptr, OPT_RATE},
        {"drop", no_argument, nullptr, OPT_DROP},
        {"no-drop-markers", no_argument, nullptr, OPT_NO_DROP_MARKERS},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    // getopt's messages start with the program's name, as every line of ours does.
    Platform::OptionArguments optionArguments(argc, argv, "plixwrite");
    char** args = optionArguments.Argv();
    for (int c; (c = getopt_long(argc, args, "h", LONG_OPTIONS, nullptr)) != -1;) {
        std::string problem;
        switch (c) {
            case 'h':
                options.help = true;
                break;
            case OPT_VERSION:
                options.version = true;
                break;
            case OPT_DROP:
                options.drop = true;
                break;
            case OPT_NO_DROP_MARKERS:
                options.dropMarkers = false;
                break;
            case OPT_NAME:
                options.name = optarg;
                break;
            case OPT_SIZE:
            case OPT_COUNT:
            case OPT_LENGTH:
            case OPT_RATE:
                problem = TakeNumber(c, optarg, options);
                break;
            default:  // getopt has said what is wrong
                UsageError();
                return false;
        }
        if (!problem.empty()) {
            UsageError(problem);
            return false;
        }
    }
    if (optind < argc) {
        UsageError(std::string("unexpected argument '") + args[optind] + "'");
        return false;
    }
    if (options.lengthGiven && !options.countGiven) {
        UsageError("--length needs --count");
        return false;
    }
    if (!rthNameValid(options.name.c_str())) {
        UsageError("invalid partition name '" + options.name + "' (1 to 31 characters, no '/')");
        return false;
    }
    return true;
}

// Keeps records at most rate per second apart, sleeping (never spinning) until each is due.
class Pacer {
public:
    explicit Pacer(uint64_t rate) : mRate(rate) {}
    void WaitForNext() {
        if (mRate == 0) {
            return;
        }
        uint64_t now = Platform::PlatformTime::PerformanceCounter();
        if (mCount == 0) {
            mStart = now;
        }
        uint64_t due = mStart + mCount * 1000000000ULL / mRate;
        ++mCount;
        if (due > now) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(due - now));
        }
    }

private:
    uint64_t mRate;
    uint64_t mStart = 0;
    uint64_t mCount = 0;
};

// Writes one record; false after a queue failure (reported).
bool Put(plixtrace::Writer& writer, Pacer& pacer, const char* data, size_t length,
         const std::string& name) {
    pacer.WaitForNext();
    plixtrace::Status status = writer.Write(data, static_cast<uint32_t>(length));
    switch (status.Code()) {
        case PLIXW_OK:
        case PLIXW_E_FULL:
            return true;
        case PLIXW_E_BROKEN:
            Fail(TOOL_EXIT_FAILED, "the queue in partition " + name + " is no longer valid");
            return false;
        case PLIXW_E_GONE:
            // Said once: the run ends here; a new partition is for a new run to write.
            Fail(TOOL_EXIT_FAILED,
                 "partition " + name +
                     " was removed or replaced; no reader sees what this run would "
                     "write into it; ending");
            return false;
        default:
            Fail(TOOL_EXIT_FAILED, "cannot write to partition " + name + ": " + status.Message());
            return false;
    }
}

// The one line said when partition name's queue cannot be opened for writing.
int OpenFailed(const std::string& name, plixtrace::Status status) {
    // An object that the library refuses (another user's, a link, a FIFO...) looks absent
    // through its calls: say what is wrong with it in the library's words instead.
    char reason[RTH_REASON_SIZE];
    if (rthPartitionExplain(name.c_str(), reason, sizeof reason) == RTH_UNSAFE) {
        return Fail(TOOL_EXIT_FAILED, "partition \"" + name + "\" " + reason);
    }
    switch (status.Code()) {
        case PLIXW_E_NO_PARTITION:
            return Fail(TOOL_EXIT_FAILED, "partition " + name + " does not exist");
        case PLIXW_E_TOO_SMALL:
            return Fail(TOOL_EXIT_FAILED, "partition " + name +
                                              " is too small for a queue (at least " +
                                              std::to_string(MIN_PARTITION_SIZE) + " bytes)");
        case PLIXW_E_OTHER_WRITER:
            return Fail(TOOL_EXIT_FAILED, "partition " + name +
                                              " has another writer (one writer per queue); stop it "
                                              "first");
        case PLIXW_E_READER_ATTACHED:
            return Fail(TOOL_EXIT_FAILED,
                        "partition " + name +
                            " holds no queue a reader accepts, but a reader holds it; it is "
                            "never set up under a reader (stop the reader, or remove the "
                            "partition and create it anew)");
        default:
            return Fail(TOOL_EXIT_FAILED,
                        "cannot open partition " + name + ": " + status.Message());
    }
}

// Record n of the synthetic load: "n " and letters, exactly length bytes, ending "\n\0" when
// length >= 2 (a single byte is the NUL).
void FillSynthetic(std::vector<char>& record, uint64_t n, uint32_t length) {
    record.assign(length, '\0');
    if (length < 2) {
        return;
    }
    std::string prefix = std::to_string(n) + " ";
    uint32_t text = length - 2;
    for (uint32_t i = 0; i < text; ++i) {
        record[i] = i < prefix.size() ? prefix[i] : static_cast<char>('a' + i % 26);
    }
    record[text] = '\n';
}

bool WriteSynthetic(plixtrace::Writer& writer, Pacer& pacer, const Options& options) {
    std::vector<char> record;
    for (uint64_t n = 1; n <= options.count; ++n) {
        FillSynthetic(record, n, options.length);
        if (!Put(writer, pacer, record.data(), record.size(), options.name)) {
            return false;
        }
    }
    return true;
}

bool WriteLines(plixtrace::Writer& writer, Pacer& pacer, const Options& options) {
    const size_t maxRecord = writer.MaxRecordLength();
    std::string line;
    std::string record;
    while (std::getline(std::cin, line)) {
        size_t at = 0;
        // Pieces of a long line: maxRecord - 1 bytes and a NUL each.
        while (line.size() - at + 2 > maxRecord) {
            record.assign(line, at, maxRecord - 1);
            record.push_back('\0');
            if (!Put(writer, pacer, record.data(), record.size(), options.name)) {
                return false;
            }
            at += maxRecord - 1;
        }
        record.assign(line, at, std::string::npos);
        record.push_back('\n');
        record.push_back('\0');
        if (!Put(writer, pacer, record.data(), record.size(), options.name)) {
            return false;
        }
    }
    if (std::cin.bad()) {
        Fail(TOOL_EXIT_FAILED, "cannot read standard input");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return TOOL_EXIT_USAGE;
    }
    if (options.help) {
        std::fputs(USAGE_LINE, stdout);
        std::fputs(USAGE_TEXT, stdout);
        std::fputs(ToolExitStatusLine("partition or queue failure").c_str(), stdout);
        return std::fflush(stdout) == 0 ? TOOL_EXIT_DONE : TOOL_EXIT_FAILED;
    }
    if (options.version) {
        std::printf("plixwrite %s\n", PLIX_VERSION);
        return std::fflush(stdout) == 0 ? TOOL_EXIT_DONE : TOOL_EXIT_FAILED;
    }

    const char* name = options.name.c_str();
    uint32_t existing = shmSizeGet(name);
    if (existing == 0) {
        int32_t created = rthPartitionCreate(name, options.size);
        if (created != RTH_OK && created != RTH_EXISTS) {
            return Fail(TOOL_EXIT_FAILED,
                        "cannot create partition " + options.name + ": " + std::strerror(errno));
        }
    } else if (options.sizeGiven && existing != options.size) {
        return Fail(TOOL_EXIT_FAILED, "partition " + options.name + " exists with " +
                                          std::to_string(existing) + " bytes, not " +
                                          std::to_string(options.size));
    }

    plixtrace::Writer writer;
    if (plixtrace::Status status = writer.Open(name, PLIXW_OPEN_INIT); !status) {
        return OpenFailed(options.name, status);
    }
    if (options.drop) {
        writer.DropWhenFull();
    } else {
        writer.WaitWhenFull();
    }
    writer.DropMarkers(options.dropMarkers);
    if (options.countGiven && options.length > writer.MaxRecordLength()) {
        return UsageError("--length " + std::to_string(options.length) +
                          " exceeds the largest record of partition " + options.name + " (" +
                          std::to_string(writer.MaxRecordLength()) + " bytes)");
    }

    std::ios::sync_with_stdio(false);
    Pacer pacer(options.rate);
    bool ok = options.countGiven ? WriteSynthetic(writer, pacer, options)
                                 : WriteLines(writer, pacer, options);
    if (options.drop) {
        std::fprintf(stderr, "plixwrite: %" PRIu64 " written, %" PRIu64 " dropped\n",
                     writer.Written(), writer.Dropped());
    }
    return ok ? TOOL_EXIT_DONE : TOOL_EXIT_FAILED;
}
