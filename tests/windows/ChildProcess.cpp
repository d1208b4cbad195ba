// ChildProcess: CreateProcess with inherited file handles for the standard streams.
#include "tests/windows/ChildProcess.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace PlixTest {
namespace {

// One argument as the runtime's parser reads it back: quoted, with backslashes doubled where a
// quote follows them.
std::string Quote(const std::string& argument) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + "\"";
}

HANDLE OpenInheritable(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file =
        CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + path);
    }
    return file;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& input, const std::string& workDirectory,
                           const std::string& tag, bool stdoutPipe)
    : mOutPath(workDirectory + "\\" + tag + ".stdout"),
      mErrPath(workDirectory + "\\" + tag + ".stderr") {
    const std::string inPath = workDirectory + "\\" + tag + ".stdin";
    std::ofstream(inPath, std::ios::binary) << input;

    std::string commandLine = Quote(program);
    for (const std::string& argument : arguments) {
        commandLine += " " + Quote(argument);
    }
    HANDLE in = OpenInheritable(inPath, GENERIC_READ, OPEN_EXISTING);
    HANDLE out = nullptr;
    if (stdoutPipe) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (!CreatePipe(&mStdoutPipe, &out, &inherit, 0)) {
            throw std::runtime_error("cannot make a pipe");
        }
        SetHandleInformation(mStdoutPipe, HANDLE_FLAG_INHERIT, 0);
    } else {
        out = OpenInheritable(mOutPath, GENERIC_WRITE, CREATE_ALWAYS);
    }
    HANDLE err = OpenInheritable(mErrPath, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &mProcess);
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started) {
        throw std::runtime_error("cannot start " + commandLine);
    }
}

ChildProcess::~ChildProcess() {
    if (ExitCode() == STILL_ACTIVE) {
        TerminateProcess(mProcess.hProcess, 99);
        WaitForSingleObject(mProcess.hProcess, 10000);
    }
    CloseHandle(mProcess.hThread);
    CloseHandle(mProcess.hProcess);
    CloseStdoutPipe();
}

bool ChildProcess::ReadStdoutPipeUntil(const std::string& text) {
    while (mStdoutPipe != nullptr && mPiped.find(text) == std::string::npos) {
        char buffer[4096];
        DWORD got = 0;
        if (!ReadFile(mStdoutPipe, buffer, sizeof buffer, &got, nullptr) || got == 0) {
            return false;
        }
        mPiped.append(buffer, got);
    }
    return mPiped.find(text) != std::string::npos;
}

void ChildProcess::CloseStdoutPipe() {
    if (mStdoutPipe != nullptr) {
        CloseHandle(mStdoutPipe);
        mStdoutPipe = nullptr;
    }
}

bool ChildProcess::Wait(DWORD timeoutMs) {
    return WaitForSingleObject(mProcess.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const {
    DWORD code = 0;
    return GetExitCodeProcess(mProcess.hProcess, &code) ? code : 0xFFFFFFFF;
}

std::string ChildProcess::Stdout() const { return ReadBinaryFile(mOutPath); }
std::string ChildProcess::Stderr() const { return ReadBinaryFile(mErrPath); }

bool ChildProcess::WaitForStdout(const std::string& text, DWORD timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Stdout().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool ChildProcess::SendConsoleEvent(DWORD eventCode) {
    // System DLLs lie at the same address in every process, so our CtrlRoutine is the child's.
    HANDLE thread =
        CreateRemoteThread(mProcess.hProcess, nullptr, 0, ConsoleCtrlRoutine(),
                           reinterpret_cast<void*>(static_cast<uintptr_t>(eventCode)), 0, nullptr);
    if (thread == nullptr) {
        return false;
    }
    CloseHandle(thread);
    return true;
}

std::string ProgramDirectory() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/"));
}

std::string ReadBinaryFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

LPTHREAD_START_ROUTINE ConsoleCtrlRoutine() {
    return reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernelbase.dll"), "CtrlRoutine")));
}

}  // namespace PlixTest
