// TraceLogCleanup: prunes the trace log directory at start-up. It lists the directory's trace
// log files (entries whose stem begins with "plix_") on std::cout, keeps the ten most recently
// written and deletes the older ones. Runs once on the main thread, before the trace log sink
// is installed.
//
// The decisions (which names count, the order, what goes) are pure functions, so that they can
// be checked without a file system; CleanupTraceLogDirectory only reads the directory, prints
// and removes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// Stems beginning with this text (case-sensitive) mark trace log files.
constexpr const char* TRACE_LOG_STEM_PREFIX = "plix_";

// Number of trace log files that are kept, the newest by write time.
constexpr std::size_t TRACE_LOG_KEEP_COUNT = 10;

// An entry of the directory that counts as a trace log file.
struct VTraceLogCandidate {
    std::string path;        // full path: the directory joined to the entry's name
    std::int64_t writeTime;  // last write time in seconds, as the file system reports it
};

// One line of the cleanup's walk, in the order it is printed.
struct VTraceLogStep {
    std::string path;
    bool remove;  // printed with " will be removed!", then deleted
};

// True when an entry with this stem (file name without its last extension) is a trace log file:
// the stem begins with "plix_", compared byte by byte.
bool IsTraceLogStem(const std::string& stem);

// Orders the candidates from the newest to the oldest write time; candidates with equal times
// keep their listing order (the one listed earlier counts as the newer). All from the
// eleventh on are marked for removal.
std::vector<VTraceLogStep> PlanTraceLogCleanup(
    const std::vector<VTraceLogCandidate>& candidatesInListingOrder);

// Walks the plan: prints each path on its own line, the ones to remove followed by
// " will be removed!", and only then deletes the entry (a file or an empty directory). An entry
// that is already gone counts as removed. Throws boost::filesystem::filesystem_error when a
// removal fails (a non-empty directory, for example); later steps are then not taken.
void CarryOutTraceLogCleanup(const std::vector<VTraceLogStep>& steps, std::ostream& out);

// Prints the listing of the directory's trace log files to std::cout and deletes all but the
// ten newest. A path that is missing or not a directory prints nothing. Never throws: any
// failure (file system, memory) ends the cleanup silently where it is, and whatever was printed
// or deleted until then stays.
void CleanupTraceLogDirectory(std::string directory);
