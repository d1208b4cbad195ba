// PrivateDirectory: a directory that one process uses alone, on a host that other users share.
//
// Acquire opens the directory without following a link and checks the opened directory itself
// (not the name, which could be swapped between a check and a use): on POSIX it must be a
// directory owned by the effective user, with no write bit for its group or others, that the
// user can write and search. It then holds an exclusive lock on it for the object's life, so
// that a second process doing the same is refused. Once acquired, nobody but its owner (and
// root) can add, rename or remove entries in it, and in a sticky parent such as /tmp nobody else
// can replace it; paths below it can then be used as they are.
//
// On Windows the lock is a file in the directory opened without sharing (deleted when the
// process ends); ownership and modes are the system's access rules there and are not checked.
//
// Used by one thread. The lock ends when the object is destroyed or the process ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

class PrivateDirectory {
public:
    enum class Status {
        ACQUIRED,  // checked and locked
        MISSING,   // no entry of that name (only when create is false)
        REFUSED,   // exists but is not safe to use, or cannot be created or opened
        BUSY,      // safe, but another process holds the lock
    };

    enum class EntryKind { REGULAR, DIRECTORY, SYMBOLIC_LINK, FIFO, OTHER };

    struct Entry {
        std::string name;
        EntryKind kind;  // of the entry itself, a link not followed
    };

    PrivateDirectory() = default;
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    // Opens, checks and locks path. create: when there is no such entry, make the directory
    // (mode 0750) first; one made by someone else meanwhile is checked like any other. On
    // REFUSED and BUSY, *reason completes the sentence '<what> "<path>" <reason>' with what is
    // wrong and what the operator can do, e.g. "is owned by uid 65534; remove it, or create it
    // as root with mode 0750". Nothing in the directory is touched. Call once per object.
    Status Acquire(const std::string& path, bool create, std::string* reason);

    // The entries of the acquired directory ("." and ".." left out), in listing order. Empty
    // when it cannot be read.
    std::vector<Entry> List() const;

    // Clears the permission bits outside allowed of the regular file name in the acquired
    // directory (never adds one); never follows a link and never blocks on a FIFO. False
    // (nothing changed) when name is not a regular file or the change fails. Does nothing and
    // returns true on Windows.
    bool RestrictFile(const std::string& name, uint32_t allowed) const;

private:
#ifdef _WIN32
    void* mLock = nullptr;  // HANDLE of the lock file
    std::string mPath;
#else
    int mFd = -1;
#endif
};

}  // namespace Platform
