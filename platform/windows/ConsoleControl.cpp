// Windows side of ConsoleControl: one trampoline of the console's handler type is registered
// with SetConsoleCtrlHandler at the first SetHandler and forwards every event to our handlers,
// newest first. The console runs it on a thread of its own; when no handler takes the event, the
// trampoline returns FALSE and the console's next handler (by default the one that ends the
// process) deals with it.
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

BOOL WINAPI Trampoline(DWORD eventCode) {
    return ConsoleHandlerList::Dispatch(static_cast<uint32_t>(eventCode)) ? TRUE : FALSE;
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

void ConsoleControl::FailNextSetHandlerForTesting() { sFailNextSetHandler.store(true); }

}  // namespace Platform

namespace Platform {

// No event is held back on Windows: a Ctrl+C before a handler is installed ends the process.
bool ConsoleControl::PauseUnlessStopped(uint32_t ms) {
    Sleep(ms);
    return false;
}

}  // namespace Platform
