// POSIX side of KeyState: standard input as the keyboard when it is a terminal. The terminal is
// put into non-canonical mode without echo (VMIN=0, VTIME=0, ISIG left as it is) and read without
// blocking; a small parser tells a lone ESC from the key sequences that begin with ESC.
#include "platform/KeyState.h"

#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>

namespace Platform {
namespace {

constexpr unsigned char ESC = 0x1B;
// How long an ESC at the end of the input waits for the rest of a key sequence. Terminals send
// a sequence in one write, so its bytes arrive together; a person cannot type that fast.
constexpr int ESCAPE_SEQUENCE_WAIT_MS = 10;
// Bound on the reads of one call; what is left is taken by the next call.
constexpr int MAX_READS_PER_CALL = 16;

enum class WatchState {
    NOT_STARTED,   // not yet looked at standard input, or not in the foreground when we did
    WATCHING,      // terminal switched, sSavedSettings holds what to put back
    NOT_TERMINAL,  // standard input is not a terminal (or refused the switch): never read
    ENDED,         // RestoreTerminal has run: never read again
};

// Where the parser stands in the byte stream. Kept across calls: when the read bound cuts a
// call short, the next call goes on where it stopped.
enum class ParserState {
    GROUND,     // between keys
    AFTER_ESC,  // ESC seen, nothing after it yet: Escape unless more follows at once
    CSI,        // inside ESC [ ... up to its final byte (0x40..0x7E)
    SS3,        // after ESC O: one more byte ends it
};

std::mutex sMutex;  // guards everything below
WatchState sWatch = WatchState::NOT_STARTED;
termios sSavedSettings{};
bool sAtExitRegistered = false;
ParserState sParser = ParserState::GROUND;

// A process outside the terminal's foreground process group is stopped by the terminal when it
// reads or changes the settings. A terminal that is not our controlling one cannot do that.
bool InTerminalForeground() {
    const pid_t foreground = tcgetpgrp(STDIN_FILENO);
    if (foreground == -1) {
        return errno == ENOTTY;
    }
    return foreground == getpgrp();
}

void RestoreAtExit() { KeyState::RestoreTerminal(); }

// Caller holds sMutex. True when the watch is running (now or already).
bool StartWatchLocked() {
    if (sWatch != WatchState::NOT_STARTED) {
        return sWatch == WatchState::WATCHING;
    }
    if (isatty(STDIN_FILENO) == 0) {
        sWatch = WatchState::NOT_TERMINAL;
        return false;
    }
    if (!InTerminalForeground()) {
        return false;  // try again on a later call
    }
    termios saved{};
    if (tcgetattr(STDIN_FILENO, &saved) != 0) {
        sWatch = WatchState::NOT_TERMINAL;
        return false;
    }
    termios watching = saved;
    watching.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    watching.c_cc[VMIN] = 0;
    watching.c_cc[VTIME] = 0;
    // Registered before the switch, so that no way through exit() misses the restore.
    if (!sAtExitRegistered) {
        if (atexit(RestoreAtExit) != 0) {
            sWatch = WatchState::NOT_TERMINAL;
            return false;
        }
        sAtExitRegistered = true;
    }
    sSavedSettings = saved;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &watching) != 0) {
        sWatch = WatchState::NOT_TERMINAL;
        return false;
    }
    sWatch = WatchState::WATCHING;
    sParser = ParserState::GROUND;
    return true;
}

// One byte through the parser. ESC after ESC keeps AFTER_ESC: the first ESC is then the Alt
// prefix of whatever the second one begins (ESC ESC is Alt+Escape, or Escape twice; ESC ESC [ A
// is Alt+Up). An ESC inside a sequence abandons the sequence and begins a new key.
void Feed(unsigned char byte) {
    if (byte == ESC) {
        sParser = ParserState::AFTER_ESC;
        return;
    }
    switch (sParser) {
        case ParserState::GROUND:
        case ParserState::SS3:
            sParser = ParserState::GROUND;
            break;
        case ParserState::AFTER_ESC:
            // ESC [ and ESC O begin control sequences; ESC with any other byte is Alt+key.
            sParser = byte == '['   ? ParserState::CSI
                      : byte == 'O' ? ParserState::SS3
                                    : ParserState::GROUND;
            break;
        case ParserState::CSI:
            if (byte < 0x20 || byte >= 0x40) {
                sParser = ParserState::GROUND;  // final byte, or a stray control ends it
            }
            break;
    }
}

// True when input can be read within timeoutMs.
bool InputReady(int timeoutMs) {
    pollfd in{};
    in.fd = STDIN_FILENO;
    in.events = POLLIN;
    return poll(&in, 1, timeoutMs) == 1 && (in.revents & POLLIN) != 0;
}

// Caller holds sMutex and the watch is running. Reads what is there; true when it ended in a
// lone ESC, that is, an ESC that nothing followed within ESCAPE_SEQUENCE_WAIT_MS. When the
// read bound stops the loop, more input is pending and the next call goes on with it.
bool TakeInputLocked() {
    bool inputExhausted = false;
    for (int reads = 0; reads < MAX_READS_PER_CALL && !inputExhausted; ++reads) {
        const int waitMs = sParser == ParserState::AFTER_ESC ? ESCAPE_SEQUENCE_WAIT_MS : 0;
        unsigned char buffer[256];
        const ssize_t got = InputReady(waitMs) ? read(STDIN_FILENO, buffer, sizeof buffer) : 0;
        inputExhausted = got <= 0;
        for (ssize_t i = 0; i < got; ++i) {
            Feed(buffer[i]);
        }
    }
    if (inputExhausted && sParser == ParserState::AFTER_ESC) {
        sParser = ParserState::GROUND;
        return true;
    }
    return false;
}

}  // namespace

void KeyState::BeginEscapeWatch() {
    std::lock_guard<std::mutex> lock(sMutex);
    StartWatchLocked();
}

int16_t KeyState::GetAsyncEscapeState() {
    std::lock_guard<std::mutex> lock(sMutex);
    if (!StartWatchLocked() || !InTerminalForeground()) {
        return 0;
    }
    return TakeInputLocked() ? PRESSED_SINCE_LAST_CALL : 0;
}

void KeyState::RestoreTerminal() {
    std::lock_guard<std::mutex> lock(sMutex);
    if (sWatch == WatchState::WATCHING && InTerminalForeground()) {
        tcsetattr(STDIN_FILENO, TCSANOW, &sSavedSettings);
    }
    sWatch = WatchState::ENDED;
}

}  // namespace Platform
