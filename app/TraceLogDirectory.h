// TraceLogDirectory: makes sure the trace log directory is the reader's own before anything in
// it is listed, removed, opened or written, and keeps it locked for the whole run, so that only
// one reader at a time uses it (and so the single-reader queue, whose reader it belongs to).
//
// The directory must be a real directory (not a link) owned by the reader's effective user and
// writable by nobody else; a missing one is created (mode 0750) when the sink needs it. The
// trace log names in it (plix_NN.log, the sink's pattern) must be regular files, so that the
// first record is never lost to a file the sink cannot write; earlier trace log files
// (plix_*) lose every permission bit beyond 0640, since they copy what the partition holds.
//
// Every refusal writes one line on stderr that says what is wrong and what to do. Used by the
// main thread, once per run: LockIfPresent before the cleanup, Prepare after it and before the
// sink is installed and the partition opened.
#pragma once

#include <string>
#include <vector>

#include "platform/PrivateDirectory.h"

class TraceLogDirectory {
public:
    explicit TraceLogDirectory(std::string path);

    // When the directory exists: checks and locks it. True when it is locked now or missing
    // (the cleanup then finds nothing); false after a refusal line.
    bool LockIfPresent();

    // True once the directory is checked and locked. The cleanup runs only then: a directory
    // that was missing at LockIfPresent and has appeared since (a link planted meanwhile, say)
    // is not the reader's until Prepare has checked it.
    bool Locked() const { return mLocked; }

    // Creates the directory when missing and checks and locks it (a directory made meanwhile by
    // someone else is checked like any other), then checks the trace log names in it and
    // restricts the modes of earlier trace log files. False after a refusal line.
    bool Prepare();

    // True when name is one the sink writes: "plix_", one or more digits, ".log".
    static bool IsTraceLogFileName(const std::string& name);

    // The first entry of the listing that the sink could pick but not write (a trace log name
    // that is not a regular file), with its kind as a phrase ("a FIFO"); false when none.
    static bool FindUnwritableLogName(const std::vector<Platform::PrivateDirectory::Entry>& entries,
                                      std::string* name, std::string* kind);

private:
    bool Refuse(const std::string& what, const std::string& reason) const;
    bool Acquire(bool create);

    std::string mPath;
    Platform::PrivateDirectory mDirectory;
    bool mLocked = false;
};
