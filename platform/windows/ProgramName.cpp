// Windows side of ProgramName: the file name of the process's executable (GetModuleFileName),
// without its directory and its ".exe".
#include "platform/ProgramName.h"

#include <windows.h>

#include <cstring>

namespace Platform {
namespace {

char sName[MAX_PATH + 1];

// Fills sName once; the fatal path then reads it without calling the system.
const char* FindName() {
    char path[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return "?";
    }
    path[n] = '\0';
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    size_t length = std::strlen(name);
    if (length > 4 && _stricmp(name + length - 4, ".exe") == 0) {
        length -= 4;
    }
    if (length == 0) {
        return "?";
    }
    std::memcpy(sName, name, length);
    sName[length] = '\0';
    return sName;
}

const char* const sShort = FindName();

}  // namespace

const char* ProgramName::Short() { return sShort != nullptr ? sShort : FindName(); }

}  // namespace Platform
