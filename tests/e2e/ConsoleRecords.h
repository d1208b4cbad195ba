// ConsoleRecords: the reader's console output, taken apart as it arrives into the synthetic
// records of plixwrite --count (record n is "n " and the letters 'a' + i % 26 at each further
// position i, the text being exactly the record length less the line feed and NUL) and every
// other line (banner, listing, the control handler's message).
//
// Fed by one thread (Append), read by another: RecordCount may be asked at any time; the rest
// after the feeding thread has finished.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace PlixTest {

class ConsoleRecords {
public:
    // textLength: characters of a record's text before its line feed (record length - 2).
    explicit ConsoleRecords(uint32_t textLength = 62) : mTextLength(textLength) {}

    // Takes the next bytes of the output.
    void Append(const char* bytes, size_t length);
    // Ends the output; a last line without line feed counts as a line.
    void Finish();

    size_t RecordCount() const { return mRecordCount.load(); }
    // Record numbers in the order printed.
    const std::vector<uint64_t>& Numbers() const { return mNumbers; }
    // Lines that start with a digit but are not a well-formed record, as printed (at most 10).
    const std::vector<std::string>& Malformed() const { return mMalformed; }
    size_t MalformedCount() const { return mMalformedCount; }
    // All other lines, in order.
    const std::vector<std::string>& OtherLines() const { return mOtherLines; }
    // For each of OtherLines, the number of records printed before it.
    const std::vector<size_t>& RecordsBefore() const { return mRecordsBefore; }

    // The text of synthetic record n of the given text length, without the line feed.
    static std::string RecordText(uint64_t n, uint32_t textLength);

    // The first place where numbers is not first, first + 1, ... : its index, or numbers.size()
    // when it runs on without a gap, repetition or reordering.
    static size_t FirstBreak(const std::vector<uint64_t>& numbers, size_t from, uint64_t first);

private:
    void TakeLine(const std::string& line);

    uint32_t mTextLength;
    std::string mPartial;
    std::vector<uint64_t> mNumbers;
    std::vector<std::string> mMalformed;
    size_t mMalformedCount = 0;
    std::vector<std::string> mOtherLines;
    std::vector<size_t> mRecordsBefore;
    std::atomic<size_t> mRecordCount{0};
};

}  // namespace PlixTest
