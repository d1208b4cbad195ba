// The fatal checks of the communication layer, read from its sources: each site's function and
// the text a failure reports are fixed (operators and tools match them), so a refactor that
// rewrites a check must keep its text. The death tests show the texts of the checks that a
// partition can fail; this one also pins those that no test can make fail (the checksum that
// Init has just sealed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Site = std::pair<std::string, std::string>;  // function, reported text

// The fatal checks of one source file in order: ZUL_ASSERT(expr) reports expr as written (blanks
// collapsed), ZUL_ASSERT_AS(check, "text") reports text. The function is the last definition
// that begins a line before the check.
std::vector<Site> FatalSites(const std::string& file) {
    std::ifstream in(std::string(PLIX_SOURCE_DIR) + "/oscom/" + file);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    static const std::regex definition(R"(\n[A-Za-z][^(\n;]*?\b(\w+::~?\w+)\()");
    static const std::regex check(R"(\bZUL_ASSERT(_AS)?\()");
    std::vector<Site> sites;
    for (std::sregex_iterator it(text.begin(), text.end(), check), end; it != end; ++it) {
        const size_t open = static_cast<size_t>(it->position() + it->length());
        size_t close = open;
        for (int depth = 1; depth > 0 && close < text.size(); ++close) {
            depth += text[close] == '(' ? 1 : text[close] == ')' ? -1 : 0;
        }
        std::string argument = text.substr(open, close - 1 - open);
        if ((*it)[1].matched) {
            argument = argument.substr(argument.rfind(",") + 1);
            argument = argument.substr(argument.find('"') + 1);
            argument.erase(argument.rfind('"'));
        }
        argument = std::regex_replace(argument, std::regex(R"(\s+)"), " ");
        std::string function;
        const std::string before = text.substr(0, static_cast<size_t>(it->position()));
        for (std::sregex_iterator d(before.begin(), before.end(), definition), e; d != e; ++d) {
            function = "ZulOsCom::" + (*d)[1].str();
        }
        sites.emplace_back(function, argument);
    }
    return sites;
}

TEST(FatalTextsTest, EveryFatalCheckOfTheCommunicationLayerKeepsItsText) {
    const std::string read = "ZulOsCom::VSharedMemoryQueue::ReadBytes";
    const std::string addRef = "ZulOsCom::VShmHeader::AddRefGetInitTime";
    const std::string release = "ZulOsCom::VShmHeader::ReleaseRefIfTimeStampMatches";
    const std::map<std::string, std::vector<Site>> expected = {
        {"VRthSharedMemory.cpp",
         {{"ZulOsCom::VRthSharedMemory::Init", "((UCHAR)(mMemory->checksum + sum)) == 0"}}},
        {"VShmHeader.cpp", {{addRef, "false"}, {addRef, "false"}, {release, "false"}}},
        {"VSharedMemoryQueue.cpp",
         {{read, "this->IsValid()"},
          {read, "nextUsedElement >= startAddress && nextUsedElement < endAddress"},
          {read, "tmpOffset + SIZEOF_ELEMENT_HDR <= this->mCapacity"},
          {read, "elLength <= this->mCapacity - SIZEOF_ELEMENT_HDR"},
          {read, "tmpOffset + SIZEOF_ELEMENT_HDR + elLength <= this->mCapacity"},
          {read, "this->mReadOffset <= this->mCapacity"},
          {read, "isAligned64(this->mReadOffset)"},
          {read, "this->IsValid()"}}},
    };
    // Every source of the layer: the files above hold exactly these checks, the others none.
    size_t seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PLIX_SOURCE_DIR "/oscom")) {
        const std::string name = entry.path().filename().string();
        const std::string extension = entry.path().extension().string();
        if (extension != ".cpp" && extension != ".h") continue;
        const auto known = expected.find(name);
        seen += known != expected.end() ? 1 : 0;
        EXPECT_EQ(FatalSites(name), known != expected.end() ? known->second : std::vector<Site>())
            << name;
    }
    EXPECT_EQ(seen, expected.size());
}

}  // namespace
