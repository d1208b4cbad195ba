// QueueWakeUp: the wake-up beside a partition's trace queue. The queue's reader owns it and
// waits on it once the queue has been empty for a while; a writer signals it when a write makes
// the queue non-empty, so that a burst after any silence finds the reader awake within
// microseconds instead of at the end of its polling pause. The queue's bytes and the reader's
// protocol do not change: the wake-up is an object of its own (Platform::WakeUpObject) named
// after the partition, "plixtrace.wake.<prefix><partition>" (the prefix is the partition
// library's: RTH_SHM_PREFIX, or "rth."), created by the reader under the partition objects'
// ownership rules and removed at its end. Its area (VWakeUpArea) is written by the reader alone.
//
// The handshake loses no wake-up: the reader stores readerWaits = 1, then (full fence) loads
// the queue's write offset and waits only while it still equals its read offset; the writer
// stores the write offset, then (full fence) loads readerWaits and wakes the reader only when it
// is set. One of the two always sees the other's store, and a wake-up that comes before the
// wait ends it at once (POSIX: the futex word is the queue's write offset, which the writer has
// changed; Windows: the event stays set). The reader clears readerWaits after each wait.
//
// The writer decides by the read offset it loaded before writing ("the queue was empty"): a
// reader that took the queue's last record in the moment between that load and the write's
// publication, and went to wait right after, would miss this one wake-up. The reader therefore
// waits only after the queue has been empty for a while (see IdlePacer): that moment would have
// to last as long; its pause then still ends at its time-out.
//
// Hostile or broken use changes nothing that matters: a missing, refused or foreign object
// means polling as without it; a wake-up without records costs the reader one empty pass; a
// reader that ended while waiting leaves readerWaits set, which costs a writer one system call
// per write that finds the queue empty (with nobody reading, once at most).
//
// Cost to a writer: one comparison per write; for a write that makes the queue non-empty, a
// fence and one load of the area; a system call only when the reader waits. Once a second (on
// writes) it looks whether the name still leads to the object it opened, and opens it anew
// when the reader was started again.
//
// One thread per object; not copied. The object is closed (the reader's removed) on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "oscom/VSharedMemoryQueue.h"
#include "platform/WakeUpObject.h"

namespace ZulOsCom {

// The wake-up object's area, little-endian, written by the reader alone.
struct VWakeUpArea {
    uint32_t magic;        // WAKE_UP_MAGIC once the reader has set the area up
    uint32_t version;      // WAKE_UP_VERSION
    uint32_t readerWaits;  // 1 while the reader waits (or is about to), else 0
    uint8_t reserved[52];
};
static_assert(sizeof(VWakeUpArea) == Platform::WakeUpObject::AREA_SIZE);
static_assert(offsetof(VWakeUpArea, magic) == 0);
static_assert(offsetof(VWakeUpArea, version) == 4);
static_assert(offsetof(VWakeUpArea, readerWaits) == 8);
static_assert(std::is_standard_layout_v<VWakeUpArea>);

constexpr uint32_t WAKE_UP_MAGIC = 0x55575850u;  // "PXWU"
constexpr uint32_t WAKE_UP_VERSION = 1;

class QueueWakeUp {
public:
    using Status = Platform::WakeUpObject::Status;

    QueueWakeUp() = default;
    QueueWakeUp(const QueueWakeUp&) = delete;
    QueueWakeUp& operator=(const QueueWakeUp&) = delete;

    // The object's name for partition (see above).
    static std::string ObjectName(const char* partition);

    // The reader: creates the wake-up of partition (or takes over one that an earlier reader
    // left) and sets its area up. On REFUSED or FAILED, *reason says why, and the reader polls.
    Status Create(const char* partition, std::string* reason);

    // The reader: waits up to us microseconds for a writer to publish into queue (the attached
    // queue of the partition; its memory stays mapped meanwhile), or returns at once when the
    // queue holds records. Not created: returns at once.
    void WaitForRecords(const VSharedMemoryQueue* queue, uint32_t us);

    // The writer: opens the wake-up of partition when there is one (set up by a reader and
    // accepted by the rules); without one, writes go on as without a reader to wake, and
    // Follow tries again.
    void Open(const char* partition);

    // The writer, about once a second: opens the wake-up again when its name no longer leads to
    // the object opened (a reader started anew) or when none was open.
    void Follow();

    // The writer, after publishing a write into queue when the queue was empty as the writer saw
    // it: wakes the reader if it waits. Nothing without a wake-up object.
    void WakeReader(const VSharedMemoryQueue* queue) const {
        if (mArea != nullptr) {
            WakeWaitingReader(queue);
        }
    }

    // Open (the reader's: created and set up; the writer's: opened and found set up).
    bool Ready() const { return mArea != nullptr; }

    // Gives the object up (the reader's is removed).
    void Close();

private:
    void WakeWaitingReader(const VSharedMemoryQueue* queue) const;

    Platform::WakeUpObject mObject;
    VWakeUpArea* mArea = nullptr;  // while Ready
    std::string mName;             // the object's name (the writer's, for Follow)
};

}  // namespace ZulOsCom
