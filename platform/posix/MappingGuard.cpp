// POSIX side of MappingGuard: a SIGBUS handler (sigaction, SA_SIGINFO) that lays private zero
// pages over the watched range when the fault lies inside it.
//
// The handler uses only lock-free atomics and the system calls mmap, sigaction and raise (on
// Linux, glibc's mmap is the bare system call). The watched range is published under a
// sequence counter: Watch and Unwatch make it odd while they write, and the handler reads
// begin and end again until it has seen an even, unchanged counter, so that it never combines
// the begin of one range with the end of another.
#include "platform/MappingGuard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

namespace Platform {
namespace {

std::atomic<uint32_t> sSequence{0};  // odd while the range is being written
std::atomic<uintptr_t> sBegin{0};    // watched pages [sBegin, sEnd); equal: nothing watched
std::atomic<uintptr_t> sEnd{0};
std::atomic<bool> sLost{false};

static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uintptr_t>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

std::mutex sWriteMutex;  // serialises writers of the range and the installation
bool sInstallTried = false;  // under sWriteMutex
bool sInstalled = false;     // under sWriteMutex

void StoreRange(uintptr_t begin, uintptr_t end) {
    sSequence.fetch_add(1);  // odd: a reader retries
    sBegin.store(begin);
    sEnd.store(end);
    sSequence.fetch_add(1);  // even again
}

// The range as one consistent pair. A writer never faults inside the range while it writes,
// so the wait lasts only as long as another thread takes to finish two stores.
void LoadRange(uintptr_t& begin, uintptr_t& end) {
    for (;;) {
        const uint32_t before = sSequence.load();
        if (before % 2 != 0) {
            continue;
        }
        begin = sBegin.load();
        end = sEnd.load();
        if (sSequence.load() == before) {
            return;
        }
    }
}

// Lays zero pages over the watched range when the fault lies inside it; true when it did.
bool ReplaceWatchedRange(const siginfo_t* info) {
    // A signal sent by a process (kill, raise, sigqueue) carries no fault address.
    if (info == nullptr || info->si_code <= 0) {
        return false;
    }
    uintptr_t begin = 0;
    uintptr_t end = 0;
    LoadRange(begin, end);
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    if (address < begin || address >= end) {
        return false;
    }
    void* zeros = mmap(reinterpret_cast<void*>(begin), end - begin, PROT_READ | PROT_WRITE,
                       MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (zeros == MAP_FAILED) {
        return false;
    }
    sLost.store(true);
    return true;
}

void OnBusError(int signalNumber, siginfo_t* info, void*) {
    const int savedErrno = errno;
    if (!ReplaceWatchedRange(info)) {
        // The default action: SIGBUS is blocked while this handler runs, so the signal raised
        // here is delivered, and ends the process, as soon as the handler returns.
        struct sigaction defaultAction {};
        defaultAction.sa_handler = SIG_DFL;
        sigemptyset(&defaultAction.sa_mask);
        sigaction(signalNumber, &defaultAction, nullptr);
        raise(signalNumber);
    }
    // Returning runs the faulting access again, over the zero pages.
    errno = savedErrno;
}

uintptr_t PageSize() {
    static const uintptr_t size = [] {
        const long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? static_cast<uintptr_t>(s) : static_cast<uintptr_t>(4096);
    }();
    return size;
}

}  // namespace

bool MappingGuard::Install() {
    std::lock_guard<std::mutex> lock(sWriteMutex);
    if (!sInstallTried) {
        sInstallTried = true;
        PageSize();  // computed here, never in the handler
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO;
        sigfillset(&action.sa_mask);
        sInstalled = sigaction(SIGBUS, &action, nullptr) == 0;
    }
    return sInstalled;
}

void MappingGuard::Watch(const void* base, size_t length) {
    std::lock_guard<std::mutex> lock(sWriteMutex);
    const uintptr_t page = PageSize();
    const auto address = reinterpret_cast<uintptr_t>(base);
    if (base == nullptr || length == 0 || length > UINTPTR_MAX - address - page) {
        StoreRange(0, 0);
    } else {
        const uintptr_t begin = address - address % page;
        const uintptr_t end = (address + length + page - 1) / page * page;
        StoreRange(begin, end);
    }
    sLost.store(false);
}

void MappingGuard::Unwatch() {
    std::lock_guard<std::mutex> lock(sWriteMutex);
    StoreRange(0, 0);
}

void MappingGuard::Unwatch(const void* base) {
    std::lock_guard<std::mutex> lock(sWriteMutex);
    const auto address = reinterpret_cast<uintptr_t>(base);
    if (base != nullptr && sBegin.load() == address - address % PageSize() &&
        sEnd.load() != sBegin.load()) {
        StoreRange(0, 0);
    }
}

bool MappingGuard::Lost() { return sLost.load(); }

}  // namespace Platform
