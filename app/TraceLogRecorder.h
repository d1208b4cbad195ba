// TraceLogRecorder: writes the first line of each record into the trace log, and keeps the
// reader draining when the log fails.
//
// A trace log that fails in the middle of a run (a full file system, a file size limit, a file
// that cannot be opened) must not stop the reader: the queue would fill and a writer that cannot
// wait would lose every record after it, and the console would go dark too. So a failed log
// line is counted as lost and the run goes on. The operator hears about it on stderr once when
// lines start being lost (with the reason), once when logging works again (with the count), and
// in a summary at the end of the run. While the log is failing, a line is tried again at most
// about once a second (each try may make the logging library start a new file); the lines in
// between are counted as lost without a try.
//
// It also notices a current log file that was removed under it (an operator's rm, a cleanup
// script): once a second (Follow) it asks the sink whether the file is still there, and when
// not, the sink starts a new file through its own rotation and one stderr line says so; no
// line goes into a removed file for more than about a second.
//
// Main thread only; no system call of its own per record while the log works.
#pragma once

#include <cstddef>
#include <cstdint>

class TraceLogRecorder {
public:
    // Logs text's first line (cut at the first line feed; a carriage return stays) as one
    // record at severity info, or counts it as lost.
    void Record(const char* text);

    // The same for text of length bytes (no NUL among them), which the caller has measured
    // already: the line goes to the logger without another pass over the text, and without a
    // copy.
    void Record(const char* text, std::size_t length);

    // Lines lost in this run.
    uint64_t LostLines() const { return mLostTotal; }

    // At the end of the run: one stderr line when any line was lost.
    void Summarize() const;

    // Every pass of the read loop, with the performance counter read for it: at most about once
    // a second checks that the current log file is still there (RestartTraceLogIfRemoved); a
    // comparison otherwise.
    void Follow(uint64_t nowNs) {
        if (nowNs >= mNextFileCheckNs) {
            CheckFile(nowNs);
        }
    }

private:
    void CheckFile(uint64_t nowNs);

    uint64_t mNextFileCheckNs = 0;
    bool mFailing = false;
    uint64_t mRetryAtNs = 0;   // performance counter value before which no line is tried
    uint64_t mLostNow = 0;     // lost since the log started failing
    uint64_t mLostTotal = 0;
};
