// SyntheticFeed: paced synthetic lines into a pipe.
#include "bench/SyntheticFeed.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// At most this many bytes per write, so that a burst after a late wake-up stays a few pipe
// buffers long.
constexpr size_t MAX_CHUNK = 1 << 16;

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SyntheticFeed::SyntheticFeed(int fd, uint32_t recordLength)
    : mFd(fd), mRecordLength(recordLength < 2 ? 2 : recordLength) {}

void SyntheticFeed::AppendLine(std::string& out, uint64_t n) const {
    const std::string prefix = std::to_string(n) + " ";
    const uint32_t text = mRecordLength - 2;
    for (uint32_t i = 0; i < text; ++i) {
        out.push_back(i < prefix.size() ? prefix[i] : static_cast<char>('a' + i % 26));
    }
    out.push_back('\n');
}

double SyntheticFeed::Feed(uint64_t count, uint64_t rate) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto dueOf = [&](uint64_t i) {
        return start + std::chrono::nanoseconds(i * 1000000000ULL / rate);
    };
    std::string chunk;
    uint64_t sent = 0;
    mMaxLateness = 0;
    while (sent < count) {
        const auto now = Clock::now();
        if (dueOf(sent) > now) {
            std::this_thread::sleep_until(dueOf(sent));
            continue;
        }
        const double late = std::chrono::duration<double>(now - dueOf(sent)).count();
        if (late > mMaxLateness) mMaxLateness = late;
        // Every line due by now, in chunks.
        chunk.clear();
        while (sent < count && dueOf(sent) <= now && chunk.size() < MAX_CHUNK) {
            AppendLine(chunk, mFed + 1);
            ++mFed;
            ++sent;
        }
        if (!WriteAll(mFd, chunk)) return -1;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return seconds > 0 ? static_cast<double>(count) / seconds : static_cast<double>(rate);
}
