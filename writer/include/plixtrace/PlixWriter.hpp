// PlixWriter.hpp: a thin C++ layer over the writer library's C interface (plixwriter.h), header
// only. It adds ownership (the writer is closed when the object goes) and string views; the
// rules on records, threads, full queues and failures are those of plixwriter.h. Nothing here
// throws: every call answers with a Status.
//
//   plixtrace::Writer writer;
//   if (plixtrace::Status s = writer.Open("plixtrace", PLIXW_OPEN_INIT); !s) {
//       std::cerr << s.Message() << '\n';
//   }
//   writer.Write(std::string_view("started\n\0", 9));
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

#include "plixtrace/plixwriter.h"

namespace plixtrace {

// A status of the C interface: PLIXW_OK or a PLIXW_E_ code.
class Status {
public:
    constexpr Status(int code = PLIXW_OK) noexcept : mCode(code) {}
    constexpr int Code() const noexcept { return mCode; }
    constexpr bool Ok() const noexcept { return mCode == PLIXW_OK; }
    constexpr explicit operator bool() const noexcept { return Ok(); }
    // The library's text for the code (static storage).
    const char* Message() const noexcept { return plixw_strerror(mCode); }

private:
    int mCode;
};

// Owns one plixw_writer. Movable, not copyable; the same thread rules as the C writer.
class Writer {
public:
    Writer() noexcept = default;
    ~Writer() { Close(); }

    Writer(Writer&& other) noexcept : mWriter(std::exchange(other.mWriter, nullptr)) {}
    Writer& operator=(Writer&& other) noexcept {
        if (this != &other) {
            Close();
            mWriter = std::exchange(other.mWriter, nullptr);
        }
        return *this;
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Opens partition name (see plixw_open); a writer open before is closed first. name must
    // be NUL-terminated.
    Status Open(const char* name, uint32_t flags = 0) noexcept {
        Close();
        return Status(plixw_open(name, flags, &mWriter));
    }

    bool IsOpen() const noexcept { return mWriter != nullptr; }

    Status Write(const void* data, uint32_t length) noexcept {
        return Status(plixw_write(mWriter, data, length));
    }
    // The bytes of record as they are (a NUL the caller wants must be part of the view).
    Status Write(std::string_view record) noexcept {
        if (record.size() > UINT32_MAX) {
            return Status(PLIXW_E_TOO_LONG);
        }
        return Write(record.data(), static_cast<uint32_t>(record.size()));
    }

    Status DropWhenFull() noexcept {
        return Status(plixw_set_full_policy(mWriter, PLIXW_FULL_DROP, 0));
    }
    Status WaitWhenFull(uint32_t timeoutMs = PLIXW_WAIT_FOREVER) noexcept {
        return Status(plixw_set_full_policy(mWriter, PLIXW_FULL_WAIT, timeoutMs));
    }

    // Drop markers in the stream (on by default; see plixw_set_drop_markers).
    Status DropMarkers(bool on) noexcept {
        return Status(plixw_set_drop_markers(mWriter, on ? 1 : 0));
    }

    // Counts and the longest record; 0 while not open.
    uint64_t Dropped() const noexcept {
        uint64_t count = 0;
        plixw_dropped(mWriter, &count);
        return count;
    }
    uint64_t Written() const noexcept {
        uint64_t count = 0;
        plixw_written(mWriter, &count);
        return count;
    }
    uint32_t MaxRecordLength() const noexcept {
        uint32_t length = 0;
        plixw_max_record_length(mWriter, &length);
        return length;
    }

    void Close() noexcept {
        plixw_close(mWriter);
        mWriter = nullptr;
    }

    // The C writer, for calls this layer does not wrap; still owned by this object.
    plixw_writer* Handle() const noexcept { return mWriter; }

private:
    plixw_writer* mWriter = nullptr;
};

}  // namespace plixtrace
