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
    // backtrace reports its caller (this function) first; capture one more and drop it, so
    // that frames[0] lies in our caller, as a capture that skips no frames would report it.
    constexpr uint32_t kMaxFrames = 256;
    void* all[kMaxFrames + 1];
    uint32_t want = (maxFrames < kMaxFrames ? maxFrames : kMaxFrames) + 1;
    int n = backtrace(all, static_cast<int>(want));
    if (n <= 1) {
        return 0;
    }
    uint32_t count = static_cast<uint32_t>(n) - 1;
    for (uint32_t i = 0; i < count; ++i) {
        frames[i] = all[i + 1];
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
