// Windows side of ConsoleControl: one trampoline of the console's handler type is registered
// with SetConsoleCtrlHandler at the first SetHandler and forwards every event to our handlers,
// newest first. The console runs it on a thread of its own; when no handler takes the event, the
// trampoline returns FALSE and the console's next handler (by default the one that ends the
// process) deals with it.
//
// ConsoleControl.h comes before windows.h: the event names are macros there.
#include "platform/ConsoleControl.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <mutex>

namespace Platform {
namespace {

constexpr size_t MAX_HANDLERS = 16;

// Handlers are appended under sInstallMutex and published by the release store of sHandlerCount;
// a slot is written once, before it is published, and never changes afterwards.
std::mutex sInstallMutex;
ConsoleControl::Handler sHandlers[MAX_HANDLERS] = {};
std::atomic<size_t> sHandlerCount{0};
bool sTrampolineInstalled = false;  // under sInstallMutex
std::atomic<bool> sFailNextSetHandler{false};

BOOL WINAPI Trampoline(DWORD eventCode) {
    for (size_t i = sHandlerCount.load(std::memory_order_acquire); i > 0; --i) {
        if (sHandlers[i - 1](static_cast<uint32_t>(eventCode)) != 0) {
            return TRUE;
        }
    }
    return FALSE;
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
    const size_t count = sHandlerCount.load(std::memory_order_relaxed);
    if (count == MAX_HANDLERS || sFailNextSetHandler.exchange(false)) {
        return false;
    }
    // Published before the trampoline is installed, so that no event finds the list empty.
    sHandlers[count] = handler;
    sHandlerCount.store(count + 1, std::memory_order_release);
    if (!sTrampolineInstalled) {
        if (!SetConsoleCtrlHandler(Trampoline, TRUE)) {
            sHandlerCount.store(count, std::memory_order_release);  // never called yet
            return false;
        }
        sTrampolineInstalled = true;
    }
    return true;
}

void ConsoleControl::FailNextSetHandlerForTesting() { sFailNextSetHandler.store(true); }

}  // namespace Platform
