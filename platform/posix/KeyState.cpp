// POSIX side of KeyState: standard input as the keyboard when it is a terminal. The terminal is
// put into non-canonical mode without echo (VMIN=0, VTIME=0, ISIG left as it is). A detached
// watch thread reads it through a descriptor of its own, opened non-blocking (so O_NONBLOCK
// never reaches the open file that standard input shares with the shell), and a small parser
// tells a lone ESC from the key sequences that begin with ESC. The thread waits in poll, so an
// idle keyboard costs nothing.
//
// Everything the threads share is atomic: the watch's state, the descriptors, and the Escape
// word that the reader's main thread loads after every pass. The settings saved at the start
// are written before the state that publishes them, so that RestoreTerminal needs no lock.
#include "platform/KeyState.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace Platform {
namespace {

constexpr unsigned char ESC = 0x1B;
// How long an ESC at the end of the input waits for the rest of a key sequence. Terminals send
// a sequence in one write, so its bytes arrive together; a person cannot type that fast.
constexpr int ESCAPE_SEQUENCE_WAIT_MS = 10;
// How long the caller of GetAsyncEscapeState waits at most for the decision on an ESC: the
// sequence wait and the watch thread's wake-up on a busy machine.
constexpr uint32_t ESCAPE_DECISION_MAX_MS = 200;
// How often the watch looks again while the process may not touch the terminal (a background
// job): switching or reading would stop the whole process.
constexpr int BACKGROUND_RETRY_MS = 250;
// How long RestoreTerminal waits for a switch under way (one tcsetattr) to complete.
constexpr int SWITCH_WAIT_MS = 200;

enum WatchState : int {
    NOT_STARTED,   // not switched yet: not looked at, or not in the foreground when we did
    SWITCHING,     // one thread is switching the terminal; sSavedSettings holds what to put back
    WATCHING,      // terminal switched, sSavedSettings holds what to put back
    NOT_TERMINAL,  // standard input is not a terminal (or refused the switch): never read
    ENDED,         // RestoreTerminal has run: never read again
};

// What the watch thread has seen of Escape, for the main thread.
enum EscapeWord : int {
    NO_PRESS,       // nothing, or taken by the last call
    ESC_UNDECIDED,  // an ESC was the last byte read: a press unless more follows at once
    PRESSED,        // a lone ESC, not yet taken
};

// Where the parser stands in the byte stream.
enum class ParserState {
    GROUND,     // between keys
    AFTER_ESC,  // ESC seen, nothing after it yet: Escape unless more follows at once
    CSI,        // inside ESC [ ... up to its final byte (0x40..0x7E)
    SS3,        // after ESC O: one more byte ends it
};

std::atomic<bool> sBegun{false};
std::atomic<int> sWatch{NOT_STARTED};
std::atomic<int> sEscape{NO_PRESS};
std::atomic<bool> sTaking{false};  // the watch thread is between a read and its verdict
std::atomic<int> sTerminal{-1};    // our own descriptor on the terminal
// Whether sTerminal is a non-blocking open of its own. When the terminal cannot be opened again
// (another user's), it is a copy of standard input, which must stay blocking for the shell: the
// watch then reads only what FIONREAD reports, and a key another reader takes in between can
// only hold up the watch thread until the next key.
std::atomic<bool> sTerminalNonBlocking{true};
std::atomic<int> sWakeRead{-1};    // RestoreTerminal wakes the watch thread through this pipe
std::atomic<int> sWakeWrite{-1};
termios sSavedSettings{};  // written before SWITCHING is published, then only read

void SleepMs(int ms) {
    const timespec pause{0, static_cast<long>(ms) * 1000000L};
    nanosleep(&pause, nullptr);
}

// A process outside the terminal's foreground process group is stopped by the terminal when it
// reads or changes the settings. A terminal that is not our controlling one cannot do that.
bool InTerminalForeground(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    if (foreground == -1) {
        return errno == ENOTTY;
    }
    return foreground == getpgrp();
}

void RestoreAtExit() { KeyState::RestoreTerminal(); }

// Switches the terminal when the process is in its foreground. True when the watch runs now.
// Called by one thread at a time: BeginEscapeWatch, then only the watch thread.
bool TrySwitch() {
    const int fd = sTerminal.load();
    if (sWatch.load() != NOT_STARTED || !InTerminalForeground(fd)) {
        return sWatch.load() == WATCHING;
    }
    termios saved{};
    if (tcgetattr(fd, &saved) != 0) {
        int expected = NOT_STARTED;
        sWatch.compare_exchange_strong(expected, NOT_TERMINAL);
        return false;
    }
    sSavedSettings = saved;
    int expected = NOT_STARTED;
    if (!sWatch.compare_exchange_strong(expected, SWITCHING)) {
        return false;  // ended meanwhile
    }
    termios watching = saved;
    watching.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    watching.c_cc[VMIN] = 0;
    watching.c_cc[VTIME] = 0;
    const bool switched = tcsetattr(fd, TCSANOW, &watching) == 0;
    expected = SWITCHING;
    if (!sWatch.compare_exchange_strong(expected, switched ? WATCHING : NOT_TERMINAL)) {
        // RestoreTerminal gave up waiting for this switch: put the settings back here.
        tcsetattr(fd, TCSANOW, &saved);
        return false;
    }
    return switched;
}

// Sleeps up to ms or until RestoreTerminal wakes the thread.
void WaitForWake(int ms) {
    pollfd wake{sWakeRead.load(), POLLIN, 0};
    poll(&wake, 1, ms);
}

// One byte through the parser. ESC after ESC keeps AFTER_ESC: the first ESC is then the Alt
// prefix of whatever the second one begins (ESC ESC is Alt+Escape, or Escape twice; ESC ESC [ A
// is Alt+Up). An ESC inside a sequence abandons the sequence and begins a new key.
ParserState Feed(ParserState parser, unsigned char byte) {
    if (byte == ESC) {
        return ParserState::AFTER_ESC;
    }
    switch (parser) {
        case ParserState::AFTER_ESC:
            // ESC [ and ESC O begin control sequences; ESC with any other byte is Alt+key.
            return byte == '['   ? ParserState::CSI
                   : byte == 'O' ? ParserState::SS3
                                 : ParserState::GROUND;
        case ParserState::CSI:
            // A final byte, or a stray control, ends it.
            return byte < 0x20 || byte >= 0x40 ? ParserState::GROUND : ParserState::CSI;
        default:
            return ParserState::GROUND;
    }
}

// Reads what the terminal holds without waiting. False when the terminal is gone for good.
bool TakeInput(ParserState* parser) {
    const int fd = sTerminal.load();
    sTaking.store(true);
    bool open = true;
    unsigned char buffer[256];
    for (;;) {
        int waiting = static_cast<int>(sizeof buffer);
        if (!sTerminalNonBlocking.load() && (ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)) {
            break;
        }
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, static_cast<size_t>(waiting)));
        if (got > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                *parser = Feed(*parser, buffer[i]);
            }
            continue;
        }
        // EAGAIN: all taken (or another reader of the terminal was faster); 0: an end-of-file
        // key in canonical mode. EIO: the terminal hung up.
        open = got == 0 || errno == EAGAIN || errno == EINTR;
        break;
    }
    int undecided = ESC_UNDECIDED;
    if (*parser == ParserState::AFTER_ESC) {
        int none = NO_PRESS;
        sEscape.compare_exchange_strong(none, ESC_UNDECIDED);
    } else {
        sEscape.compare_exchange_strong(undecided, NO_PRESS);  // it began a key sequence
    }
    sTaking.store(false);
    return open;
}

void WatchLoop() {
    ParserState parser = ParserState::GROUND;
    for (;;) {
        const int state = sWatch.load();
        if (state == NOT_STARTED && !TrySwitch()) {
            WaitForWake(BACKGROUND_RETRY_MS);
            continue;
        }
        if (state != NOT_STARTED && state != WATCHING) {
            break;
        }
        pollfd fds[2] = {{sTerminal.load(), POLLIN, 0}, {sWakeRead.load(), POLLIN, 0}};
        const int timeoutMs = parser == ParserState::AFTER_ESC ? ESCAPE_SEQUENCE_WAIT_MS : -1;
        const int ready = poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (sWatch.load() != WATCHING) {
            break;
        }
        if (ready == 0) {
            // Nothing followed the ESC: Escape.
            parser = ParserState::GROUND;
            sEscape.store(PRESSED);
        } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            break;  // the terminal is gone (a hung-up one also reads as ready, and empty)
        } else if ((fds[0].revents & POLLIN) != 0) {
            if (!InTerminalForeground(fds[0].fd)) {
                WaitForWake(BACKGROUND_RETRY_MS);  // the keys are the shell's now
            } else if (!TakeInput(&parser)) {
                break;
            }
        }
    }
    // A decision left open is no press.
    int undecided = ESC_UNDECIDED;
    sEscape.compare_exchange_strong(undecided, NO_PRESS);
}

// Opens the terminal behind standard input once more, non-blocking; else a copy of standard
// input (see sTerminalNonBlocking); -1 when neither is a terminal.
int OpenOwnDescriptor() {
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = open("/proc/self/fd/0", flags);
    if (fd < 0) {
        char name[PATH_MAX];
        if (ttyname_r(STDIN_FILENO, name, sizeof name) == 0) {
            fd = open(name, flags);
        }
    }
    if (fd < 0) {
        fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        sTerminalNonBlocking.store(false);
    }
    if (fd >= 0 && isatty(fd) == 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Starts the detached watch thread with every signal blocked, so that none is delivered to it.
bool StartWatchThread() {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    bool started = true;
    try {
        std::thread(WatchLoop).detach();
    } catch (...) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return started;
}

// Takes a press the watch has published, waiting for the decision on an ESC just read.
int16_t TakePress() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ESCAPE_DECISION_MAX_MS);
    while (sEscape.load() == ESC_UNDECIDED && std::chrono::steady_clock::now() < deadline) {
        SleepMs(1);
    }
    int pressed = PRESSED;
    return sEscape.compare_exchange_strong(pressed, NO_PRESS) ? KeyState::PRESSED_SINCE_LAST_CALL
                                                              : 0;
}

}  // namespace

void KeyState::BeginEscapeWatch() {
    if (sBegun.exchange(true)) {
        return;
    }
    const int fd = isatty(STDIN_FILENO) == 1 ? OpenOwnDescriptor() : -1;
    int wake[2] = {-1, -1};
    // Registered before the switch, so that no way through exit() misses the restore.
    if (fd < 0 || pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0 || atexit(RestoreAtExit) != 0) {
        sWatch.store(NOT_TERMINAL);
        return;
    }
    sTerminal.store(fd);
    sWakeRead.store(wake[0]);
    sWakeWrite.store(wake[1]);
    TrySwitch();
    if (!StartWatchThread()) {
        RestoreTerminal();
    }
}

int16_t KeyState::GetAsyncEscapeState() {
    if (sEscape.load(std::memory_order_relaxed) == NO_PRESS) {
        return 0;
    }
    return TakePress();
}

int16_t KeyState::GetSettledEscapeState(uint32_t maxMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    // Settled: nothing waiting in the terminal, no read between its bytes and their verdict,
    // and no ESC waiting for the rest of a sequence. Checked in that order: a read that emptied
    // the terminal has begun (sTaking) before the count shows it.
    const auto settled = [] {
        int waiting = 0;
        return ioctl(sTerminal.load(), FIONREAD, &waiting) == 0 && waiting == 0 &&
               !sTaking.load() && sEscape.load() != ESC_UNDECIDED;
    };
    while (sWatch.load() == WATCHING && !settled() && std::chrono::steady_clock::now() < deadline) {
        SleepMs(1);
    }
    return TakePress();
}

void KeyState::RestoreTerminal() {
    int state = sWatch.load();
    for (int waited = 0;;) {
        if (state == SWITCHING && waited < SWITCH_WAIT_MS) {
            SleepMs(1);
            ++waited;
            state = sWatch.load();
        } else if (sWatch.compare_exchange_weak(state, ENDED)) {
            break;
        }
    }
    const int wake = sWakeWrite.load();
    if (wake >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = write(wake, &byte, 1);
    }
    const int fd = sTerminal.load();
    if ((state == WATCHING || state == SWITCHING) && InTerminalForeground(fd)) {
        tcsetattr(fd, TCSANOW, &sSavedSettings);
    }
}

}  // namespace Platform
