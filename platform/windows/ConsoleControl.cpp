// Windows side of ConsoleControl: one trampoline of the console's handler type is registered
// with SetConsoleCtrlHandler at the first SetHandler and forwards every event to our handlers,
// newest first. The console runs it on a thread of its own; when no handler takes the event, the
// trampoline returns FALSE and the console's next handler (by default the one that ends the
// process) deals with it.
//
// Stop protocol: the close event (and the log-off and shutdown events, should a handler take
// them) ends the process as soon as the handler returns, without the main loop's orderly end,
// and with a non-zero code. Once SetStopHooks was called, the trampoline therefore keeps such
// an event's thread waiting after a handler took it: first for NotifyRunEnded, then, while
// main returns and exit ends the process with its own code, until 4 seconds have passed in
// all, below the system's 5-second limit. When the run has not ended by then, the main loop is
// stuck: forcedEnd gives back what must not outlive the process and TerminateProcess ends it
// with code 0, at once. (ExitProcess would first run the modules' detach routines after the
// other threads were cut off, possibly holding the runtime's locks: it could hang until the
// system ends the process with a non-zero code.) requestStop is kept but not called here:
// every stop event that must end the run in order reaches the handlers.
//
// ConsoleControl.h comes before windows.h: the event names are macros there.
#include "platform/ConsoleControl.h"

#include <windows.h>

#include "platform/ConsoleHandlerList.h"

#include <atomic>
#include <cstddef>
#include <mutex>

namespace Platform {
namespace {

std::mutex sInstallMutex;  // serialises installations
bool sTrampolineInstalled = false;  // under sInstallMutex
std::atomic<bool> sFailNextSetHandler{false};

std::atomic<ConsoleControl::StopFn> sRequestStop{nullptr};
std::atomic<ConsoleControl::StopFn> sForcedEnd{nullptr};
std::atomic<bool> sStopHooksSet{false};
std::atomic<bool> sRunEnded{false};
std::atomic<bool> sForcedEndCalled{false};

// The whole wait of an event thread, below the system's 5 seconds.
constexpr ULONGLONG ORDERLY_END_WAIT_MS = 4000;
constexpr DWORD POLL_MS = 10;

// Events after which the system ends the process once the handler returns.
bool EndsTheProcess(DWORD eventCode) {
    return eventCode == CTRL_CLOSE_EVENT || eventCode == CTRL_LOGOFF_EVENT ||
           eventCode == CTRL_SHUTDOWN_EVENT;
}

[[noreturn]] void ForceEnd() {
    if (!sForcedEndCalled.exchange(true)) {
        const ConsoleControl::StopFn forcedEnd = sForcedEnd.load();
        if (forcedEnd != nullptr) {
            forcedEnd();
        }
    }
    TerminateProcess(GetCurrentProcess(), 0);
    ExitProcess(0);  // not reached: terminating the own process does not return
}

// Keeps the event thread until the process ends through main (see above), or ends it.
void WaitForOrderlyEnd() {
    const ULONGLONG deadline = GetTickCount64() + ORDERLY_END_WAIT_MS;
    while (!sRunEnded.load()) {
        if (GetTickCount64() >= deadline) {
            ForceEnd();
        }
        Sleep(POLL_MS);
    }
    // The run has ended: main gives back what it holds and returns, and exit ends the process
    // while this thread waits. Returning earlier would let the system end it first.
    const ULONGLONG now = GetTickCount64();
    if (now < deadline) {
        Sleep(static_cast<DWORD>(deadline - now));
    }
}

BOOL WINAPI Trampoline(DWORD eventCode) {
    if (!ConsoleHandlerList::Dispatch(static_cast<uint32_t>(eventCode))) {
        return FALSE;
    }
    if (sStopHooksSet.load() && EndsTheProcess(eventCode)) {
        WaitForOrderlyEnd();
    }
    return TRUE;
}

}  // namespace

// The console has no way to hold an event back: until a handler is installed, its default
// handling applies.
void ConsoleControl::DeferEvents() {}

bool ConsoleControl::SetHandler(Handler handler) {
    if (handler == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(sInstallMutex);
    if (sFailNextSetHandler.exchange(false)) {
        return false;
    }
    // Published before the trampoline is installed, so that no event finds the list empty.
    if (!ConsoleHandlerList::Append(handler)) {
        return false;
    }
    if (!sTrampolineInstalled) {
        if (!SetConsoleCtrlHandler(Trampoline, TRUE)) {
            ConsoleHandlerList::RemoveLast();  // never called yet
            return false;
        }
        sTrampolineInstalled = true;
    }
    return true;
}

void ConsoleControl::SetStopHooks(StopFn requestStop, StopFn forcedEnd) {
    sRequestStop.store(requestStop);
    sForcedEnd.store(forcedEnd);
    sStopHooksSet.store(true);
}

void ConsoleControl::NotifyRunEnded() { sRunEnded.store(true); }

void ConsoleControl::FailNextSetHandlerForTesting() { sFailNextSetHandler.store(true); }

}  // namespace Platform

namespace Platform {

// No event is held back on Windows: a Ctrl+C before a handler is installed ends the process.
bool ConsoleControl::PauseUnlessStopped(uint32_t ms) {
    Sleep(ms);
    return false;
}

}  // namespace Platform
