// ConsoleHandlerList: fixed slots published by an atomic count.
#include "platform/ConsoleHandlerList.h"

#include <atomic>

namespace Platform {
namespace {

ConsoleControl::Handler sHandlers[ConsoleHandlerList::MAX_HANDLERS] = {};
std::atomic<uint32_t> sHandlerCount{0};

}  // namespace

bool ConsoleHandlerList::Append(ConsoleControl::Handler handler) {
    const uint32_t count = sHandlerCount.load(std::memory_order_relaxed);
    if (handler == nullptr || count == MAX_HANDLERS) {
        return false;
    }
    sHandlers[count] = handler;
    sHandlerCount.store(count + 1, std::memory_order_release);
    return true;
}

void ConsoleHandlerList::RemoveLast() {
    const uint32_t count = sHandlerCount.load(std::memory_order_relaxed);
    if (count > 0) {
        sHandlerCount.store(count - 1, std::memory_order_release);
    }
}

bool ConsoleHandlerList::Dispatch(uint32_t eventCode) {
    for (uint32_t i = sHandlerCount.load(std::memory_order_acquire); i > 0; --i) {
        if (sHandlers[i - 1](eventCode) != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace Platform
