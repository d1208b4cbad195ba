// KeyState: has the operator pressed Escape? The stand-in of GetAsyncKeyState(0x1B).
//
// On POSIX the keyboard is standard input when that is a terminal. The watch switches the
// terminal to non-canonical input without echo (the signal keys Ctrl+C and Ctrl+\ keep working)
// and puts the terminal's previous settings back on the way out: normal return from main,
// exit(), and death by a signal that ConsoleControl passes on. Death by any other signal
// (SIGKILL, a crash) and _exit leave the terminal as the watch set it.
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

    // Starts the watch now rather than at the first GetAsyncEscapeState call, so that keys
    // typed from here on are neither echoed nor left for the shell. Does nothing when standard
    // input is not a terminal, when the watch is running or over, or when the process is not in
    // the terminal's foreground (a background job is stopped by the terminal if it touches it;
    // a later call tries again).
    static void BeginEscapeWatch();

    // Starts the watch if needed (as BeginEscapeWatch), then takes what the keyboard has sent
    // without blocking. Returns PRESSED_SINCE_LAST_CALL when that held an Escape key press,
    // otherwise 0. A lone ESC byte is an Escape press; ESC with more bytes after it at once is a
    // key sequence (an arrow key, a function key, Alt with a key) and is not. The end of a key
    // sequence may wait a few milliseconds. All other input is consumed and dropped. Returns 0
    // when not watching. One thread at a time (the reader's main thread).
    static int16_t GetAsyncEscapeState();

    // Ends the watch: puts the terminal settings found at its start back (when the process is
    // still in the terminal's foreground) and stops reading standard input for good. Safe to
    // call from any thread, more than once, and when no watch was started. Registered with
    // atexit when the watch starts; ConsoleControl calls it before passing a signal on.
    static void RestoreTerminal();
};

}  // namespace Platform
