// The writer library's C interface (include/plixtrace/plixwriter.h) over the writing core
// (WriterPartition, QueueWriter). Every entry point catches everything: no exception leaves
// the library, and nothing here logs, asserts or ends the process.
#include <cstring>
#include <memory>
#include <new>

#include "oscom/QueueWakeUp.h"
#include "plixtrace/plixwriter.h"
#include "writer/QueueWriter.h"
#include "writer/WriterPartition.h"

// The object behind the C handle: the partition and the reader's wake-up first, so that they
// outlive the queue writer that points to them.
struct plixw_writer {
    WriterPartition partition;
    ZulOsCom::QueueWakeUp wakeUp;
    std::unique_ptr<QueueWriter> queue;
    QueueWriter::WhenFull whenFull{/*drop=*/true, /*timeoutMs=*/0};
};

namespace {

constexpr size_t MAX_NAME_LENGTH = 31;  // what the partition's header holds

int FromOpenStatus(WriterPartition::Status status) {
    switch (status) {
        case WriterPartition::Status::OK:
            return PLIXW_OK;
        case WriterPartition::Status::NO_PARTITION:
            return PLIXW_E_NO_PARTITION;
        case WriterPartition::Status::TOO_SMALL:
            return PLIXW_E_TOO_SMALL;
        case WriterPartition::Status::NOT_SET_UP:
            return PLIXW_E_NOT_SET_UP;
        case WriterPartition::Status::BROKEN:
            return PLIXW_E_BROKEN;
        case WriterPartition::Status::OPEN_FAILED:
            return PLIXW_E_OPEN;
        case WriterPartition::Status::CHANGED:
            return PLIXW_E_BUSY;
        case WriterPartition::Status::WRITER_BUSY:
            return PLIXW_E_OTHER_WRITER;
        case WriterPartition::Status::READER_HOLDS:
            return PLIXW_E_READER_ATTACHED;
    }
    return PLIXW_E_OPEN;
}

}  // namespace

extern "C" {

int plixw_open(const char* name, uint32_t flags, plixw_writer** writer) {
    if (writer == nullptr) {
        return PLIXW_E_ARGUMENT;
    }
    *writer = nullptr;
    if (name == nullptr || (flags & ~PLIXW_OPEN_INIT) != 0) {
        return PLIXW_E_ARGUMENT;
    }
    size_t length = strnlen(name, MAX_NAME_LENGTH + 1);
    if (length == 0 || length > MAX_NAME_LENGTH) {
        return PLIXW_E_ARGUMENT;
    }
    try {
        std::unique_ptr<plixw_writer> made(new (std::nothrow) plixw_writer);
        if (!made) {
            return PLIXW_E_NO_MEMORY;
        }
        int status = FromOpenStatus(made->partition.Open(name, (flags & PLIXW_OPEN_INIT) != 0));
        if (status != PLIXW_OK) {
            return status;
        }
        made->queue.reset(new (std::nothrow) QueueWriter(made->partition.Queue(),
                                                         made->partition.Capacity(),
                                                         made->partition.WriteOffsetAtOpen()));
        if (!made->queue) {
            return PLIXW_E_NO_MEMORY;
        }
        made->queue->SetDropMarkers(true);
        made->wakeUp.Open(name);
        made->queue->WakeReaderThrough(&made->wakeUp);
        made->queue->CheckReachEverySecond(
            [](const void* partition) {
                return static_cast<const WriterPartition*>(partition)->StillBehindName();
            },
            &made->partition);
        *writer = made.release();
        return PLIXW_OK;
    } catch (const std::bad_alloc&) {
        return PLIXW_E_NO_MEMORY;
    } catch (...) {
        return PLIXW_E_OPEN;
    }
}

int plixw_write(plixw_writer* writer, const void* data, uint32_t length) {
    if (writer == nullptr || (data == nullptr && length > 0)) {
        return PLIXW_E_ARGUMENT;
    }
    try {
        switch (writer->queue->Write(data, length, writer->whenFull)) {
            case QueueWriter::Result::WRITTEN:
                return PLIXW_OK;
            case QueueWriter::Result::DROPPED:
                return PLIXW_E_FULL;
            case QueueWriter::Result::TIMED_OUT:
                return PLIXW_E_TIMEOUT;
            case QueueWriter::Result::TOO_LONG:
                return PLIXW_E_TOO_LONG;
            case QueueWriter::Result::BROKEN:
                return PLIXW_E_BROKEN;
            case QueueWriter::Result::GONE:
                return PLIXW_E_GONE;
        }
    } catch (...) {
        // Nothing in the write path throws today (a wait's sleep aside, which does not on
        // this platform); kept so that no exception can ever reach the host.
    }
    return PLIXW_E_BROKEN;
}

int plixw_set_full_policy(plixw_writer* writer, int policy, uint32_t timeout_ms) {
    if (writer == nullptr || (policy != PLIXW_FULL_DROP && policy != PLIXW_FULL_WAIT)) {
        return PLIXW_E_ARGUMENT;
    }
    writer->whenFull.drop = policy == PLIXW_FULL_DROP;
    writer->whenFull.timeoutMs = policy == PLIXW_FULL_DROP ? 0 : timeout_ms;
    return PLIXW_OK;
}

int plixw_set_drop_markers(plixw_writer* writer, int on) {
    if (writer == nullptr) {
        return PLIXW_E_ARGUMENT;
    }
    writer->queue->SetDropMarkers(on != 0);
    return PLIXW_OK;
}

int plixw_dropped(const plixw_writer* writer, uint64_t* count) {
    if (writer == nullptr || count == nullptr) {
        return PLIXW_E_ARGUMENT;
    }
    *count = writer->queue->Dropped();
    return PLIXW_OK;
}

int plixw_written(const plixw_writer* writer, uint64_t* count) {
    if (writer == nullptr || count == nullptr) {
        return PLIXW_E_ARGUMENT;
    }
    *count = writer->queue->Written();
    return PLIXW_OK;
}

int plixw_max_record_length(const plixw_writer* writer, uint32_t* length) {
    if (writer == nullptr || length == nullptr) {
        return PLIXW_E_ARGUMENT;
    }
    *length = writer->queue->MaxRecordLength();
    return PLIXW_OK;
}

int plixw_close(plixw_writer* writer) {
    if (writer != nullptr) {
        try {
            writer->queue->MarkDropsNow();  // the last marker, when there is room for it
        } catch (...) {
            // Nothing in it throws; kept so that no exception can ever reach the host.
        }
    }
    delete writer;  // the queue writer first, then the partition gives its reference back
    return PLIXW_OK;
}

const char* plixw_strerror(int status) {
    switch (status) {
        case PLIXW_OK:
            return "no error";
        case PLIXW_E_ARGUMENT:
            return "invalid argument";
        case PLIXW_E_NO_PARTITION:
            return "no such partition";
        case PLIXW_E_TOO_SMALL:
            return "partition too small for a queue";
        case PLIXW_E_NOT_SET_UP:
            return "partition not set up (open it with PLIXW_OPEN_INIT)";
        case PLIXW_E_BROKEN:
            return "partition holds no valid queue";
        case PLIXW_E_OPEN:
            return "partition cannot be opened";
        case PLIXW_E_BUSY:
            return "partition changed by another process while opening";
        case PLIXW_E_TOO_LONG:
            return "record too long for the queue";
        case PLIXW_E_FULL:
            return "queue full, record dropped";
        case PLIXW_E_TIMEOUT:
            return "queue full until the time-out, record dropped";
        case PLIXW_E_NO_MEMORY:
            return "out of memory";
        case PLIXW_E_OTHER_WRITER:
            return "another writer has the queue open (one writer per queue)";
        case PLIXW_E_GONE:
            return "partition removed or replaced; no reader sees this queue any more";
        case PLIXW_E_READER_ATTACHED:
            return "partition holds no valid queue and a reader holds it; not set up under a "
                   "reader";
        default:
            return "unknown status";
    }
}

}  // extern "C"
