// Helpers for the tools' tests: partitions under a private prefix, child processes with pipes.
#include "tests/tools/ToolTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"
#include "tests/support/ShmObjects.h"

namespace PlixToolTest {

namespace {

void CollectName(const char* name, uint64_t /*size*/, void* context) {
    static_cast<std::vector<std::string>*>(context)->emplace_back(name);
}

}  // namespace

PrivatePartitions::PrivatePartitions() : mPrefix("plixtest." + std::to_string(getpid()) + ".") {
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    PlixTest::RemoveShmObjects(mPrefix);
}

PrivatePartitions::~PrivatePartitions() {
    setenv("RTH_SHM_PREFIX", mPrefix.c_str(), 1);
    // Also what the library refuses to list (FIFOs, links, other users' objects).
    PlixTest::RemoveShmObjects(mPrefix);
}

std::string PrivatePartitions::Path(const std::string& name) const {
    return "/dev/shm/" + mPrefix + name;
}

std::vector<std::string> PrivatePartitions::Names() const {
    std::vector<std::string> names;
    rthPartitionList(CollectName, &names);
    return names;
}

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::string& input) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);

    // Feed the input and drain both outputs in one loop, so that no pipe fills up.
    ToolResult result;
    int inFd = in[1];
    size_t fed = 0;
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outFds[2] = {out[0], err[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    while (outFds[0] >= 0 || outFds[1] >= 0) {
        pollfd fds[3] = {{outFds[0], POLLIN, 0}, {outFds[1], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buffer[65536];
                ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<size_t>(n));
                } else {
                    close(outFds[i]);
                    outFds[i] = -1;
                }
            }
        }
        if (inFd >= 0 && fds[2].revents != 0) {
            ssize_t n = write(inFd, input.data() + fed, input.size() - fed);
            if (n > 0) {
                fed += static_cast<size_t>(n);
            }
            if (n < 0 || fed == input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0) {
        close(inFd);
    }
    int status = 0;
    waitpid(child, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

size_t LineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

MappedPartition::MappedPartition(const std::string& name) {
    mSize = shmSizeGet(name.c_str());
    uint32_t area = mSize;
    mHandle = shmOpen(name.c_str(), 0, &area);
    if (mHandle < 0 || area != mSize) {
        throw std::runtime_error("cannot open partition " + name);
    }
    mBase = static_cast<uint8_t*>(shmAddrGet(mHandle));
}

MappedPartition::~MappedPartition() {
    if (mHandle >= 0) {
        shmClose(mHandle);
    }
}

}  // namespace PlixToolTest
