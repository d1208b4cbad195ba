// ConsoleControl: console control events (Ctrl+C, Ctrl+Break, console closed, shutdown) and the
// handlers that receive them, the stand-in of SetConsoleCtrlHandler.
//
// Handlers run on a dedicated thread of the platform, never on the thread that installed them,
// just as the console delivers its events. On POSIX the events are signals: SIGINT is
// CTRL_C_EVENT, SIGQUIT CTRL_BREAK_EVENT, SIGHUP (terminal gone) CTRL_CLOSE_EVENT and SIGTERM
// CTRL_SHUTDOWN_EVENT.
#pragma once

#include <cstdint>

namespace Platform {

class ConsoleControl {
public:
    // A console control handler: gets the event code, returns non-zero (TRUE) when it has
    // dealt with the event and 0 (FALSE) to pass it on. Runs on the platform's event thread
    // and should return promptly: no further event is delivered meanwhile.
    using Handler = int (*)(uint32_t eventCode);

    // Event codes as the console defines them. (A file that also includes the operating
    // system's console header, where these names are macros, must include this one first and
    // must not name these constants afterwards.)
    static constexpr uint32_t CTRL_C_EVENT = 0;
    static constexpr uint32_t CTRL_BREAK_EVENT = 1;
    static constexpr uint32_t CTRL_CLOSE_EVENT = 2;
    static constexpr uint32_t CTRL_SHUTDOWN_EVENT = 6;

    // Adds handler to the process's handlers (SetConsoleCtrlHandler(handler, TRUE)). An event
    // goes to the newest handler first, then to older ones while they return FALSE; when all
    // return FALSE the event's default action follows: the process ends as the console or the
    // signal would end it (on POSIX it dies by that signal, after KeyState::RestoreTerminal).
    // Adding the same handler twice makes it be asked twice. At most 16 handlers.
    //
    // The first successful call blocks the four signals in the calling thread and starts the
    // event thread. Threads created afterwards inherit the block; call it before starting other
    // threads, or block the signals in them, because a signal that lands in a thread that does
    // not block it takes its default action and bypasses the handlers. A signal the process
    // ignores when the first call is made (nohup's SIGHUP, the SIGINT and SIGQUIT of a shell's
    // background job) stays ignored: it is neither blocked nor waited for, and no handler sees
    // it. Child processes inherit the block.
    //
    // Events held back since DeferEvents have been given to the handlers when the first
    // successful call returns, so that a stop asked for during start-up is seen by the caller's
    // next check.
    //
    // Returns false, and changes nothing, when handler is null, when 16 handlers are already
    // installed, or when the signal mask or the event thread cannot be set up.
    // Any thread; handlers are never removed.
    static bool SetHandler(Handler handler);

    // Holds console control events back from now until a handler is installed: on POSIX the
    // four signals, less those the process ignores, are blocked in the calling thread (call it
    // on the main thread before other threads start), so an event that arrives during start-up
    // waits for SetHandler's event thread instead of taking its default action. Where the console
    // cannot hold events back (Windows), it does nothing: events before SetHandler get the default
    // handling.
    static void DeferEvents();

    // The main program's side of stopping (see the stop protocol below).
    //   requestStop: asks the main loop to end in order; called on the event thread, must
    //     return at once (set a flag). Used where no handler takes a stop event that must still
    //     end the run in order (SIGTERM on POSIX).
    //   forcedEnd: gives back what must not outlive the process (the partition reference)
    //     when the process has to end without the main loop; called at most once, on the event
    //     thread, just before the process ends with exit status 0. Must be safe to call while
    //     the main thread is blocked anywhere.
    // Either may be null. Set them before SetHandler; calling again replaces them.
    //
    // Stop protocol on POSIX, once the hooks are set: after a stop event (SIGINT, SIGHUP, or
    // SIGTERM, which no handler takes and which is then passed to requestStop), the process has
    // 3 seconds to end; when it has not, or when a second stop event arrives meanwhile, the event
    // thread calls forcedEnd, restores the terminal and ends the process with _exit(0). The same
    // signal again within 50 milliseconds of the one that began the stop is not a second stop
    // but a copy of the first (timeout sends its signal to the process and to its process
    // group; a hang-up comes from the kernel and from the shell): it is dropped, and no handler
    // sees it. Handlers run on a dispatcher thread of their own, so a handler that blocks (on a
    // console nobody reads) never keeps the next event waiting. Without hooks, SIGTERM that no handler takes
    // ends the process by its default action and nothing is forced.
    // On Windows, once SetStopHooks was called, Ctrl+C and the close event begin the same window
    // before any handler runs (3 seconds from Ctrl+C, 4 from the close event, below the system's
    // 5-second limit), so that a handler blocked on the console cannot hold it back; a second
    // stop event forces the end at once. The thread of a close event that a handler took never
    // returns: main's exit or the forced end ends the process first.
    using StopFn = void (*)();
    static void SetStopHooks(StopFn requestStop, StopFn forcedEnd);

    // The main loop has ended in order and the process is on its way out. The stop window still
    // holds until the process ends (so that a process blocked on its way out still ends), which is
    // why forcedEnd must be harmless after an orderly release. Main thread.
    static void NotifyRunEnded();

    // Pauses the calling thread for about ms milliseconds, or less when a stop event (Ctrl+C, a
    // closed console, SIGTERM) arrives meanwhile; returns whether one did. For the time before
    // a handler is installed: on POSIX the stop signals must be held back in the calling thread
    // (DeferEvents), and the event is taken, not left pending. Where events cannot be held back
    // (Windows) it only sleeps and returns false.
    static bool PauseUnlessStopped(uint32_t ms);

    // Makes the next SetHandler call fail as if the event thread could not be started: the
    // mask is set and then rolled back, and the call returns false. One-shot; for tests of
    // callers' failure paths.
    static void FailNextSetHandlerForTesting();
};

}  // namespace Platform
