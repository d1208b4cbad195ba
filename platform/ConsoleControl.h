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
    // ignores when the first call is made (nohup, a shell's background job) stays ignored.
    // Child processes inherit the block.
    //
    // Returns false, and changes nothing, when handler is null, when 16 handlers are already
    // installed, or when the signal mask or the event thread cannot be set up.
    // Any thread; handlers are never removed.
    static bool SetHandler(Handler handler);

    // Holds console control events back from now until a handler is installed: on POSIX the
    // four signals are blocked in the calling thread (call it on the main thread before other
    // threads start), so an event that arrives during start-up waits for SetHandler's event
    // thread instead of taking its default action. Where the console cannot hold events back
    // (Windows), it does nothing: events before SetHandler get the default handling.
    static void DeferEvents();

    // Makes the next SetHandler call fail as if the event thread could not be started: the
    // mask is set and then rolled back, and the call returns false. One-shot; for tests of
    // callers' failure paths.
    static void FailNextSetHandlerForTesting();
};

}  // namespace Platform
