// TraceLogDirectory: the reader's checks and lock on its trace log directory.
#include "app/TraceLogDirectory.h"

#include <cctype>
#include <cstdio>
#include <utility>

#include "app/TraceLogCleanup.h"

namespace {

using Platform::PrivateDirectory;

// Permission bits an earlier trace log file may keep: owner read and write, group read.
constexpr uint32_t TRACE_LOG_FILE_MODE = 0640;

const char* KindPhrase(PrivateDirectory::EntryKind kind) {
    switch (kind) {
        case PrivateDirectory::EntryKind::DIRECTORY:
            return "a directory";
        case PrivateDirectory::EntryKind::SYMBOLIC_LINK:
            return "a symbolic link";
        case PrivateDirectory::EntryKind::FIFO:
            return "a FIFO";
        default:
            return "a special file";
    }
}

}  // namespace

TraceLogDirectory::TraceLogDirectory(std::string path) : mPath(std::move(path)) {}

bool TraceLogDirectory::IsTraceLogFileName(const std::string& name) {
    static const std::string prefix = TRACE_LOG_STEM_PREFIX;
    static const std::string suffix = ".log";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    for (size_t i = prefix.size(); i < name.size() - suffix.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(name[i])) == 0) {
            return false;
        }
    }
    return true;
}

bool TraceLogDirectory::FindUnwritableLogName(const std::vector<PrivateDirectory::Entry>& entries,
                                              std::string* name, std::string* kind) {
    for (const PrivateDirectory::Entry& entry : entries) {
        if (IsTraceLogFileName(entry.name) &&
            entry.kind != PrivateDirectory::EntryKind::REGULAR) {
            *name = entry.name;
            *kind = KindPhrase(entry.kind);
            return true;
        }
    }
    return false;
}

bool TraceLogDirectory::Refuse(const std::string& what, const std::string& reason) const {
    std::fflush(stdout);
    std::fprintf(stderr, "ReadPLIXTrace: %s \"%s\" %s\n", what.c_str(), mPath.c_str(),
                 reason.c_str());
    return false;
}

bool TraceLogDirectory::Acquire(bool create) {
    std::string reason;
    switch (mDirectory.Acquire(mPath, create, &reason)) {
        case PrivateDirectory::Status::ACQUIRED:
            mLocked = true;
            return true;
        case PrivateDirectory::Status::MISSING:
            return true;
        case PrivateDirectory::Status::BUSY:
            return Refuse("trace log directory",
                          reason + ": another reader is running (one at a time); stop it first");
        case PrivateDirectory::Status::REFUSED:
        default:
            return Refuse("trace log directory", reason);
    }
}

bool TraceLogDirectory::LockIfPresent() { return mLocked || Acquire(/*create=*/false); }

bool TraceLogDirectory::Prepare() {
    if (!mLocked && !Acquire(/*create=*/true)) {
        return false;
    }
    const std::vector<PrivateDirectory::Entry> entries = mDirectory.List();
    std::string name;
    std::string kind;
    if (FindUnwritableLogName(entries, &name, &kind)) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "ReadPLIXTrace: trace log file \"%s/%s\" is %s, not a regular file; remove "
                     "it\n",
                     mPath.c_str(), name.c_str(), kind.c_str());
        return false;
    }
    for (const PrivateDirectory::Entry& entry : entries) {
        if (entry.kind == PrivateDirectory::EntryKind::REGULAR &&
            IsTraceLogStem(entry.name)) {
            mDirectory.RestrictFile(entry.name, TRACE_LOG_FILE_MODE);
        }
    }
    return true;
}
