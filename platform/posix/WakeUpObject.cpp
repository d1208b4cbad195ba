// POSIX side of WakeUpObject: a file in /dev/shm under the partition library's access rules, and
// a futex on the word the writer changes.
#include "platform/WakeUpObject.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace Platform {
namespace {

const char* const SHM_DIRECTORY = "/dev/shm/";
constexpr mode_t AREA_MODE = 0644;
constexpr uint32_t US_PER_SECOND = 1000000;
constexpr long NS_PER_US = 1000;

// The partition library's rules: a regular file owned by root or the calling effective user,
// not writable by others.
bool Acceptable(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) &&
           (st.st_mode & S_IWOTH) == 0;
}

// Why path (status st, from lstat) is refused, and what to do.
std::string Refusal(const std::string& path, const struct stat& st) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string what;
    if (S_ISLNK(st.st_mode)) {
        what = path + " is a symbolic link";
    } else if (!S_ISREG(st.st_mode)) {
        what = path + " is not a regular file";
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        what = path + " is owned by uid " + std::to_string(st.st_uid) + ", not by root or uid " +
               std::to_string(geteuid()) + " (mode " + mode + ")";
    } else {
        what = path + " is writable by every user (mode " + mode + ")";
    }
    return what + "; remove it so that the next start can make its own";
}

// Whether path leads to the object device/inode now (lstat: a link is not followed).
bool Leads(const std::string& path, uint64_t device, uint64_t inode) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == device &&
           static_cast<uint64_t>(st.st_ino) == inode;
}

std::string SystemFailure(const char* step, const std::string& path, int error) {
    return std::string("cannot ") + step + " " + path + ": " + std::strerror(error);
}

}  // namespace

WakeUpObject::~WakeUpObject() { Close(); }

WakeUpObject::Status WakeUpObject::Create(const std::string& name, std::string* reason) {
    Close();
    std::string why;
    const std::string path = SHM_DIRECTORY + name;
    // A new object first; O_EXCL fails on anything already there, a link included.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, AREA_MODE);
    struct stat st {};
    Status status = Status::READY;
    if (fd < 0 && errno == EEXIST) {
        // Left by an earlier owner, or planted: used only under the rules.
        fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        const int error = errno;
        if (fd < 0 || fstat(fd, &st) != 0 || !Acceptable(st)) {
            struct stat seen {};
            if (lstat(path.c_str(), &seen) == 0 && !Acceptable(seen)) {
                status = Status::REFUSED;
                why = Refusal(path, seen);
            } else {
                status = Status::FAILED;
                why = SystemFailure("open", path, fd < 0 ? error : EACCES);
            }
        }
    } else if (fd < 0) {
        status = Status::FAILED;
        why = SystemFailure("create", path, errno);
    }
    // The mode is part of the rules, whatever the umask; a short file gets its area.
    if (status == Status::READY &&
        (fchmod(fd, AREA_MODE) != 0 || fstat(fd, &st) != 0 ||
         (st.st_size < static_cast<off_t>(AREA_SIZE) && ftruncate(fd, AREA_SIZE) != 0))) {
        status = Status::FAILED;
        why = SystemFailure("set up", path, errno);
    }
    void* area = MAP_FAILED;
    if (status == Status::READY) {
        area = mmap(nullptr, AREA_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (area == MAP_FAILED) {
            status = Status::FAILED;
            why = SystemFailure("map", path, errno);
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    if (status != Status::READY) {
        if (reason != nullptr) {
            *reason = why;
        }
        return status;
    }
    mArea = static_cast<uint8_t*>(area);
    mOwner = true;
    mPath = path;
    mDevice = static_cast<uint64_t>(st.st_dev);
    mInode = static_cast<uint64_t>(st.st_ino);
    return Status::READY;
}

WakeUpObject::Status WakeUpObject::Open(const std::string& name) {
    Close();
    const std::string path = SHM_DIRECTORY + name;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Status::MISSING
                               : (errno == ELOOP ? Status::REFUSED : Status::FAILED);
    }
    struct stat st {};
    Status status = Status::READY;
    if (fstat(fd, &st) != 0) {
        status = Status::FAILED;
    } else if (!Acceptable(st)) {
        status = Status::REFUSED;
    } else if (st.st_size < static_cast<off_t>(AREA_SIZE)) {
        status = Status::FAILED;  // not (yet) an area: its owner is still setting it up
    }
    void* area = MAP_FAILED;
    if (status == Status::READY) {
        area = mmap(nullptr, AREA_SIZE, PROT_READ, MAP_SHARED, fd, 0);
        if (area == MAP_FAILED) {
            status = Status::FAILED;
        }
    }
    close(fd);
    if (status != Status::READY) {
        return status;
    }
    mArea = static_cast<uint8_t*>(area);
    mOwner = false;
    mPath = path;
    mDevice = static_cast<uint64_t>(st.st_dev);
    mInode = static_cast<uint64_t>(st.st_ino);
    return Status::READY;
}

void WakeUpObject::Close() {
    if (mArea == nullptr) {
        return;
    }
    munmap(mArea, AREA_SIZE);
    mArea = nullptr;
    // Removed only while the name leads to the object made: never one that took its place.
    if (mOwner && Leads(mPath, mDevice, mInode)) {
        unlink(mPath.c_str());
    }
    mOwner = false;
}

bool WakeUpObject::StillBehindName() const {
    return mArea != nullptr && Leads(mPath, mDevice, mInode);
}

void WakeUpObject::Wait(const uint32_t* word, uint32_t expected, uint32_t timeoutUs) const {
    if (mArea == nullptr) {
        return;
    }
    struct timespec timeout {};
    timeout.tv_sec = static_cast<time_t>(timeoutUs / US_PER_SECOND);
    timeout.tv_nsec = static_cast<long>(timeoutUs % US_PER_SECOND) * NS_PER_US;
    // Not a private futex: the word lies in memory that other processes map. Ends on a wake-up,
    // at the time-out, at once when the word changed already (EAGAIN), or on a signal.
    syscall(SYS_futex, const_cast<uint32_t*>(word), FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void WakeUpObject::Wake(const uint32_t* word) const {
    if (mArea == nullptr) {
        return;
    }
    syscall(SYS_futex, const_cast<uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

}  // namespace Platform
