// POSIX side of ProgramName: the C library's program_invocation_short_name.
#include "platform/ProgramName.h"

#include <errno.h>

namespace Platform {

const char* ProgramName::Short() {
    const char* name = program_invocation_short_name;
    return name != nullptr && name[0] != '\0' ? name : "?";
}

}  // namespace Platform
