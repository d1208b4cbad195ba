// The stand-in partition library on Windows (libRth.dll). Partition NAME is the file
// "<ProgramData>\rth\<prefix>NAME" (prefix "rth." unless RTH_SHM_PREFIX is set; C:\rth when
// ProgramData is not set), mapped whole with a file mapping. A file outlives the processes that
// map it, and all views of one local file see the same bytes, so processes that open the same
// partition share its memory just as they share a POSIX shared-memory object. Handles come from
// the table shared with the POSIX stand-in (rth/RthHandleTable.h).
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "rth/RthAdmin.h"
#include "rth/RthHandleTable.h"
#include "rth/RthLib.h"

namespace {

// Longest name shmSizeGet and shmOpen accept; the admin calls stop at RTH_MAX_NAME_LENGTH.
constexpr size_t MAX_USABLE_NAME = 200;

// The handles of this process.
Rth::RthHandleTable& Handles() {
    static Rth::RthHandleTable table([](const Rth::RthHandleTable::Mapping& mapping) {
        UnmapViewOfFile(mapping.address);
    });
    return table;
}

std::string Environment(const char* variable, bool* isSet) {
    char value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(variable, value, sizeof value);
    *isSet = length > 0 && length < sizeof value;
    return *isSet ? std::string(value, length) : std::string();
}

std::string PartitionDirectory() {
    bool isSet = false;
    const std::string programData = Environment("ProgramData", &isSet);
    return isSet ? programData + "\\rth" : std::string("C:\\rth");
}

// Characters a file name may hold; anything else could leave the partition directory or
// name a device.
bool FileNameCharacters(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) {
            return false;
        }
    }
    return true;
}

// The prefix, or false when RTH_SHM_PREFIX holds characters no file name may hold.
bool Prefix(std::string* prefix) {
    bool isSet = false;
    std::string value = Environment("RTH_SHM_PREFIX", &isSet);
    *prefix = isSet ? value : "rth.";
    return FileNameCharacters(*prefix);
}

bool NameUsable(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    const std::string text = name;
    // The file system drops a trailing dot or blank, which would make two names one file.
    return text.size() <= MAX_USABLE_NAME && FileNameCharacters(text) && text.back() != '.' &&
           text.back() != ' ';
}

// The partition's file, or false when the name or the prefix is unusable.
bool PartitionFile(const char* name, std::string* path) {
    std::string prefix;
    if (!NameUsable(name) || !Prefix(&prefix)) {
        return false;
    }
    *path = PartitionDirectory() + "\\" + prefix + name;
    return true;
}

// errno for a failure of the system, so that callers can print strerror(errno).
void SetErrnoFrom(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            errno = EACCES;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            errno = ENOSPC;
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            errno = ENOENT;
            break;
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
            errno = EINVAL;
            break;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            errno = ENOMEM;
            break;
        default:
            errno = EIO;
            break;
    }
}

bool FileSize(HANDLE file, uint64_t* size) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(file, &length) || length.QuadPart < 0) {
        return false;
    }
    *size = static_cast<uint64_t>(length.QuadPart);
    return true;
}

// Maps the whole file; null on failure. The view keeps file and mapping alive on its own.
void* MapWholeFile(const std::string& path, uint64_t* size) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    void* address = nullptr;
    if (FileSize(file, size) && *size > 0 && *size <= UINT32_MAX) {
        HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
        if (mapping != nullptr) {
            address = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
            CloseHandle(mapping);
        }
    }
    CloseHandle(file);
    return address;
}

}  // namespace

extern "C" {

uint32_t shmSizeGet(const char* name) {
    std::string path;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!PartitionFile(name, &path) ||
        !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || data.nFileSizeHigh != 0) {
        return 0;
    }
    return data.nFileSizeLow;
}

int32_t shmOpen(const char* name, int32_t /*mode*/, uint32_t* size) {
    std::string path;
    if (size == nullptr || !PartitionFile(name, &path)) {
        return SHM_KEY_INVALID;
    }
    uint64_t length = 0;
    void* address = MapWholeFile(path, &length);
    if (address == nullptr) {
        return SHM_KEY_INVALID;
    }

    return Handles().Add({address, static_cast<size_t>(length)}, size);
}

void* shmAddrGet(int32_t handle) { return Handles().Address(handle); }

int32_t shmClose(int32_t handle) { return Handles().Close(handle); }

int32_t shmCleanup(const char* /*name*/) {
    // Nothing to recover: a partition file is either there or not.
    return 0;
}

int32_t rthPartitionExplain(const char* name, char* reason, uint32_t reasonSize) {
    // Windows has its own access model: this tells only whether the partition file is there.
    std::string path;
    std::string text;
    int32_t code = RTH_OK;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!PartitionFile(name, &path)) {
        code = RTH_BAD_NAME;
        text = "is not a usable partition name (1 to " + std::to_string(MAX_USABLE_NAME) +
               " characters, none of <>:\"/\\|?*, no trailing dot or blank)";
    } else if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        SetErrnoFrom(error);
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            code = RTH_NOT_FOUND;
            text = "does not exist (no " + path + "); create it with rthpart create " +
                   std::string(name) + " SIZE";
        } else {
            code = RTH_SYSTEM;
            text = "cannot be examined (" + path + "): " + std::strerror(errno);
        }
    } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        code = RTH_SYSTEM;
        errno = EISDIR;
        text = "is a directory (" + path + "), not a partition file; remove it";
    } else {
        const uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        text = "exists (" + path + ", " + std::to_string(size) + " bytes)";
    }
    if (reason != nullptr && reasonSize > 0) {
        const size_t length = std::min<size_t>(text.size(), reasonSize - 1);
        std::memcpy(reason, text.data(), length);
        reason[length] = '\0';
    }
    return code;
}

int32_t rthPartitionIdentify(const char* name, RthPartitionIdentity* identity) {
    std::string path;
    if (!PartitionFile(name, &path)) {
        return RTH_BAD_NAME;
    }
    if (identity == nullptr) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    // No read or write access: the file's attributes only; nothing is mapped.
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        SetErrnoFrom(error);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? RTH_NOT_FOUND
                                                                              : RTH_SYSTEM;
    }
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!known) {
        SetErrnoFrom(error);
        return RTH_SYSTEM;
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        errno = EISDIR;
        return RTH_SYSTEM;
    }
    identity->volume = information.dwVolumeSerialNumber;
    identity->object =
        (static_cast<uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity->size =
        (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    return RTH_OK;
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
    std::string path;
    if (!PartitionFile(name, &path)) {
        errno = EINVAL;  // RTH_SHM_PREFIX is no part of a file name
        return RTH_SYSTEM;
    }
    if (!CreateDirectoryA(PartitionDirectory().c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        SetErrnoFrom(GetLastError());
        return RTH_SYSTEM;
    }
    // Access rights are those the partition directory hands down: under ProgramData the
    // creator may write, other users may only read.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            return RTH_EXISTS;
        }
        SetErrnoFrom(error);
        return RTH_SYSTEM;
    }
    // Extending the file fills it with zeros.
    LARGE_INTEGER end;
    end.QuadPart = size;
    if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) {
        const DWORD error = GetLastError();
        CloseHandle(file);
        DeleteFileA(path.c_str());
        SetErrnoFrom(error);
        return RTH_SYSTEM;
    }
    CloseHandle(file);
    return RTH_OK;
}

int32_t rthPartitionRemove(const char* name) {
    if (!rthNameValid(name)) {
        return RTH_BAD_NAME;
    }
    std::string path;
    if (!PartitionFile(name, &path)) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    // A partition that a process still maps cannot be removed on Windows (access denied).
    if (!DeleteFileA(path.c_str())) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return RTH_NOT_FOUND;
        }
        SetErrnoFrom(error);
        return RTH_SYSTEM;
    }
    return RTH_OK;
}

int32_t rthPartitionList(RthPartitionVisitor visit, void* context) {
    std::string prefix;
    if (!Prefix(&prefix)) {
        errno = EINVAL;
        return RTH_SYSTEM;
    }
    const std::string pattern = PartitionDirectory() + "\\*";
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // No directory yet, or an empty one: no partitions.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return RTH_OK;
        }
        SetErrnoFrom(error);
        return RTH_SYSTEM;
    }
    std::vector<std::pair<std::string, uint64_t>> found;
    do {
        const std::string file = entry.cFileName;
        // The file system matches names without regard to case; the prefix is compared exactly.
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const uint64_t size =
            (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        found.emplace_back(file.substr(prefix.size()), size);
    } while (FindNextFileA(search, &entry));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) {
        SetErrnoFrom(error);
        return RTH_SYSTEM;
    }
    std::sort(found.begin(), found.end());
    for (const auto& [partition, size] : found) {
        visit(partition.c_str(), size, context);
    }
    return RTH_OK;
}

}  // extern "C"
