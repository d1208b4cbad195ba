// Windows side of PrivateDirectory: the directory is created when asked (with its missing
// parents), and the lock is a file in it opened without sharing and deleted when its handle
// closes (also when the process ends any other way). Ownership and modes are left to the
// system's access rules.
#include "platform/PrivateDirectory.h"

#include <windows.h>

namespace Platform {
namespace {

// Not a trace log name: the reader's cleanup passes over it.
constexpr const char* LOCK_FILE_NAME = ".plix.lock";

std::string SystemMessage(DWORD error) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error) : message;
}

}  // namespace

PrivateDirectory::~PrivateDirectory() {
    if (mLock != nullptr) {
        CloseHandle(static_cast<HANDLE>(mLock));
    }
}

PrivateDirectory::Status PrivateDirectory::Acquire(const std::string& path, bool create,
                                                   std::string* reason) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!create) {
            return Status::MISSING;
        }
        // Missing parents first (the drive's temporary directory may not exist yet).
        for (size_t at = path.find_first_of("\\/", 3); at != std::string::npos;
             at = path.find_first_of("\\/", at + 1)) {
            CreateDirectoryA(path.substr(0, at).c_str(), nullptr);
        }
        if (!CreateDirectoryA(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            *reason = "cannot be created: " + SystemMessage(GetLastError());
            return Status::REFUSED;
        }
        attributes = GetFileAttributesA(path.c_str());
    }
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *reason = "is not a directory; remove it (the reader creates the directory itself)";
        return Status::REFUSED;
    }
    const std::string lockPath = path + "\\" + LOCK_FILE_NAME;
    HANDLE lock = CreateFileA(lockPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            *reason = "is locked by another process";
            return Status::BUSY;
        }
        *reason = "cannot be locked: " + SystemMessage(error);
        return Status::REFUSED;
    }
    mLock = lock;
    mPath = path;
    return Status::ACQUIRED;
}

std::vector<PrivateDirectory::Entry> PrivateDirectory::List() const {
    std::vector<Entry> entries;
    if (mLock == nullptr) {
        return entries;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((mPath + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return entries;
    }
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") {
            continue;
        }
        EntryKind kind = EntryKind::REGULAR;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            kind = EntryKind::SYMBOLIC_LINK;
        } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            kind = EntryKind::DIRECTORY;
        }
        entries.push_back(Entry{name, kind});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return entries;
}

bool PrivateDirectory::RestrictFile(const std::string&, uint32_t) const { return true; }

}  // namespace Platform
