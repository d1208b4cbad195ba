// POSIX side of ConsoleControl: the four control signals are blocked in every thread and taken
// by one detached event thread with sigwait. The event thread never runs a handler itself: it
// queues each event to a dispatcher thread, which asks the handlers, newest first, so that a
// handler that blocks (a console nobody reads) never keeps the next signal pending. When no
// handler takes a signal, the terminal is restored and the signal is raised again with its
// default action, so that a parent sees the process die by that signal; SIGTERM instead asks the
// main loop to stop when the main program has set its stop hooks.
//
// A signal that is ignored when the process starts (nohup's SIGHUP, the SIGINT and SIGQUIT of a
// script's background job) is neither blocked nor waited for: Linux keeps a blocked signal
// pending even when it is ignored, and sigwait would take it.
//
// With stop hooks set, the event thread also enforces the stop: from the first stop event
// (SIGINT, SIGHUP, SIGTERM) the process has 3 seconds to end; when it has not, or when a second
// stop event comes meanwhile, the event thread calls the forced-end hook and ends it with
// _exit(0). The same signal again within SAME_STOP_WINDOW is the same stop delivered twice
// (timeout signals the process and then its process group; a hang-up comes from the kernel and
// from the shell) and is dropped.
#include "platform/ConsoleControl.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/ConsoleHandlerList.h"
#include "platform/KeyState.h"

namespace Platform {
namespace {

constexpr auto STOP_GRACE = std::chrono::seconds(3);
// Far below a person's second key press, far above the gap between two copies of one signal.
constexpr auto SAME_STOP_WINDOW = std::chrono::milliseconds(50);

std::mutex sInstallMutex;  // serialises installations
bool sEventThreadRunning = false;  // under sInstallMutex
std::atomic<bool> sFailNextSetHandler{false};

std::atomic<ConsoleControl::StopFn> sRequestStop{nullptr};
std::atomic<ConsoleControl::StopFn> sForcedEnd{nullptr};
std::atomic<bool> sStopHooksSet{false};

// Events on their way from the event thread to the dispatcher. Never destroyed: the dispatcher
// waits on the condition for the life of the process, and destroying a condition that a thread
// waits on blocks the process's exit.
struct EventQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<int> signals;  // signal numbers, under mutex
    uint64_t dispatched = 0;  // events the dispatcher has finished, under mutex
    // Whether the event thread has queued the events held back during start-up (copies of one
    // stop dropped), and how many it queued; under mutex.
    bool heldBackQueued = false;
    uint64_t heldBackEvents = 0;
};
EventQueue& sEvents = *new EventQueue;

// The control signals the process takes: the four, less those it ignores. Nothing here ever
// changes their dispositions (until a signal is passed on and ends the process), so every call
// gives the set the first one gave.
sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
        struct sigaction current {};
        if (sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
            continue;
        }
        sigaddset(&set, signalNumber);
    }
    return set;
}

sigset_t StopSignals() {
    sigset_t set = ControlSignals();
    sigdelset(&set, SIGQUIT);
    return set;
}

bool IsStopSignal(int signalNumber) {
    return signalNumber == SIGINT || signalNumber == SIGHUP || signalNumber == SIGTERM;
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

// Ends the process by signalNumber's default action. Runs where the signal is blocked:
// unblocking it after raising delivers it to this thread, at once.
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

// The stop did not finish in time, or was asked for twice: give back what must not outlive
// the process and end it, whatever the other threads are blocked on.
[[noreturn]] void ForceEnd() {
    if (ConsoleControl::StopFn forcedEnd = sForcedEnd.load()) {
        forcedEnd();
    }
    KeyState::RestoreTerminal();
    _exit(0);
}

void* DispatchLoop(void*) {
    for (;;) {
        int signalNumber = 0;
        {
            std::unique_lock<std::mutex> lock(sEvents.mutex);
            sEvents.changed.wait(lock, [] { return !sEvents.signals.empty(); });
            signalNumber = sEvents.signals.front();
            sEvents.signals.pop_front();
        }
        if (!ConsoleHandlerList::Dispatch(EventCodeOf(signalNumber))) {
            ConsoleControl::StopFn requestStop = sRequestStop.load();
            if (signalNumber == SIGTERM && requestStop != nullptr) {
                requestStop();
            } else {
                PassOn(signalNumber);
            }
        }
        {
            std::lock_guard<std::mutex> lock(sEvents.mutex);
            ++sEvents.dispatched;
        }
        sEvents.changed.notify_all();
    }
}

void Enqueue(int signalNumber) {
    {
        std::lock_guard<std::mutex> lock(sEvents.mutex);
        sEvents.signals.push_back(signalNumber);
    }
    sEvents.changed.notify_all();
}

// The event thread's state: whether a stop is under way, which signal began it, and until when
// it may take.
struct StopWindow {
    bool open = false;
    int firstSignal = 0;
    std::chrono::steady_clock::time_point openedAt;
    std::chrono::steady_clock::time_point deadline;

    // Counts a received signal; ends the process when it is a second stop event. False when it
    // is a copy of the stop under way, which is dropped.
    bool Note(int signalNumber) {
        if (!sStopHooksSet.load() || !IsStopSignal(signalNumber)) {
            return true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (open) {
            if (signalNumber == firstSignal && now - openedAt < SAME_STOP_WINDOW) {
                return false;
            }
            ForceEnd();
        }
        open = true;
        firstSignal = signalNumber;
        openedAt = now;
        deadline = now + STOP_GRACE;
        return true;
    }
};

struct EventThreadStart {
    std::vector<int> heldBack;  // signals taken at installation, in order
};

void* EventLoop(void* argument) {
    StopWindow window;
    {
        EventThreadStart* start = static_cast<EventThreadStart*>(argument);
        uint64_t queued = 0;
        for (int signalNumber : start->heldBack) {
            if (window.Note(signalNumber)) {
                Enqueue(signalNumber);
                ++queued;
            }
        }
        delete start;
        {
            std::lock_guard<std::mutex> lock(sEvents.mutex);
            sEvents.heldBackQueued = true;
            sEvents.heldBackEvents = queued;
        }
        sEvents.changed.notify_all();
    }
    const sigset_t signals = ControlSignals();
    for (;;) {
        int signalNumber = 0;
        if (window.open) {
            const auto left = window.deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                ForceEnd();
            }
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timespec timeout{static_cast<time_t>(ns / 1000000000),
                             static_cast<long>(ns % 1000000000)};
            signalNumber = sigtimedwait(&signals, nullptr, &timeout);
            if (signalNumber < 0) {
                continue;  // time-out (checked above) or an interruption
            }
        } else if (sigwait(&signals, &signalNumber) != 0) {
            continue;
        }
        if (window.Note(signalNumber)) {
            Enqueue(signalNumber);
        }
    }
}

bool StartThread(void* (*routine)(void*), void* argument) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return false;
    }
    pthread_t thread;
    const bool started = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0 &&
                         pthread_create(&thread, &attributes, routine, argument) == 0;
    pthread_attr_destroy(&attributes);
    return started;
}

// Blocks the signals in the calling thread, takes the ones that were held back until now and
// starts the dispatcher and the event thread, which inherit the block. Returns the number of
// held-back events handed over; -1 on failure, with the calling thread's mask put back as it
// was (a held-back signal taken already is raised again, so it stays pending).
int StartEventThread() {
    const sigset_t signals = ControlSignals();
    sigset_t previous;
    if (pthread_sigmask(SIG_BLOCK, &signals, &previous) != 0) {
        return -1;
    }
    if (sFailNextSetHandler.exchange(false) || !StartThread(DispatchLoop, nullptr)) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return -1;
    }
    // The dispatcher waits for events; it is harmless until the event thread starts.
    auto* start = new EventThreadStart;
    const timespec now{0, 0};
    for (int signalNumber; (signalNumber = sigtimedwait(&signals, nullptr, &now)) > 0;) {
        start->heldBack.push_back(signalNumber);
    }
    const int heldBack = static_cast<int>(start->heldBack.size());
    if (!StartThread(EventLoop, start)) {
        for (int signalNumber : start->heldBack) {
            raise(signalNumber);
        }
        delete start;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return -1;
    }
    return heldBack;
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
    int heldBack = 0;
    {
        std::lock_guard<std::mutex> lock(sInstallMutex);
        if (sEventThreadRunning && sFailNextSetHandler.exchange(false)) {
            return false;
        }
        // Published before the event thread starts, so that no signal finds the list empty.
        if (!ConsoleHandlerList::Append(handler)) {
            return false;
        }
        if (!sEventThreadRunning) {
            heldBack = StartEventThread();
            if (heldBack < 0) {
                ConsoleHandlerList::RemoveLast();  // no event thread has seen it
                return false;
            }
            sEventThreadRunning = true;
        }
    }
    // Events held back during start-up have been handled when this returns, so that the
    // caller sees a stop they asked for before it goes on. A handler that blocks meanwhile is
    // ended with the process by the stop window.
    if (heldBack > 0) {
        std::unique_lock<std::mutex> lock(sEvents.mutex);
        sEvents.changed.wait_for(lock, std::chrono::seconds(10), [] {
            return sEvents.heldBackQueued && sEvents.dispatched >= sEvents.heldBackEvents;
        });
    }
    return true;
}

void ConsoleControl::SetStopHooks(StopFn requestStop, StopFn forcedEnd) {
    sRequestStop.store(requestStop);
    sForcedEnd.store(forcedEnd);
    sStopHooksSet.store(true);
}

void ConsoleControl::NotifyRunEnded() {
    // Nothing to do here: the stop window stays, so that a process that blocks on its way out
    // (flushing to a console nobody reads) still ends, and the forced-end hook is written to be
    // harmless after an orderly release.
}

bool ConsoleControl::PauseUnlessStopped(uint32_t ms) {
    const sigset_t signals = StopSignals();
    const timespec timeout{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    timespec left = timeout;
    for (;;) {
        if (sigtimedwait(&signals, nullptr, &left) > 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
        const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (rest <= 0) {
            return false;
        }
        left = timespec{static_cast<time_t>(rest / 1000000000), static_cast<long>(rest % 1000000000)};
    }
}

void ConsoleControl::FailNextSetHandlerForTesting() { sFailNextSetHandler.store(true); }

}  // namespace Platform
