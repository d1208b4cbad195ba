// ConsoleRecords: splitting the reader's console output into records and other lines.
#include "tests/e2e/ConsoleRecords.h"

#include <cctype>

namespace PlixTest {

std::string ConsoleRecords::RecordText(uint64_t n, uint32_t textLength) {
    std::string prefix = std::to_string(n) + " ";
    std::string text(textLength, '\0');
    for (uint32_t i = 0; i < textLength; ++i) {
        text[i] = i < prefix.size() ? prefix[i] : static_cast<char>('a' + i % 26);
    }
    return text;
}

size_t ConsoleRecords::FirstBreak(const std::vector<uint64_t>& numbers, size_t from,
                                  uint64_t first) {
    for (size_t i = from; i < numbers.size(); ++i) {
        if (numbers[i] != first + (i - from)) {
            return i;
        }
    }
    return numbers.size();
}

void ConsoleRecords::Append(const char* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] == '\n') {
            TakeLine(mPartial);
            mPartial.clear();
        } else {
            mPartial.push_back(bytes[i]);
        }
    }
}

void ConsoleRecords::Finish() {
    if (!mPartial.empty()) {
        TakeLine(mPartial);
        mPartial.clear();
    }
}

void ConsoleRecords::TakeLine(const std::string& line) {
    if (line.empty() || !std::isdigit(static_cast<unsigned char>(line[0]))) {
        mOtherLines.push_back(line);
        mRecordsBefore.push_back(mNumbers.size());
        return;
    }
    size_t digits = 0;
    uint64_t n = 0;
    while (digits < line.size() && digits < 19 &&
           std::isdigit(static_cast<unsigned char>(line[digits]))) {
        n = n * 10 + static_cast<uint64_t>(line[digits] - '0');
        ++digits;
    }
    if (line != RecordText(n, mTextLength)) {
        ++mMalformedCount;
        if (mMalformed.size() < 10) {
            mMalformed.push_back(line);
        }
        return;
    }
    mNumbers.push_back(n);
    mRecordCount.store(mNumbers.size());
}

}  // namespace PlixTest
