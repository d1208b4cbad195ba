// ProgramName: the name the running program goes by, for messages that start with it
// ("ReadPLIXTrace: fatal: ..."). Any thread.
#pragma once

namespace Platform {

class ProgramName {
public:
    // The program's file name without directory (and, on Windows, without ".exe"), as the
    // user typed it to start the program; never null, "?" when the system cannot tell. The text
    // lives as long as the process. Safe on the fatal path: it allocates nothing and, once
    // static initialisation is over, calls no system service.
    static const char* Short();
};

}  // namespace Platform
