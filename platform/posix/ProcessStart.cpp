// POSIX side of ProcessStart.
#include "platform/ProcessStart.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

void ProcessStart::SecureStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        // open hands out the lowest free descriptor: this one.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened != -1 && opened != fd) {
            close(opened);  // something else took it meanwhile; leave it
        }
    }
}

void ProcessStart::RestrictNewFileModes() {
    // umask can only be read by setting it: the caller's mask, then that mask with ours added.
    constexpr mode_t NO_GROUP_WRITE_NO_OTHERS = 027;
    const mode_t callers = umask(NO_GROUP_WRITE_NO_OTHERS);
    umask(callers | NO_GROUP_WRITE_NO_OTHERS);
}

void ProcessStart::TurnWriteSignalsIntoErrors() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

bool ProcessStart::WriteEndIsGone(int error) { return error == EPIPE || error == EIO; }

}  // namespace Platform
