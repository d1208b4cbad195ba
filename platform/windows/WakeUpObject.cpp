// Windows side of WakeUpObject: a named mapping of the area and a named auto-reset event, both
// in the global namespace, so that processes of every session meet.
#include "platform/WakeUpObject.h"

#include <windows.h>
// After windows.h.
#include <mmsystem.h>

namespace Platform {
namespace {

constexpr uint32_t US_PER_MS = 1000;
// Waits shorter than the default timer period (15.6 ms) raise the timer resolution for the wait
// only, so that they end when asked rather than a whole period later.
constexpr uint32_t TIMER_PERIOD_US = 15625;
constexpr UINT RAISED_TIMER_PERIOD_MS = 1;

std::string MappingName(const std::string& name) { return "Global\\" + name; }
std::string EventName(const std::string& name) { return "Global\\" + name + ".event"; }

}  // namespace

WakeUpObject::~WakeUpObject() { Close(); }

WakeUpObject::Status WakeUpObject::Create(const std::string& name, std::string* reason) {
    Close();
    // Both may exist already, held by a writer that outlived the earlier owner: taken over.
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        AREA_SIZE, MappingName(name).c_str());
    DWORD error = GetLastError();
    HANDLE event = nullptr;
    void* view = nullptr;
    if (mapping != nullptr) {
        event = CreateEventA(nullptr, FALSE, FALSE, EventName(name).c_str());
        error = GetLastError();
    }
    if (event != nullptr) {
        view = MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, AREA_SIZE);
        error = GetLastError();
    }
    if (view == nullptr) {
        if (event != nullptr) CloseHandle(event);
        if (mapping != nullptr) CloseHandle(mapping);
        if (reason != nullptr) {
            *reason = "cannot create the named objects " + MappingName(name) + " (error " +
                      std::to_string(error) + ")";
        }
        return error == ERROR_ACCESS_DENIED ? Status::REFUSED : Status::FAILED;
    }
    mMapping = mapping;
    mEvent = event;
    mArea = static_cast<uint8_t*>(view);
    mOwner = true;
    return Status::READY;
}

WakeUpObject::Status WakeUpObject::Open(const std::string& name) {
    Close();
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, MappingName(name).c_str());
    if (mapping == nullptr) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? Status::MISSING
                                             : (error == ERROR_ACCESS_DENIED ? Status::REFUSED
                                                                             : Status::FAILED);
    }
    HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, EventName(name).c_str());
    void* view = event != nullptr ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, AREA_SIZE)
                                  : nullptr;
    if (view == nullptr) {
        if (event != nullptr) CloseHandle(event);
        CloseHandle(mapping);
        return Status::FAILED;
    }
    mMapping = mapping;
    mEvent = event;
    mArea = static_cast<uint8_t*>(view);
    mOwner = false;
    return Status::READY;
}

void WakeUpObject::Close() {
    if (mArea == nullptr) {
        return;
    }
    // The objects end with their last handle: nothing to remove.
    UnmapViewOfFile(mArea);
    CloseHandle(static_cast<HANDLE>(mEvent));
    CloseHandle(static_cast<HANDLE>(mMapping));
    mArea = nullptr;
    mEvent = nullptr;
    mMapping = nullptr;
    mOwner = false;
}

bool WakeUpObject::StillBehindName() const { return mArea != nullptr; }

void WakeUpObject::Wait(const uint32_t* word, uint32_t expected, uint32_t timeoutUs) const {
    if (mArea == nullptr || __atomic_load_n(word, __ATOMIC_ACQUIRE) != expected) {
        return;
    }
    const DWORD ms = (timeoutUs + US_PER_MS - 1) / US_PER_MS;
    const bool raise = timeoutUs < TIMER_PERIOD_US &&
                       timeBeginPeriod(RAISED_TIMER_PERIOD_MS) == TIMERR_NOERROR;
    WaitForSingleObject(static_cast<HANDLE>(mEvent), ms);
    if (raise) {
        timeEndPeriod(RAISED_TIMER_PERIOD_MS);
    }
}

void WakeUpObject::Wake(const uint32_t*) const {
    if (mArea != nullptr) {
        SetEvent(static_cast<HANDLE>(mEvent));
    }
}

}  // namespace Platform
