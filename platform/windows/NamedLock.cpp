// Windows side of NamedLock: a named mutex in the global namespace, used for its existence
// only (never waited on or owned), so that the lock belongs to no thread and ends with the last
// handle, which the system closes when the process ends.
#include "platform/NamedLock.h"

#include <windows.h>

namespace Platform {

NamedLock::~NamedLock() { Release(); }

NamedLock::Status NamedLock::Take(const std::string& name, std::string* reason) {
    Release();
    const std::string objectName = "Global\\" + name;
    HANDLE handle = CreateMutexA(nullptr, FALSE, objectName.c_str());
    const DWORD error = GetLastError();
    if (handle != nullptr && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(handle);
        return Status::BUSY;
    }
    if (handle == nullptr) {
        // An object of that name that this process may not open is another holder's.
        if (error == ERROR_ACCESS_DENIED) {
            return Status::BUSY;
        }
        *reason = "cannot create the named object " + objectName + " (error " +
                  std::to_string(error) + ")";
        return Status::FAILED;
    }
    mHandle = handle;
    return Status::HELD;
}

void NamedLock::Release() {
    if (mHandle != nullptr) {
        CloseHandle(static_cast<HANDLE>(mHandle));
        mHandle = nullptr;
    }
}

}  // namespace Platform
