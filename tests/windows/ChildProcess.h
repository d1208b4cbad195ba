// ChildProcess: a program started with CreateProcess for the Windows tests. Standard input comes
// from given bytes, standard output and error go to files that are read back byte for byte (no
// text-mode translation on our side), and console control events are delivered the way the
// console delivers them. Used from one test thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace PlixTest {

class ChildProcess {
public:
    // Starts program with arguments (quoted for the runtime's command-line parser). The files
    // for standard input, output and error are made in workDirectory, named after tag. With
    // stdoutPipe, standard output is the write end of a pipe instead, read with ReadStdoutPipe.
    // Throws std::runtime_error when the program cannot be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& input, const std::string& workDirectory,
                 const std::string& tag, bool stdoutPipe = false);
    // Terminates a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // True when the child ended within timeoutMs (a hang guard, not a timing requirement).
    bool Wait(DWORD timeoutMs = 20000);
    // The child's exit code; STILL_ACTIVE while it runs.
    DWORD ExitCode() const;

    // The file of standard output (empty with stdoutPipe).
    std::string Stdout() const;
    // With stdoutPipe: reads the pipe until what came holds text; true when it did. Blocks until
    // the child writes or ends.
    bool ReadStdoutPipeUntil(const std::string& text);
    // With stdoutPipe: closes the pipe's read end, as a reader that quits does.
    void CloseStdoutPipe();
    std::string Stderr() const;
    // True when standard output holds text within timeoutMs.
    bool WaitForStdout(const std::string& text, DWORD timeoutMs = 20000) const;

    // Delivers a console control event as the console does: a thread of the child runs the
    // system's CtrlRoutine with the event code, which asks the handlers installed with
    // SetConsoleCtrlHandler. Works without a console, which Wine has none of here. True when
    // the thread was started.
    bool SendConsoleEvent(DWORD eventCode);

private:
    PROCESS_INFORMATION mProcess{};
    HANDLE mStdoutPipe = nullptr;  // the read end, with stdoutPipe
    std::string mPiped;            // what came through it
    std::string mOutPath;
    std::string mErrPath;
};

// The directory of the running test program, where every program of the build lies.
std::string ProgramDirectory();

// The whole file at path, byte for byte; empty when it cannot be read.
std::string ReadBinaryFile(const std::string& path);

// The system's console control routine (exported by kernelbase), which runs the process's
// control handlers for an event code given as its thread argument.
LPTHREAD_START_ROUTINE ConsoleCtrlRoutine();

}  // namespace PlixTest
