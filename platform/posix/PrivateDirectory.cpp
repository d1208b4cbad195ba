// POSIX side of PrivateDirectory: open with O_NOFOLLOW, check with fstat and faccessat, lock
// with flock. flock, not fcntl locks: those need a descriptor open for writing (a directory
// cannot be) and vanish when any descriptor of the file in the process is closed.
#include "platform/PrivateDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace Platform {
namespace {

constexpr mode_t DIRECTORY_MODE = 0750;

std::string Printf(const char* format, unsigned value) {
    char text[256];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string RecreateAdvice() {
    const uid_t me = geteuid();
    return me == 0 ? std::string("create it as root with mode 0750")
                   : Printf("create it as uid %u with mode 0750", static_cast<unsigned>(me));
}

PrivateDirectory::EntryKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return PrivateDirectory::EntryKind::REGULAR;
    if (S_ISDIR(mode)) return PrivateDirectory::EntryKind::DIRECTORY;
    if (S_ISLNK(mode)) return PrivateDirectory::EntryKind::SYMBOLIC_LINK;
    if (S_ISFIFO(mode)) return PrivateDirectory::EntryKind::FIFO;
    return PrivateDirectory::EntryKind::OTHER;
}

// Why the opened directory is not safe to use, or empty when it is.
std::string CheckOpened(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return std::string("cannot be examined: ") + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        return "is not a directory; remove it, or " + RecreateAdvice();
    }
    if (st.st_uid != geteuid()) {
        return Printf("is owned by uid %u; remove it, or ", static_cast<unsigned>(st.st_uid)) +
               RecreateAdvice();
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Printf("is writable by its group or others (mode %04o); make it private with "
                      "chmod 0750",
                      static_cast<unsigned>(st.st_mode & 07777));
    }
    if (faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        return Printf("is not writable by its owner (mode %04o", static_cast<unsigned>(
                                                                    st.st_mode & 07777)) +
               "): " + std::strerror(errno) + "; make it writable with chmod 0750";
    }
    return "";
}

}  // namespace

PrivateDirectory::~PrivateDirectory() {
    if (mFd != -1) {
        close(mFd);  // ends the lock
    }
}

PrivateDirectory::Status PrivateDirectory::Acquire(const std::string& path, bool create,
                                                   std::string* reason) {
    if (create && mkdir(path.c_str(), DIRECTORY_MODE) != 0 && errno != EEXIST) {
        *reason = std::string("cannot be created: ") + std::strerror(errno);
        return Status::REFUSED;
    }
    // O_NONBLOCK: an entry of that name that is a FIFO must not hold the process in open.
    const int fd =
        open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        const int error = errno;
        if (error == ENOENT && !create) {
            return Status::MISSING;
        }
        struct stat st {};
        if (error == ELOOP || (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))) {
            *reason = "is a symbolic link; remove it, or " + RecreateAdvice();
        } else if (error == ENOTDIR) {
            *reason = "is not a directory; remove it, or " + RecreateAdvice();
        } else {
            *reason = std::string("cannot be opened: ") + std::strerror(error);
        }
        return Status::REFUSED;
    }
    const std::string problem = CheckOpened(fd);
    if (!problem.empty()) {
        close(fd);
        *reason = problem;
        return Status::REFUSED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        *reason = error == EWOULDBLOCK ? std::string("is locked by another process")
                                       : std::string("cannot be locked: ") + std::strerror(error);
        return error == EWOULDBLOCK ? Status::BUSY : Status::REFUSED;
    }
    mFd = fd;
    return Status::ACQUIRED;
}

std::vector<PrivateDirectory::Entry> PrivateDirectory::List() const {
    std::vector<Entry> entries;
    if (mFd == -1) {
        return entries;
    }
    // fdopendir takes the descriptor over; a duplicate keeps the lock's own one open.
    const int fd = openat(mFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd == -1 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd != -1) close(fd);
        return entries;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat st {};
        if (fstatat(mFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;  // gone meanwhile
        }
        entries.push_back(Entry{name, KindOf(st.st_mode)});
    }
    closedir(dir);
    return entries;
}

bool PrivateDirectory::RestrictFile(const std::string& name, uint32_t allowed) const {
    if (mFd == -1) {
        return false;
    }
    const int fd = openat(mFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    struct stat st {};
    const bool done = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      ((st.st_mode & 07777 & ~allowed) == 0 ||
                       fchmod(fd, static_cast<mode_t>(st.st_mode & 07777 & allowed)) == 0);
    close(fd);
    return done;
}

}  // namespace Platform
