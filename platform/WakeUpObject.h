// WakeUpObject: a small named object through which a process that writes into shared memory
// wakes a process that waits for it. The waiting side owns the object (creates it, removes it);
// the writing side opens it to see, in the object's area, whether anybody waits, so that it
// calls the system only then. What the area holds is the caller's; this class maps it and
// carries the wait and the wake-up.
//
//   POSIX: the area is the file /dev/shm/<name> (AREA_SIZE bytes), created by its owner with
//   mode 0644 (its owner writes it, every writer may read it; a group or others never write
//   it). Like a partition object, an existing one is used only when it is a regular file owned
//   by root or the calling user and not writable by others, opened without following a link or
//   blocking; an owner takes over such a file left by an earlier owner that ended without
//   removing it. The wait is a futex on a 32-bit word of a shared mapping that both processes
//   map (the writer changes the word, then wakes): a wake-up that comes before the wait finds
//   the word changed and is never lost.
//   Windows: the area is a named mapping "Global\<name>" and the wake-up a named auto-reset
//   event "Global\<name>.event"; both live while any process holds a handle, so an owner that
//   finds them still held by a writer takes them over. A wake-up that comes before the wait
//   leaves the event set. Windows keeps its own access model here (the objects' default
//   security); creating a global mapping needs the right to create global objects.
//
// Limit (as for partitions): the area's owner truncating the file while it is mapped would
// raise SIGBUS in an opener; nobody else can.
//
// One thread per object; Wait, Wake and Area may be used from the thread that owns the object.
// Objects are not copied; the destructor closes (an owner removes the object).
#pragma once

#include <cstdint>
#include <string>

namespace Platform {

class WakeUpObject {
public:
    // Bytes of the area.
    static constexpr uint32_t AREA_SIZE = 64;

    enum class Status {
        READY,    // open
        MISSING,  // no object of that name (Open)
        REFUSED,  // an object of that name that the rules refuse (another user's, writable by
                  // others, a link, not a regular file): not used
        FAILED,   // the system refused for another reason
    };

    WakeUpObject() = default;
    ~WakeUpObject();
    WakeUpObject(const WakeUpObject&) = delete;
    WakeUpObject& operator=(const WakeUpObject&) = delete;

    // The owner's side: creates object name (a file name: no '/'; or takes over one of an
    // earlier owner, see above) and maps its area read-write. The area holds zeros when created;
    // taken over, what the earlier owner left. On REFUSED and FAILED, *reason (when not null)
    // says what is wrong and what to do, and nothing is held. An object held before is closed
    // first.
    Status Create(const std::string& name, std::string* reason);

    // The writing side: opens object name, which must exist, and maps its area read-only. READY,
    // MISSING, REFUSED, or FAILED (also for an area shorter than AREA_SIZE). Nothing is held on
    // failure. An object held before is closed first.
    Status Open(const std::string& name);

    // Gives the object up: unmaps the area and closes it. An owner also removes it, on POSIX only
    // while its name still leads to the object it created. Nothing when none is held.
    void Close();

    bool IsOpen() const { return mArea != nullptr; }
    bool Owned() const { return mOwner; }

    // The area, aligned to 64 bytes: writable by the owner, read-only for an opener (a write
    // through it raises SIGSEGV there); null when not open.
    uint8_t* Area() const { return mArea; }

    // Whether name still leads to the object opened: POSIX one lstat, no open; Windows always
    // true (objects live as long as a handle). False when not open.
    bool StillBehindName() const;

    // The owner's wait: returns after about timeoutUs microseconds, or earlier when Wake is
    // called, or at once when *word no longer holds expected (POSIX; on Windows the word is
    // looked at before waiting). word: a 32-bit word of a shared mapping, 4-byte aligned.
    // Returns at once when not open.
    void Wait(const uint32_t* word, uint32_t expected, uint32_t timeoutUs) const;

    // The writing side's wake-up, after it changed *word: wakes the owner waiting on word. One
    // system call; nothing when not open.
    void Wake(const uint32_t* word) const;

private:
    uint8_t* mArea = nullptr;
    bool mOwner = false;
#ifdef _WIN32
    void* mMapping = nullptr;  // HANDLE of the named mapping
    void* mEvent = nullptr;    // HANDLE of the named event
#else
    std::string mPath;
    uint64_t mDevice = 0;  // the object opened or created
    uint64_t mInode = 0;
#endif
};

}  // namespace Platform
