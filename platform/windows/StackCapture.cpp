// Windows side of StackCapture: RtlCaptureStackBackTrace for the frames; SymInitialize with
// invasion of the process and SymFromAddr for the names, demangled when they are C++ names.
//
// The symbol handler is asked for public symbols only (SYMOPT_PUBLICS_ONLY): mingw programs
// carry DWARF, which the debug help library does not read (some versions crash on it). So the
// program's own functions stay unnamed, and their lookups fail; an operator resolves their
// addresses offline (i686-w64-mingw32-addr2line).
#include "platform/StackCapture.h"

#include <windows.h>
// The debug help header needs the types of windows.h.
#include <cxxabi.h>
#include <dbghelp.h>

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace Platform {
namespace {

constexpr DWORD MAX_NAME_LENGTH = 255;

// The symbol handler is set up once per process and never cleaned up: it is only asked on the
// fatal path, right before the process ends.
HANDLE SymbolProcess() {
    static std::once_flag once;
    std::call_once(once, [] {
        SymSetOptions(SymGetOptions() | SYMOPT_PUBLICS_ONLY | SYMOPT_DEFERRED_LOADS);
        SymInitialize(GetCurrentProcess(), nullptr, TRUE);
    });
    return GetCurrentProcess();
}

}  // namespace

// Not inlined, so that it has a frame and a return address of its own. Captures with no frame
// skipped and starts at our caller's return address: implementations differ in whether the
// first captured frame is the capturing function's own (Windows) or already its caller's (Wine,
// whose ntdll walks from the frame pointer it is called with).
__attribute__((noinline)) uint32_t StackCapture::Capture(void** frames, uint32_t maxFrames) {
    constexpr uint32_t MAX_CAPTURE = 254;  // one capture; deeper stacks are cut
    constexpr uint32_t LOOK_FOR_CALLER = 2;
    void* all[MAX_CAPTURE + LOOK_FOR_CALLER];
    const uint32_t wanted = (maxFrames < MAX_CAPTURE ? maxFrames : MAX_CAPTURE) + LOOK_FOR_CALLER;
    const uint32_t n = RtlCaptureStackBackTrace(0, wanted, all, nullptr);

    void* const caller = __builtin_return_address(0);
    uint32_t first = 1;  // this function's own frame, when the caller is not found
    for (uint32_t i = 0; i < LOOK_FOR_CALLER && i < n; ++i) {
        if (all[i] == caller) {
            first = i;
            break;
        }
    }
    uint32_t count = 0;
    for (uint32_t i = first; i < n && count < maxFrames; ++i) {
        frames[count++] = all[i];
    }
    return count;
}

bool StackCapture::LookUp(void* address, std::string* name, uint64_t* start) {
    // SYMBOL_INFO followed by room for the rest of a 256-character name, zero-filled.
    struct {
        SYMBOL_INFO info;
        char rest[MAX_NAME_LENGTH];
    } symbol{};
    symbol.info.SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol.info.MaxNameLen = MAX_NAME_LENGTH;

    // A return address can point just past the end of its function (after a call that does
    // not return), so look up the byte before it.
    const DWORD64 inside = static_cast<DWORD64>(reinterpret_cast<uintptr_t>(address)) - 1;
    if (!SymFromAddr(SymbolProcess(), inside, nullptr, &symbol.info)) {
        return false;
    }
    // Exported names of 32-bit code may carry a leading underscore before the C++ mangling.
    const char* raw = symbol.info.Name;
    const char* mangled = raw[0] == '_' && raw[1] == '_' && raw[2] == 'Z' ? raw + 1 : raw;
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    *name = (status == 0 && demangled) ? demangled.get() : raw;
    *start = symbol.info.Address;
    return true;
}

}  // namespace Platform
