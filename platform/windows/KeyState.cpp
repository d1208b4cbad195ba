// Windows side of KeyState: GetAsyncKeyState for Escape, which sees the key in any window.
// There is no terminal to switch, so the watch has nothing to begin or restore.
#include "platform/KeyState.h"

#include <windows.h>

namespace Platform {
namespace {

constexpr int VIRTUAL_KEY_ESCAPE = 0x1B;
constexpr unsigned KEY_DOWN_NOW = 0x8000;

}  // namespace

void KeyState::BeginEscapeWatch() {}

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
