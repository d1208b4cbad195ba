// Windows side of FileIdentity: the volume serial number and file index of a handle opened for
// the file's attributes only (no read or write access, every sharing mode).
#include "platform/FileIdentity.h"

#include <windows.h>

namespace Platform {

bool FileIdentity::Of(const std::string& path, FileIdentity* identity) {
    HANDLE file = CreateFileA(path.c_str(), 0,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!known) {
        return false;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->object =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    return true;
}

}  // namespace Platform
