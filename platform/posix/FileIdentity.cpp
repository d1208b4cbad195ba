// POSIX side of FileIdentity: stat's device and inode.
#include "platform/FileIdentity.h"

#include <sys/stat.h>

namespace Platform {

bool FileIdentity::Of(const std::string& path, FileIdentity* identity) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    identity->volume = static_cast<uint64_t>(st.st_dev);
    identity->object = static_cast<uint64_t>(st.st_ino);
    return true;
}

}  // namespace Platform
