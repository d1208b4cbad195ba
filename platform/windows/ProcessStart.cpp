// Windows side of ProcessStart: the console's handles, the access rights of new files and the
// write errors are the system's own business there; nothing to set up.
#include "platform/ProcessStart.h"

namespace Platform {

void ProcessStart::SecureStandardStreams() {}
void ProcessStart::RestrictNewFileModes() {}
void ProcessStart::TurnWriteSignalsIntoErrors() {}

}  // namespace Platform
