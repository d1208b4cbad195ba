// Helpers for the reader application's tests: a scratch directory under /tmp that is removed
// again, file helpers, and a parser for trace log lines. Single-threaded test use only.
#pragma once

#include <boost/filesystem.hpp>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace PlixTest {

// A fresh, uniquely named directory under /tmp, removed with everything in it on destruction.
class VScratchDirectory {
public:
    VScratchDirectory()
        : mPath(boost::filesystem::unique_path("/tmp/plixapptest-%%%%-%%%%-%%%%-%%%%")) {
        boost::filesystem::create_directories(mPath);
    }
    ~VScratchDirectory() {
        boost::system::error_code ec;
        boost::filesystem::remove_all(mPath, ec);
    }
    VScratchDirectory(const VScratchDirectory&) = delete;
    VScratchDirectory& operator=(const VScratchDirectory&) = delete;

    const boost::filesystem::path& Path() const { return mPath; }

private:
    boost::filesystem::path mPath;
};

inline void WriteFile(const boost::filesystem::path& p, const std::string& content) {
    std::ofstream out(p.string(), std::ios::binary | std::ios::trunc);
    out << content;
}

inline void WriteFileOfSize(const boost::filesystem::path& p, std::size_t size) {
    WriteFile(p, std::string(size, 'x'));
}

inline std::string ReadFile(const boost::filesystem::path& p) {
    std::ifstream in(p.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sets the last write time of p to the given number of seconds since 1970.
inline void SetWriteTime(const boost::filesystem::path& p, std::time_t t) {
    boost::filesystem::last_write_time(p, t);
}

// Names of the directory's entries, sorted.
inline std::set<std::string> EntryNames(const boost::filesystem::path& dir) {
    std::set<std::string> names;
    for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it) {
        names.insert(it->path().filename().string());
    }
    return names;
}

// Splits text into lines at '\n'; every line must end with one (else the last piece is kept
// as it is and *complete is false).
inline std::vector<std::string> SplitLines(const std::string& text, bool* complete = nullptr) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) {
            lines.push_back(text.substr(start));
            if (complete) *complete = false;
            return lines;
        }
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    if (complete) *complete = true;
    return lines;
}

// A trace log line "N: <YYYY-mm-dd HH:MM:SS> message" taken apart.
struct VTraceLine {
    unsigned long lineId;
    std::string timeStamp;
    std::string message;
};

// Parses one line (without its line feed) strictly: decimal line number without leading zeros,
// the exact separators and a time stamp of the form 2026-12-07 21:37:10.
inline std::optional<VTraceLine> ParseTraceLine(const std::string& line) {
    std::size_t pos = 0;
    while (pos < line.size() && line[pos] >= '0' && line[pos] <= '9') ++pos;
    if (pos == 0 || pos > 10 || (line[0] == '0')) return std::nullopt;
    VTraceLine parsed{std::stoul(line.substr(0, pos)), {}, {}};
    if (line.compare(pos, 3, ": <") != 0) return std::nullopt;
    pos += 3;
    const std::string shape = "dddd-dd-dd dd:dd:dd";
    if (line.size() < pos + shape.size() + 2) return std::nullopt;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const char c = line[pos + i];
        const bool ok = shape[i] == 'd' ? (c >= '0' && c <= '9') : c == shape[i];
        if (!ok) return std::nullopt;
    }
    parsed.timeStamp = line.substr(pos, shape.size());
    pos += shape.size();
    if (line.compare(pos, 2, "> ") != 0) return std::nullopt;
    parsed.message = line.substr(pos + 2);
    return parsed;
}

}  // namespace PlixTest
