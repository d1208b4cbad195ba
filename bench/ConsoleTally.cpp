// ConsoleTally: per-step tally of the records a reader printed.
#include "bench/ConsoleTally.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "writer/include/plixtrace/plixwriter.h"

ConsoleTally::ConsoleTally(std::string path) : mPath(std::move(path)) {}

void ConsoleTally::AddStep(uint64_t first, uint64_t count) {
    mSteps.push_back({first, count, 0});
}

bool ConsoleTally::Settled(size_t step) const {
    const Step& s = mSteps.at(step);
    return mLast >= s.first + s.count;
}

void ConsoleTally::Update() {
    std::ifstream in(mPath, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(mOffset));
    std::string data(1 << 20, '\0');
    for (;;) {
        in.read(data.data(), static_cast<std::streamsize>(data.size()));
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        mOffset += got;
        size_t begin = 0;
        for (size_t i = 0; i < got; ++i) {
            if (data[i] != '\n') continue;
            mPartial.append(data, begin, i - begin);
            Take(mPartial);
            mPartial.clear();
            begin = i + 1;
        }
        mPartial.append(data, begin, got - begin);
    }
}

void ConsoleTally::Take(const std::string& line) {
    constexpr size_t MARKER_PREFIX_LENGTH = sizeof PLIXW_DROP_MARKER_PREFIX - 1;
    if (line.compare(0, MARKER_PREFIX_LENGTH, PLIXW_DROP_MARKER_PREFIX) == 0) {
        mMarked += std::strtoull(line.c_str() + MARKER_PREFIX_LENGTH, nullptr, 10);
        return;
    }
    uint64_t number = 0;
    size_t i = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9') {
        number = number * 10 + static_cast<uint64_t>(line[i] - '0');
        ++i;
    }
    if (i == 0 || i >= line.size() || line[i] != ' ') return;
    if (number <= mLast) {
        ++mDisorder;
        return;
    }
    mLast = number;
    ++mTotal;
    // The step holding this number (steps are sorted by their first number).
    auto it = std::upper_bound(mSteps.begin(), mSteps.end(), number,
                               [](uint64_t n, const Step& s) { return n < s.first; });
    if (it == mSteps.begin()) return;
    --it;
    if (number < it->first + it->count) ++it->printed;
}
