// The texts that the fatal checks of the communication layer report, read from its sources:
// operators and tools match them, so a refactor that rewrites a check must keep its text. The
// death tests show the checks a partition can fail; this also pins those no test can make fail
// (the checksum Init has just sealed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The texts of the checks in one source, in order: ZUL_ASSERT(expr) reports expr as written,
// ZUL_ASSERT_AS(check, "text") reports text (blanks collapsed).
std::vector<std::string> FatalTexts(const std::filesystem::path& file) {
    std::stringstream all;
    all << std::ifstream(file).rdbuf();
    const std::string text = std::regex_replace(all.str(), std::regex(R"(\s+)"), " ");
    static const std::regex check(
        R"re(ZUL_ASSERT_AS\([^"]*?, "([^"]*)"\);|ZUL_ASSERT\((.*?)\);)re");
    std::vector<std::string> texts;
    for (std::sregex_iterator it(text.begin(), text.end(), check), end; it != end; ++it) {
        texts.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return texts;
}

TEST(FatalTextsTest, EveryFatalCheckOfTheCommunicationLayerKeepsItsText) {
    const std::map<std::string, std::vector<std::string>> expected = {
        // VRthSharedMemory::Init
        {"VRthSharedMemory.cpp", {"((UCHAR)(mMemory->checksum + sum)) == 0"}},
        // AddRefGetInitTime twice, ReleaseRefIfTimeStampMatches
        {"VShmHeader.cpp", {"false", "false", "false"}},
        // VSharedMemoryQueue::ReadBytes
        {"VSharedMemoryQueue.cpp",
         {"this->IsValid()", "nextUsedElement >= startAddress && nextUsedElement < endAddress",
          "tmpOffset + SIZEOF_ELEMENT_HDR <= this->mCapacity",
          "elLength <= this->mCapacity - SIZEOF_ELEMENT_HDR",
          "tmpOffset + SIZEOF_ELEMENT_HDR + elLength <= this->mCapacity",
          "this->mReadOffset <= this->mCapacity", "isAligned64(this->mReadOffset)",
          "this->IsValid()"}},
    };
    // Every source of the layer: those above hold exactly these checks, the others none.
    size_t known = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PLIX_SOURCE_DIR "/oscom")) {
        const std::string name = entry.path().filename().string();
        const auto texts = expected.find(name);
        known += texts != expected.end() ? 1 : 0;
        EXPECT_EQ(FatalTexts(entry.path()),
                  texts != expected.end() ? texts->second : std::vector<std::string>())
            << name;
    }
    EXPECT_EQ(known, expected.size());
}

}  // namespace
