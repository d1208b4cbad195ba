// KeyState: has the operator pressed Escape? The stand-in of GetAsyncKeyState(0x1B).
//
// On POSIX the keyboard is standard input when that is a terminal. The watch switches the
// terminal to non-canonical input without echo (the signal keys Ctrl+C and Ctrl+\ keep working)
// and puts the terminal's previous settings back on the way out: normal return from main,
// exit(), and death by a signal that ConsoleControl passes on. Death by any other signal
// (SIGKILL, a crash) and _exit leave the terminal as the watch set it.
// The keys are read by a thread of the platform through a descriptor of its own on the
// terminal, opened non-blocking: no read ever waits, whatever another process that shares the
// terminal does to its settings or its input (a pager that sets VMIN=1 and takes the keys). The
// thread publishes what it saw in one atomic word, so that the caller's check costs a load.
// When standard input is not a terminal, Escape is never seen and standard input is never read:
// it may be a pipe that belongs to someone else.
#pragma once

#include <cstdint>

namespace Platform {

class KeyState {
public:
    // The bit GetAsyncEscapeState sets when Escape was pressed since the previous call. A
    // terminal does not tell whether a key is down now, so the "down" bit (0x8000) never is.
    static constexpr int16_t PRESSED_SINCE_LAST_CALL = 0x0001;

    // Starts the watch, so that keys typed from here on are neither echoed nor left for the
    // shell: switches the terminal at once when the process is in the terminal's foreground
    // (a background job is stopped by the terminal if it touches it; the watch then tries again
    // a few times a second) and starts the watch thread, which blocks every signal. Does
    // nothing when standard input is not a terminal or when called before. Any thread. On
    // Windows, where the key state is the desktop's, it drops a press made before the call (an
    // Escape that cleared the command line), so only presses from now on count.
    static void BeginEscapeWatch();

    // Returns PRESSED_SINCE_LAST_CALL when the watch has seen an Escape key press since the
    // previous call, otherwise 0; one load while nothing was typed. A lone ESC byte is an Escape
    // press; ESC with more bytes after it at once is a key sequence (an arrow key, a function
    // key, Alt with a key) and is not. When the watch has just read an ESC and waits for the
    // rest of a sequence (a few milliseconds), the call waits for that decision, so that
    // nothing is done after an Escape that the process had received. Returns 0 before
    // BeginEscapeWatch and after RestoreTerminal. One thread at a time (the reader's main
    // thread).
    static int16_t GetAsyncEscapeState();

    // As GetAsyncEscapeState, once the watch has taken and decided what the terminal holds now,
    // or after maxMs at most (keys that another process takes, a background job that may not
    // read). For a last look when the run ends for another reason, so that an Escape typed
    // just before a stop is still answered. Same thread rule as GetAsyncEscapeState.
    static int16_t GetSettledEscapeState(uint32_t maxMs);

    // Ends the watch: puts the terminal settings found at its start back (when the process is
    // still in the terminal's foreground) and stops reading the terminal for good. Takes no
    // lock, never waits on another process: safe to call from any thread, more than once, while
    // other threads are blocked anywhere, and when no watch was started. Registered with atexit
    // when the watch starts; ConsoleControl calls it before passing a signal on or forcing the
    // end.
    static void RestoreTerminal();
};

}  // namespace Platform
