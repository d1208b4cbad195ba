// POSIX side of StackCapture: backtrace for the frames, dladdr and the C++ demangler for the
// names. Executables are linked with exported symbols so that dladdr can name their functions.
#include "platform/StackCapture.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdlib>
#include <memory>

namespace Platform {

uint32_t StackCapture::Capture(void** frames, uint32_t maxFrames) {
    // backtrace reports frames of its own (this function's, and an interceptor's in sanitizer
    // builds) before our caller's. The capture starts at the return address into our caller,
    // as a capture that skips no frames reports it; a few spare frames cover the ones dropped.
    constexpr uint32_t kMaxFrames = 256;
    constexpr uint32_t kSpare = 4;
    void* all[kMaxFrames + kSpare];
    uint32_t limit = maxFrames < kMaxFrames ? maxFrames : kMaxFrames;
    int n = backtrace(all, static_cast<int>(limit + kSpare));
    if (n <= 0) {
        return 0;
    }
    void* const caller = __builtin_return_address(0);
    uint32_t first = 1;  // without the caller's address in the list, drop this function's frame
    for (uint32_t i = 0; i < static_cast<uint32_t>(n) && i < kSpare; ++i) {
        if (all[i] == caller) {
            first = i;
            break;
        }
    }
    uint32_t count = 0;
    for (uint32_t i = first; i < static_cast<uint32_t>(n) && count < limit; ++i) {
        frames[count++] = all[i];
    }
    return count;
}

bool StackCapture::LookUp(void* address, std::string* name, uint64_t* start) {
    // A return address can point just past the end of its function (after a call that does
    // not return), so look up the byte before it.
    Dl_info info{};
    void* inside = static_cast<char*>(address) - 1;
    if (dladdr(inside, &info) == 0 || info.dli_sname == nullptr) {
        return false;
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status), std::free);
    *name = (status == 0 && demangled) ? demangled.get() : info.dli_sname;
    *start = reinterpret_cast<uintptr_t>(info.dli_saddr);
    return true;
}

}  // namespace Platform
