// The stand-in partition library over POSIX shared memory. Partition NAME is the object
// "/<prefix>NAME" (prefix "rth." unless RTH_SHM_PREFIX is set), the file /dev/shm/<prefix>NAME.
// Handles come from the table shared with the Windows stand-in (rth/RthHandleTable.h).
//
// Any local user may create files in /dev/shm, so an existing object is opened only when it is
// a regular file owned by root or by the calling effective user and not writable by others.
// Objects are opened by path with O_NOFOLLOW and O_NONBLOCK (shm_open takes neither), so that
// a link is never followed and a FIFO never waited on, and the opened descriptor is checked
// with fstat, so that nothing can be swapped in between the check and the use.
//
// Role locks (rthPartitionLock) are open-file-description locks on one byte per role of the
// object, each through a descriptor of its own kept in a table of this process: unlike classic
// POSIX record locks they conflict within one process too and do not vanish when another
// descriptor of the object is closed.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "rth/RthAdmin.h"
#include "rth/RthHandleTable.h"
#include "rth/RthLib.h"

namespace {

// Where shm_open keeps its objects.
const char* const SHM_DIRECTORY = "/dev/shm/";

// Longest link target quoted in a reason.
constexpr size_t MAX_QUOTED_TARGET = 120;

// The handles of this process.
Rth::RthHandleTable& Handles() {
    static Rth::RthHandleTable table([](const Rth::RthHandleTable::Mapping& mapping) {
        munmap(mapping.address, mapping.length);
    });
    return table;
}

std::string Prefix() {
    const char* prefix = std::getenv("RTH_SHM_PREFIX");
    return prefix != nullptr ? prefix : "rth.";
}

bool NameUsable(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    size_t len = std::strlen(name);
    // As shm_open, no '/' in the object name: the prefix may not hold one either.
    return len <= NAME_MAX - 16 && std::strchr(name, '/') == nullptr &&
           Prefix().find('/') == std::string::npos;
}

std::string ObjectName(const char* name) { return "/" + Prefix() + name; }

std::string ObjectPath(const char* name) { return SHM_DIRECTORY + Prefix() + name; }

// The access rules: a regular file, owned by root or by the calling effective user, not
// writable by others.
bool Acceptable(const struct stat& st) {
    return S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) &&
           (st.st_mode & S_IWOTH) == 0;
}

// Opens partition name's object (flags O_RDONLY or O_RDWR) when it passes the access rules.
// The descriptor and its status, or -1 with errno set (EACCES when the rules refuse it).
int OpenObject(const char* name, int flags, struct stat* st) {
    int fd = open(ObjectPath(name).c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    int status = fstat(fd, st);
    if (status != 0 || !Acceptable(*st)) {
        int saved = status != 0 ? errno : EACCES;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

// The admin result for an object that OpenObject could not open (error: its errno): absent,
// refused by the access rules, or another failure. errno tells the last.
int32_t OpenFailure(const char* name, int error) {
    struct stat st {};
    if (lstat(ObjectPath(name).c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return RTH_NOT_FOUND;
        }
        errno = error;
        return RTH_SYSTEM;
    }
    // A link (O_NOFOLLOW), a FIFO or another user's object: what the access rules refuse.
    if (!Acceptable(st)) {
        errno = EACCES;
        return RTH_UNSAFE;
    }
    errno = error;
    return RTH_SYSTEM;
}

RthPartitionIdentity IdentityOf(const struct stat& st) {
    return RthPartitionIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                                static_cast<uint64_t>(st.st_size)};
}

// The descriptors that hold this process's role locks; index = lock handle, -1 = free.
struct LockTable {
    std::mutex mutex;
    std::vector<int> descriptors;
};

LockTable& Locks() {
    static LockTable table;
    return table;
}

bool RoleKnown(int32_t role) { return role == RTH_ROLE_READER || role == RTH_ROLE_WRITER; }

// The byte of the object a role locks.
struct flock RoleRange(int32_t role, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = role;
    range.l_len = 1;
    range.l_pid = 0;  // F_OFD_ locks require 0
    return range;
}

// "uid 1000 (alice)", or "uid 1000" when the user database has no name for it.
std::string Owner(uid_t uid) {
    std::string owner = "uid " + std::to_string(uid);
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        owner += std::string(" (") + found->pw_name + ")";
    }
    return owner;
}

// The permission bits in octal: "0660".
std::string Mode(const struct stat& st) {
    char text[16];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

// "a FIFO", "a socket"...: what a file that is not a regular one is.
const char* FileKind(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "of an unknown kind";
}

// What the operator can do about a refused object.
std::string Remedy(const char* name) {
    return std::string("; remove it and recreate it as root (rthpart remove ") + name +
           ", then rthpart create " + name + " SIZE)";
}

// Why an object of status st (from lstat or fstat, at path) is refused.
std::string Refusal(const char* name, const std::string& path, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        ssize_t length = readlink(path.c_str(), target, sizeof target);
        std::string quoted = length < 0 ? "?" : std::string(target, static_cast<size_t>(length));
        if (quoted.size() > MAX_QUOTED_TARGET) {
            quoted = quoted.substr(0, MAX_QUOTED_TARGET) + "...";
        }
        return "is a symbolic link (" + path + " -> " + quoted +
               "), which the library does not follow" + Remedy(name);
    }
    if (S_ISDIR(st.st_mode)) {
        // rthpart remove takes files only.
        return "is not a regular file (" + path + " is a directory); remove it as root (rm -r " +
               path + ") and recreate it (rthpart create " + name + " SIZE)";
    }
    if (!S_ISREG(st.st_mode)) {
        return "is not a regular file (" + path + " is " + FileKind(st.st_mode) + ")" +
               Remedy(name);
    }
    const char* writable = (st.st_mode & S_IWOTH) != 0   ? ", and writable by every user"
                           : (st.st_mode & S_IWGRP) != 0 ? ", and group-writable"
                                                         : "";
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        std::string accepted =
            geteuid() == 0 ? "root" : "root or " + Owner(geteuid()) + " (this process)";
        return "is owned by " + Owner(st.st_uid) + ", not by " + accepted + writable + " (mode " +
               Mode(st) + ")" + Remedy(name);
    }
    return "is writable by every user (mode " + Mode(st) + ", owner " + Owner(st.st_uid) + ")" +
           Remedy(name);
}

// Writes text into the caller's reason buffer (cut, NUL-terminated) and gives code back.
int32_t Explained(int32_t code, const std::string& text, char* reason, uint32_t reasonSize) {
    if (reason != nullptr && reasonSize > 0) {
        size_t length = std::min<size_t>(text.size(), reasonSize - 1);
        std::memcpy(reason, text.data(), length);
        reason[length] = '\0';
    }
    return code;
}

}  // namespace

extern "C" {

uint32_t shmSizeGet(const char* name) {
    if (!NameUsable(name)) {
        return 0;
    }
    struct stat st {};
    int fd = OpenObject(name, O_RDONLY, &st);
    if (fd < 0) {
        return 0;
    }
    close(fd);
    return (st.st_size > 0 && st.st_size <= UINT32_MAX) ? static_cast<uint32_t>(st.st_size) : 0;
}

int32_t shmOpen(const char* name, int32_t /*mode*/, uint32_t* size) {
    if (!NameUsable(name) || size == nullptr) {
        return SHM_KEY_INVALID;
    }
    struct stat st {};
    int fd = OpenObject(name, O_RDWR, &st);
    if (fd < 0) {
        return SHM_KEY_INVALID;
    }
    long long length = st.st_size;
    if (length <= 0 || length > UINT32_MAX) {
        close(fd);
        return SHM_KEY_INVALID;
    }
    void* address =
        mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (address == MAP_FAILED) {
        return SHM_KEY_INVALID;
    }

    return Handles().Add({address, static_cast<size_t>(length)}, size);
}

void* shmAddrGet(int32_t handle) { return Handles().Address(handle); }

int32_t shmClose(int32_t handle) { return Handles().Close(handle); }

int32_t shmCleanup(const char* /*name*/) {
    // Nothing to recover: a POSIX object is either there or not.
    return 0;
}

int32_t rthPartitionExplain(const char* name, char* reason, uint32_t reasonSize) {
    if (!NameUsable(name)) {
        return Explained(RTH_BAD_NAME,
                         "is not a usable partition name (1 to " + std::to_string(NAME_MAX - 16) +
                             " characters, no '/', nor in RTH_SHM_PREFIX)",
                         reason, reasonSize);
    }
    const std::string path = ObjectPath(name);
    struct stat st {};
    // Read-only and non-blocking: examining opens nothing for writing and never waits.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        int status = fstat(fd, &st);
        int saved = errno;
        close(fd);
        if (status != 0) {
            errno = saved;
            return Explained(RTH_SYSTEM,
                             "cannot be examined (" + path + "): " + std::strerror(saved), reason,
                             reasonSize);
        }
    } else {
        // Not opened: a link (ELOOP), a socket (ENXIO), no permission... lstat tells which.
        int saved = errno;
        bool found = saved != ENOENT && lstat(path.c_str(), &st) == 0;
        if (!found && (saved == ENOENT || errno == ENOENT)) {
            errno = ENOENT;
            return Explained(RTH_NOT_FOUND,
                             "does not exist (no " + path +
                                 "); create it as root (rthpart create " + name + " SIZE)",
                             reason, reasonSize);
        }
        if (!found || Acceptable(st)) {
            errno = saved;
            return Explained(RTH_SYSTEM, "cannot be opened (" + path + "): " + std::strerror(saved),
                             reason, reasonSize);
        }
    }
    if (!Acceptable(st)) {
        errno = EACCES;
        return Explained(RTH_UNSAFE, Refusal(name, path, st), reason, reasonSize);
    }
    return Explained(RTH_OK,
                     "exists (owner " + Owner(st.st_uid) + ", mode " + Mode(st) + ", " +
                         std::to_string(static_cast<long long>(st.st_size)) + " bytes)",
                     reason, reasonSize);
}

int32_t rthPartitionIdentify(const char* name, RthPartitionIdentity* identity) {
    if (!NameUsable(name)) {
        return RTH_BAD_NAME;
    }
    if (identity == nullptr) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    // The path's own status: nothing is opened, a link is seen as a link, a FIFO never waited on.
    struct stat st {};
    if (lstat(ObjectPath(name).c_str(), &st) != 0) {
        return errno == ENOENT ? RTH_NOT_FOUND : RTH_SYSTEM;
    }
    if (!Acceptable(st)) {
        errno = EACCES;
        return RTH_UNSAFE;
    }
    *identity = IdentityOf(st);
    return RTH_OK;
}

int32_t rthPartitionLock(const char* name, int32_t role, int32_t* lock,
                         RthPartitionIdentity* identity) {
    if (!NameUsable(name)) {
        return RTH_BAD_NAME;
    }
    if (lock == nullptr || !RoleKnown(role)) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    // A write lock needs a descriptor open for writing.
    struct stat st {};
    const int fd = OpenObject(name, O_RDWR, &st);
    if (fd < 0) {
        return OpenFailure(name, errno);
    }
    struct flock range = RoleRange(role, F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &range) != 0) {
        const int error = errno;
        close(fd);
        if (error == EAGAIN || error == EACCES) {
            return RTH_BUSY;
        }
        errno = error;
        return RTH_SYSTEM;
    }
    LockTable& table = Locks();
    std::lock_guard<std::mutex> guard(table.mutex);
    size_t slot = 0;
    while (slot < table.descriptors.size() && table.descriptors[slot] != -1) {
        ++slot;
    }
    if (slot == table.descriptors.size()) {
        table.descriptors.push_back(-1);
    }
    table.descriptors[slot] = fd;
    *lock = static_cast<int32_t>(slot);
    if (identity != nullptr) {
        *identity = IdentityOf(st);
    }
    return RTH_OK;
}

int32_t rthPartitionUnlock(int32_t lock) {
    LockTable& table = Locks();
    std::lock_guard<std::mutex> guard(table.mutex);
    if (lock < 0 || static_cast<size_t>(lock) >= table.descriptors.size() ||
        table.descriptors[static_cast<size_t>(lock)] == -1) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    // Closing the lock's own descriptor gives the lock back.
    close(table.descriptors[static_cast<size_t>(lock)]);
    table.descriptors[static_cast<size_t>(lock)] = -1;
    return RTH_OK;
}

int32_t rthPartitionProbeLock(const char* name, int32_t role) {
    if (!NameUsable(name)) {
        return RTH_BAD_NAME;
    }
    if (!RoleKnown(role)) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    struct stat st {};
    const int fd = OpenObject(name, O_RDONLY, &st);
    if (fd < 0) {
        return OpenFailure(name, errno);
    }
    struct flock range = RoleRange(role, F_WRLCK);
    const int status = fcntl(fd, F_OFD_GETLK, &range);
    const int error = errno;
    close(fd);
    if (status != 0) {
        errno = error;
        return RTH_SYSTEM;
    }
    return range.l_type == F_UNLCK ? RTH_OK : RTH_BUSY;
}

int32_t rthNameValid(const char* name) {
    return (NameUsable(name) && std::strlen(name) <= RTH_MAX_NAME_LENGTH) ? 1 : 0;
}

int32_t rthPartitionCreate(const char* name, uint32_t size) {
    if (!rthNameValid(name)) {
        return RTH_BAD_NAME;
    }
    if (size == 0) {
        return RTH_BAD_SIZE;
    }
    std::string object = ObjectName(name);
    int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0660);
    if (fd < 0) {
        return errno == EEXIST ? RTH_EXISTS : RTH_SYSTEM;
    }
    // The umask may have taken bits away; the mode is part of the contract.
    if (fchmod(fd, 0660) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        int saved = errno;
        close(fd);
        shm_unlink(object.c_str());
        errno = saved;
        return RTH_SYSTEM;
    }
    close(fd);
    return RTH_OK;
}

int32_t rthPartitionRemove(const char* name) {
    if (!rthNameValid(name)) {
        return RTH_BAD_NAME;
    }
    if (shm_unlink(ObjectName(name).c_str()) != 0) {
        return errno == ENOENT ? RTH_NOT_FOUND : RTH_SYSTEM;
    }
    return RTH_OK;
}

int32_t rthPartitionList(RthPartitionVisitor visit, void* context) {
    std::string prefix = Prefix();
    DIR* dir = opendir(SHM_DIRECTORY);
    if (dir == nullptr) {
        return RTH_SYSTEM;
    }
    std::vector<std::pair<std::string, uint64_t>> found;
    while (dirent* entry = readdir(dir)) {
        std::string file = entry->d_name;
        if (file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        // Links are not followed; what shmOpen would refuse is left out.
        struct stat st {};
        std::string path = SHM_DIRECTORY + file;
        if (lstat(path.c_str(), &st) != 0 || !Acceptable(st)) {
            continue;
        }
        found.emplace_back(file.substr(prefix.size()), static_cast<uint64_t>(st.st_size));
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    for (const auto& [partition, size] : found) {
        visit(partition.c_str(), size, context);
    }
    return RTH_OK;
}

}  // extern "C"
