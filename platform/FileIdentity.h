// FileIdentity: which file a path leads to now (POSIX: device and inode; Windows: the volume's
// serial number and the file index), so that a process that keeps a file open can tell, once
// in a while, whether the file is still there under its name.
//
// Any thread; holds no resources.
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

class FileIdentity {
public:
    uint64_t volume = 0;
    uint64_t object = 0;

    bool operator==(const FileIdentity&) const = default;

    // The identity of the file path leads to (a link is followed), or false when there is none
    // (removed, or the path cannot be examined).
    static bool Of(const std::string& path, FileIdentity* identity);
};

}  // namespace Platform
