// Windows side of ProcessStart: the console's handles, the access rights of new files and the
// write errors are the system's own business there; nothing to set up.
#include "platform/ProcessStart.h"

#include <errno.h>
#include <stdlib.h>
#include <windows.h>

namespace Platform {

void ProcessStart::SecureStandardStreams() {}
void ProcessStart::RestrictNewFileModes() {}
void ProcessStart::TurnWriteSignalsIntoErrors() {}

// The C runtime reports a write to a pipe whose reader has quit as EINVAL and keeps the
// system's own error in _doserrno: ERROR_NO_DATA (the pipe is being closed) or
// ERROR_BROKEN_PIPE.
bool ProcessStart::WriteEndIsGone(int error) {
    if (error == EPIPE) {
        return true;
    }
    const unsigned long systemError = _doserrno;
    return error == EINVAL && (systemError == ERROR_NO_DATA || systemError == ERROR_BROKEN_PIPE);
}

}  // namespace Platform
