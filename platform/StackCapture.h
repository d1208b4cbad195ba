// StackCapture: the calling thread's return addresses and their symbols (the stand-ins of
// RtlCaptureStackBackTrace, SymInitialize and SymFromAddr). Called only on the fatal path.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

class StackCapture {
public:
    // Fills frames with at most maxFrames return addresses of the calling thread, innermost
    // first: frames[0] lies in the function that called Capture. Returns how many (0..max).
    static uint32_t Capture(void** frames, uint32_t maxFrames);

    // Looks up the symbol that contains address. On success stores its (demangled) name and
    // start address and returns true; on failure leaves name and start untouched.
    static bool LookUp(void* address, std::string* name, uint64_t* start);
};

}  // namespace Platform
