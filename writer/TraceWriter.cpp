// TraceWriter: the project's C++ writer over the shared writing core.
#include "writer/TraceWriter.h"

#include <utility>

TraceWriter::TraceWriter(std::string name) : mName(std::move(name)) {}

TraceWriter::~TraceWriter() = default;

bool TraceWriter::Open(std::string& error) {
    if (mQueue) {
        return true;
    }
    switch (mPartition.Open(mName, /*initialise=*/true)) {
        case WriterPartition::Status::OK:
            break;
        case WriterPartition::Status::NO_PARTITION:
            error = "partition " + mName + " does not exist";
            return false;
        case WriterPartition::Status::TOO_SMALL:
            error = "partition " + mName + " is too small for a queue (at least " +
                    std::to_string(MIN_PARTITION_SIZE) + " bytes)";
            return false;
        case WriterPartition::Status::CHANGED:
            error = "partition " + mName + " changed while attaching";
            return false;
        case WriterPartition::Status::WRITER_BUSY:
            error = "partition " + mName + " has another writer";
            return false;
        case WriterPartition::Status::READER_HOLDS:
            error = "partition " + mName + " holds no valid queue and a reader holds it";
            return false;
        default:
            error = "cannot open partition " + mName;
            return false;
    }
    mQueue = std::make_unique<QueueWriter>(mPartition.Queue(), mPartition.Capacity(),
                                           mPartition.WriteOffsetAtOpen());
    mWakeUp.Open(mName.c_str());
    mQueue->WakeReaderThrough(&mWakeUp);
    mQueue->CheckReachEverySecond(
        [](const void* partition) {
            return static_cast<const WriterPartition*>(partition)->StillBehindName();
        },
        &mPartition);
    return true;
}

TraceWriter::Result TraceWriter::Write(const void* data, uint32_t length) {
    if (!mQueue) {
        return Result::NOT_OPEN;
    }
    switch (mQueue->Write(data, length, mWhenFull)) {
        case QueueWriter::Result::WRITTEN:
            return Result::WRITTEN;
        case QueueWriter::Result::DROPPED:
        case QueueWriter::Result::TIMED_OUT:
            return Result::DROPPED;
        case QueueWriter::Result::TOO_LONG:
            return Result::TOO_LONG;
        case QueueWriter::Result::GONE:
            return Result::GONE;
        case QueueWriter::Result::BROKEN:
            break;
    }
    return Result::BROKEN;
}
