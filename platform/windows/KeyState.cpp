// Windows side of KeyState: GetAsyncKeyState for Escape, which sees the key in any window.
// There is no terminal to switch, so the watch has nothing to restore.
#include "platform/KeyState.h"

#include <windows.h>

namespace Platform {
namespace {

constexpr int VIRTUAL_KEY_ESCAPE = 0x1B;
constexpr unsigned KEY_DOWN_NOW = 0x8000;

}  // namespace

// The "pressed since" bit tells of a press since any program last asked: an Escape that cleared
// the command line before the reader was started would cancel the run at its first look. Read
// and dropped once here, so only presses from now on count.
void KeyState::BeginEscapeWatch() { GetAsyncKeyState(VIRTUAL_KEY_ESCAPE); }

// Non-zero when Escape is down now (0x8000) or was pressed since the previous call (0x0001);
// the bits are passed on as GetAsyncKeyState gives them.
int16_t KeyState::GetAsyncEscapeState() {
    const unsigned state = static_cast<unsigned short>(GetAsyncKeyState(VIRTUAL_KEY_ESCAPE));
    return static_cast<int16_t>(state & (KEY_DOWN_NOW | PRESSED_SINCE_LAST_CALL));
}

// The key state is the system's own: there is nothing in flight to settle.
int16_t KeyState::GetSettledEscapeState(uint32_t) { return GetAsyncEscapeState(); }

void KeyState::RestoreTerminal() {}

}  // namespace Platform
