// The stand-in partition library over POSIX shared memory. Partition NAME is the object
// "/<prefix>NAME" (prefix "rth." unless RTH_SHM_PREFIX is set). Handles are indexes into a
// process-local table of mappings, guarded by a mutex.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"

namespace {

struct Mapping {
    void* address = nullptr;
    size_t length = 0;
};

std::mutex sMutex;
std::vector<Mapping> sMappings;  // index = handle; address null = free slot

std::string Prefix() {
    const char* prefix = std::getenv("RTH_SHM_PREFIX");
    return prefix != nullptr ? prefix : "rth.";
}

bool NameUsable(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return false;
    }
    size_t len = std::strlen(name);
    return len <= NAME_MAX - 16 && std::strchr(name, '/') == nullptr;
}

std::string ObjectName(const char* name) { return "/" + Prefix() + name; }

// Size of an open object, or -1.
long long ObjectSize(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return -1;
    }
    return static_cast<long long>(st.st_size);
}

}  // namespace

extern "C" {

uint32_t shmSizeGet(const char* name) {
    if (!NameUsable(name)) {
        return 0;
    }
    int fd = shm_open(ObjectName(name).c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return 0;
    }
    long long size = ObjectSize(fd);
    close(fd);
    return (size > 0 && size <= UINT32_MAX) ? static_cast<uint32_t>(size) : 0;
}

int32_t shmOpen(const char* name, int32_t /*mode*/, uint32_t* size) {
    if (!NameUsable(name) || size == nullptr) {
        return SHM_KEY_INVALID;
    }
    int fd = shm_open(ObjectName(name).c_str(), O_RDWR, 0);
    if (fd < 0) {
        return SHM_KEY_INVALID;
    }
    long long length = ObjectSize(fd);
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

    std::lock_guard<std::mutex> lock(sMutex);
    size_t slot = 0;
    while (slot < sMappings.size() && sMappings[slot].address != nullptr) {
        ++slot;
    }
    if (slot == sMappings.size()) {
        if (slot >= INT32_MAX) {
            munmap(address, static_cast<size_t>(length));
            return SHM_KEY_INVALID;
        }
        sMappings.emplace_back();
    }
    sMappings[slot] = Mapping{address, static_cast<size_t>(length)};
    *size = static_cast<uint32_t>(length);
    return static_cast<int32_t>(slot);
}

void* shmAddrGet(int32_t handle) {
    std::lock_guard<std::mutex> lock(sMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= sMappings.size()) {
        return nullptr;
    }
    return sMappings[static_cast<size_t>(handle)].address;
}

int32_t shmClose(int32_t handle) {
    std::lock_guard<std::mutex> lock(sMutex);
    if (handle < 0 || static_cast<size_t>(handle) >= sMappings.size() ||
        sMappings[static_cast<size_t>(handle)].address == nullptr) {
        return -1;
    }
    Mapping& m = sMappings[static_cast<size_t>(handle)];
    munmap(m.address, m.length);
    m = Mapping{};
    return 0;
}

int32_t shmCleanup(const char* /*name*/) {
    // Nothing to recover: a POSIX object is either there or not.
    return 0;
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
    DIR* dir = opendir("/dev/shm");
    if (dir == nullptr) {
        return RTH_SYSTEM;
    }
    std::vector<std::pair<std::string, uint64_t>> found;
    while (dirent* entry = readdir(dir)) {
        std::string file = entry->d_name;
        if (file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        struct stat st {};
        std::string path = "/dev/shm/" + file;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
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
