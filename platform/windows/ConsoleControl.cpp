// Windows side of ConsoleControl: one trampoline of the console's handler type is registered
// with SetConsoleCtrlHandler at the first SetHandler and forwards every event to our handlers,
// newest first. The console runs it on a thread of its own; when no handler takes the event, the
// trampoline returns FALSE and the console's next handler (by default the one that ends the
// process) deals with it.
//
// Stop protocol, once SetStopHooks was called: a stop event (Ctrl+C, the close event) begins the
// stop window in the trampoline before any handler runs: a watchdog thread takes the deadline
// (3 seconds from Ctrl+C, 4 from the close event, below the system's 5-second limit). A handler may then block (its printf waits behind a main thread
// stuck in a console write: a QuickEdit selection, a paused console, a stalled drive) without
// holding the stop back. When the process has not ended by the deadline, or when a second stop
// event comes meanwhile, forcedEnd gives back what must not outlive the process and
// TerminateProcess ends it with code 0, at once. (ExitProcess would first run the modules' detach
// routines after the other threads were cut off, possibly holding the runtime's locks: it could
// hang until the system ends the process with a non-zero code.) The close event ends the process
// as soon as its handler returns, without the main loop's orderly end and with a non-zero code,
// so its thread never returns after a handler took it: main's exit or the watchdog ends the
// process first. requestStop is kept but not called here: every stop event that must end the
// run in order reaches the handlers, which set the main loop's flag before they print.
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
std::atomic<bool> sStopBegun{false};
std::atomic<bool> sForcedEndCalled{false};

constexpr DWORD CTRL_C_GRACE_MS = 3000;
constexpr DWORD CLOSE_GRACE_MS = 4000;

// Events that stop the run in order and, once the hooks are set, begin the stop window.
bool IsStopEvent(DWORD eventCode) {
    return eventCode == CTRL_C_EVENT || eventCode == CTRL_CLOSE_EVENT;
}

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

// The time a stop event leaves the process to end in order.
DWORD GraceMs(DWORD eventCode) {
    return eventCode == CTRL_C_EVENT ? CTRL_C_GRACE_MS : CLOSE_GRACE_MS;
}

DWORD WINAPI Watchdog(void* graceMs) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(graceMs)));
    ForceEnd();
}

// Begins the stop window for a stop event, before any handler sees it (see above); a second
// stop event ends the process at once. False when no watchdog could be started: the event's
// own thread then keeps the deadline.
bool BeginStop(DWORD eventCode) {
    if (sStopBegun.exchange(true)) {
        ForceEnd();
    }
    HANDLE watchdog = CreateThread(nullptr, 0, Watchdog,
                                   reinterpret_cast<void*>(static_cast<uintptr_t>(GraceMs(eventCode))),
                                   0, nullptr);
    if (watchdog == nullptr) {
        return false;
    }
    CloseHandle(watchdog);
    return true;
}

BOOL WINAPI Trampoline(DWORD eventCode) {
    const bool hooks = sStopHooksSet.load();
    const bool watched = hooks && IsStopEvent(eventCode) && BeginStop(eventCode);
    if (!ConsoleHandlerList::Dispatch(static_cast<uint32_t>(eventCode))) {
        return FALSE;
    }
    if (hooks && (EndsTheProcess(eventCode) || (IsStopEvent(eventCode) && !watched))) {
        if (!watched) {
            Sleep(GraceMs(eventCode));
            ForceEnd();
        }
        // Returning would let the system end the process before main or the watchdog does.
        Sleep(INFINITE);
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

// The stop window holds until the process ends, as on POSIX: a process stuck on its way out
// still ends by the deadline.
void ConsoleControl::NotifyRunEnded() {}

void ConsoleControl::FailNextSetHandlerForTesting() { sFailNextSetHandler.store(true); }

}  // namespace Platform

namespace Platform {

// No event is held back on Windows: a Ctrl+C before a handler is installed ends the process.
bool ConsoleControl::PauseUnlessStopped(uint32_t ms) {
    Sleep(ms);
    return false;
}

}  // namespace Platform
