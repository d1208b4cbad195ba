// Helpers of the tests that put hostile objects where partitions live (/dev/shm): removing
// every object under a test's prefix whatever its kind, and making an object as another user.
// POSIX only; the tests run as root.
#pragma once

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace PlixTest {

// Removes every entry /dev/shm/<prefix>* (files, FIFOs, links, empty directories) without
// following links, whatever the partition library thinks of them, and the readers' wake-up
// objects of those partitions (/dev/shm/plixtrace.wake.<prefix>*).
inline void RemoveShmObjects(const std::string& prefix) {
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) return;
    const std::string wakeUps = "plixtrace.wake." + prefix;
    while (dirent* entry = readdir(dir)) {
        const std::string file = entry->d_name;
        if (file.compare(0, prefix.size(), prefix) == 0 ||
            file.compare(0, wakeUps.size(), wakeUps) == 0) {
            const std::string path = "/dev/shm/" + file;
            if (unlink(path.c_str()) != 0) rmdir(path.c_str());
        }
    }
    closedir(dir);
}

// How the partition library names the owner of objects this process creates: "uid 0 (root)".
inline std::string MyOwnerText() {
    const passwd* me = getpwuid(geteuid());
    return "uid " + std::to_string(geteuid()) +
           (me != nullptr ? std::string(" (") + me->pw_name + ")" : std::string());
}

// Creates path as user nobody (group nogroup, no other groups): size zero bytes, then the
// permission bits given in octal ("0660"). Empty on success, else why it could not be made
// (the caller skips its test then).
inline std::string CreateAsNobody(const std::string& path, unsigned size, const std::string& mode) {
    if (geteuid() != 0) {
        return "only root can create an object as another user";
    }
    if (getpwnam("nobody") == nullptr || getgrnam("nogroup") == nullptr) {
        return "no user nobody or group nogroup on this machine";
    }
    const std::string command =
        "setpriv --reuid=nobody --regid=nogroup --clear-groups sh -c 'umask 077 && head -c " +
        std::to_string(size) + " /dev/zero > " + path + " && chmod " + mode + " " + path +
        "' 2>/dev/null";
    const int status = std::system(command.c_str());
    struct stat st {};
    if (status != 0 || lstat(path.c_str(), &st) != 0 || st.st_uid != getpwnam("nobody")->pw_uid) {
        return "cannot create an object as nobody with setpriv (status " + std::to_string(status) +
               ")";
    }
    return "";
}

}  // namespace PlixTest
