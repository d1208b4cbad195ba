// BenchChild: a program that a benchmark starts and watches: the reader under measurement or a
// writer. Standard input comes from /dev/null or a pipe the benchmark writes; standard output
// and error go to files (or /dev/null). CPU time and peak resident set are read from /proc.
//
// One object per child, used by one thread. The destructor kills (SIGKILL) and reaps a child
// that is still running, so no benchmark leaves processes behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class BenchChild {
public:
    // Starts argv[0] (a path) with argv. outPath and errPath: files to write (truncated), "" for
    // /dev/null. withInput: standard input is a pipe fed through Input(); otherwise /dev/null.
    // Throws std::runtime_error when the process cannot be started.
    BenchChild(const std::vector<std::string>& argv, const std::string& outPath,
               const std::string& errPath, bool withInput = false);
    ~BenchChild();

    BenchChild(const BenchChild&) = delete;
    BenchChild& operator=(const BenchChild&) = delete;

    pid_t Pid() const { return mPid; }

    // The write end of the child's standard input (-1 without one). CloseInput ends the input.
    int Input() const { return mInput; }
    void CloseInput();

    void Signal(int signal) const;

    // Waits up to timeoutSeconds for the end; returns the wait status, or -1 after a timeout
    // (the child is then killed and reaped).
    int Wait(double timeoutSeconds);

    // CPU time used so far by all its threads, in nanoseconds, from /proc/PID/task/*/schedstat,
    // or from the clock ticks of /proc/PID/stat when schedstat is missing. 0 when unknown.
    uint64_t CpuNs() const;

    // Peak resident set size (VmHWM) in KiB; 0 when unknown.
    uint64_t PeakRssKiB() const { return StatusNumber("VmHWM:"); }

    // Voluntary context switches of the main thread so far: how often it went to sleep.
    uint64_t Sleeps() const { return StatusNumber("voluntary_ctxt_switches:"); }

private:
    // The number behind field (e.g. "VmHWM:") in /proc/PID/status; 0 when missing.
    uint64_t StatusNumber(const char* field) const;

    pid_t mPid = -1;
    int mInput = -1;
};
