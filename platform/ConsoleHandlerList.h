// ConsoleHandlerList: the console control handlers of the process, in the order they were
// installed, shared by both sides of ConsoleControl. Appending is serialised by the caller
// (ConsoleControl's install lock); dispatching runs on the platform's event thread without a
// lock: a slot is written once, before the release store of the count publishes it.
#pragma once

#include <cstdint>

#include "platform/ConsoleControl.h"

namespace Platform {

class ConsoleHandlerList {
public:
    static constexpr uint32_t MAX_HANDLERS = 16;

    // Appends handler; false, and nothing changes, when it is null or the list is full.
    static bool Append(ConsoleControl::Handler handler);

    // Takes back the handler appended last; only while no event can have seen it.
    static void RemoveLast();

    // Asks the handlers, newest first, until one returns non-zero (TRUE). Returns whether one
    // did; false when none is installed.
    static bool Dispatch(uint32_t eventCode);
};

}  // namespace Platform
