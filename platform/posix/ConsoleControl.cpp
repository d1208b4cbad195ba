// POSIX side of ConsoleControl: the four control signals are blocked in every thread and taken
// by one detached event thread with sigwait, which asks the handlers, newest first. When none
// handles the signal, the terminal is restored and the signal is raised again with its default
// action, so that a parent sees the process die by that signal.
#include "platform/ConsoleControl.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/ConsoleHandlerList.h"
#include "platform/KeyState.h"

namespace Platform {
namespace {

std::mutex sInstallMutex;  // serialises installations
bool sEventThreadRunning = false;  // under sInstallMutex
std::atomic<bool> sFailNextSetHandler{false};

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

uint32_t EventCodeOf(int signalNumber) {
    switch (signalNumber) {
        case SIGINT:
            return ConsoleControl::CTRL_C_EVENT;
        case SIGQUIT:
            return ConsoleControl::CTRL_BREAK_EVENT;
        case SIGHUP:
            return ConsoleControl::CTRL_CLOSE_EVENT;
        default:
            return ConsoleControl::CTRL_SHUTDOWN_EVENT;
    }
}

// Ends the process by signalNumber's default action. Runs on the event thread, where the
// signal is blocked: unblocking it after raising delivers it here, at once.
[[noreturn]] void PassOn(int signalNumber) {
    KeyState::RestoreTerminal();
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signalNumber, &defaultAction, nullptr);
    raise(signalNumber);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signalNumber);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    // Not reached: the default action of all four signals ends the process. Should it not,
    // end the way a shell reports death by a signal.
    _exit(128 + signalNumber);
}

void* EventLoop(void*) {
    const sigset_t signals = ControlSignals();
    for (;;) {
        int signalNumber = 0;
        if (sigwait(&signals, &signalNumber) != 0) {
            continue;
        }
        const uint32_t eventCode = EventCodeOf(signalNumber);
        if (!ConsoleHandlerList::Dispatch(eventCode)) {
            PassOn(signalNumber);
        }
    }
}

// Blocks the signals in the calling thread and starts the event thread, which inherits the
// block. On failure the calling thread's mask is put back as it was.
bool StartEventThread() {
    const sigset_t signals = ControlSignals();
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &signals, &previous) != 0) {
        return false;
    }
    bool started = false;
    if (!sFailNextSetHandler.exchange(false)) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) == 0) {
            pthread_t thread;
            started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                      pthread_create(&thread, &attributes, EventLoop, nullptr) == 0;
            pthread_attr_destroy(&attributes);
        }
    }
    if (!started) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    return started;
}

}  // namespace

void ConsoleControl::DeferEvents() {
    const sigset_t signals = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool ConsoleControl::SetHandler(Handler handler) {
    if (handler == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(sInstallMutex);
    if (sEventThreadRunning && sFailNextSetHandler.exchange(false)) {
        return false;
    }
    // Published before the event thread starts, so that no signal finds the list empty.
    if (!ConsoleHandlerList::Append(handler)) {
        return false;
    }
    if (!sEventThreadRunning) {
        if (!StartEventThread()) {
            ConsoleHandlerList::RemoveLast();  // no event thread has seen it
            return false;
        }
        sEventThreadRunning = true;
    }
    return true;
}

void ConsoleControl::FailNextSetHandlerForTesting() { sFailNextSetHandler.store(true); }

}  // namespace Platform
