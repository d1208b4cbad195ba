// TraceLogCleanup: start-up pruning of the trace log directory, on the main thread, before the
// trace log sink exists.
#include "app/TraceLogCleanup.h"

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <cstring>
#include <iostream>

bool IsTraceLogStem(const std::string& stem) {
    return stem.compare(0, std::strlen(TRACE_LOG_STEM_PREFIX), TRACE_LOG_STEM_PREFIX) == 0;
}

std::vector<VTraceLogStep> PlanTraceLogCleanup(
    const std::vector<VTraceLogCandidate>& candidatesInListingOrder) {
    std::vector<VTraceLogCandidate> ordered = candidatesInListingOrder;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const VTraceLogCandidate& a, const VTraceLogCandidate& b) {
                         return a.writeTime > b.writeTime;
                     });
    std::vector<VTraceLogStep> steps;
    steps.reserve(ordered.size());
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        steps.push_back(VTraceLogStep{ordered[i].path, i >= TRACE_LOG_KEEP_COUNT});
    }
    return steps;
}

void CarryOutTraceLogCleanup(const std::vector<VTraceLogStep>& steps, std::ostream& out) {
    for (const VTraceLogStep& step : steps) {
        out << step.path;
        if (!step.remove) {
            out << std::endl;
            continue;
        }
        // The line comes first, so a removal that fails still shows what was tried.
        out << " will be removed!" << std::endl;
        boost::filesystem::remove(boost::filesystem::path(step.path));
    }
}

void CleanupTraceLogDirectory(std::string directory) {
    try {
        const boost::filesystem::path dir(directory);
        if (!boost::filesystem::is_directory(boost::filesystem::status(dir))) {
            return;
        }

        // The whole listing is read before anything is printed or removed.
        std::vector<boost::filesystem::path> listing;
        for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it) {
            listing.push_back(it->path());
        }

        // The path's stream output quotes it and writes '&' before every '"' and '&'.
        std::cout << dir << " contains:\n";

        // Every kind of entry qualifies; only the name decides.
        std::vector<VTraceLogCandidate> candidates;
        for (const boost::filesystem::path& entry : listing) {
            if (IsTraceLogStem(entry.stem().string())) {
                candidates.push_back(VTraceLogCandidate{
                    entry.string(),
                    static_cast<std::int64_t>(boost::filesystem::last_write_time(entry))});
            }
        }
        std::cout << std::endl;

        CarryOutTraceLogCleanup(PlanTraceLogCleanup(candidates), std::cout);
    } catch (...) {
        // The cleanup must never stop the program: it ends silently where it failed.
    }
}
