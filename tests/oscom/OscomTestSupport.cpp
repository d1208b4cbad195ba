// Helpers of the communication layer's tests.
#include "tests/oscom/OscomTestSupport.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <stdexcept>

#include "diag/DiagLogger.h"
#include "oscom/VSharedMemoryQueue.h"
#include "platform/PlatformTime.h"
#include "rth/fake/RthFake.h"

namespace OscomTest {

namespace {

std::vector<uint32_t> sSleeps;

void RecordSleep(uint32_t ms) { sSleeps.push_back(ms); }

// "[LEVEL] [dd.mm.YYYY HH:MM:SS:mmm:uuu][function] [LINE: n] message"
DiagLine Split(const std::string& line) {
    DiagLine out;
    size_t levelEnd = line.find("] ");
    size_t lineTag = line.find("] [LINE: ");
    if (line.empty() || line[0] != '[' || levelEnd == std::string::npos ||
        lineTag == std::string::npos) {
        out.message = line;
        return out;
    }
    out.level = line.substr(1, levelEnd - 1);
    size_t functionBegin = line.rfind("][", lineTag);
    if (functionBegin != std::string::npos) {
        out.function = line.substr(functionBegin + 2, lineTag - functionBegin - 2);
    }
    size_t messageBegin = line.find("] ", lineTag + 2);
    if (messageBegin != std::string::npos) {
        out.message = line.substr(messageBegin + 2);
    }
    return out;
}

}  // namespace

void DiagCaptureTest::SetUp() {
    ASSERT_TRUE(DiagLogger::Instance().SwitchOn("DEBUG"));
    mCapture = std::make_unique<PlixTest::LogCapture>();
    RthFake::Get().Reset();
    Sleeps().clear();
    Platform::PlatformTime::SetSleepForTesting(RecordSleep);
    ZulOsCom::VShmHeader::sAfterInterlockedStepForTesting = nullptr;
    ZulOsCom::VSharedMemoryQueue::sAfterEntryChecksForTesting = nullptr;
}

void DiagCaptureTest::TearDown() {
    ZulOsCom::VShmHeader::sAfterInterlockedStepForTesting = nullptr;
    ZulOsCom::VSharedMemoryQueue::sAfterEntryChecksForTesting = nullptr;
    Platform::PlatformTime::SetSleepForTesting(nullptr);
    RthFake::Get().Reset();
    mCapture.reset();
}

std::vector<DiagLine> DiagCaptureTest::Lines() const {
    std::vector<DiagLine> out;
    for (const auto& line : mCapture->Messages()) {
        out.push_back(Split(line));
    }
    return out;
}

std::vector<std::string> DiagCaptureTest::Messages(const std::string& level,
                                                   const std::string& function) const {
    std::vector<std::string> out;
    for (const auto& line : Lines()) {
        if (line.level == level && line.function == function) {
            out.push_back(line.message);
        }
    }
    return out;
}

void DiagCaptureTest::ClearLines() { mCapture->Clear(); }

std::vector<uint32_t>& DiagCaptureTest::Sleeps() { return sSleeps; }

void DiagCaptureTest::EchoToStderr() { mCapture->EchoToStderr(); }

#ifdef _WIN32
// Private memory: a death-test child on Windows is a new process that builds its own region.
GuardedRegion::GuardedRegion(size_t size) : mSize(size) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const size_t page = system.dwPageSize;
    const size_t dataPages = (size + page - 1) / page;
    mMappingSize = (dataPages + 1) * page;
    mMapping = VirtualAlloc(nullptr, mMappingSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (mMapping == nullptr) {
        throw std::runtime_error("VirtualAlloc failed");
    }
    uint8_t* guard = static_cast<uint8_t*>(mMapping) + dataPages * page;
    DWORD previous = 0;
    if (!VirtualProtect(guard, page, PAGE_NOACCESS, &previous)) {
        VirtualFree(mMapping, 0, MEM_RELEASE);
        throw std::runtime_error("VirtualProtect failed");
    }
    mBegin = guard - size;
}

GuardedRegion::~GuardedRegion() { VirtualFree(mMapping, 0, MEM_RELEASE); }
#else
GuardedRegion::GuardedRegion(size_t size) : mSize(size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t dataPages = (size + page - 1) / page;
    mMappingSize = (dataPages + 1) * page;
    mMapping =
        mmap(nullptr, mMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mMapping == MAP_FAILED) {
        throw std::runtime_error("mmap failed");
    }
    uint8_t* guard = static_cast<uint8_t*>(mMapping) + dataPages * page;
    if (mprotect(guard, page, PROT_NONE) != 0) {
        munmap(mMapping, mMappingSize);
        throw std::runtime_error("mprotect failed");
    }
    mBegin = guard - size;
}

GuardedRegion::~GuardedRegion() { munmap(mMapping, mMappingSize); }
#endif

void WriteHeader(uint8_t* base, const std::string& name, uint32_t size, uint64_t initTime,
                 int32_t refCount) {
    std::memset(base, 0, 64);
    std::memcpy(base, name.data(), std::min<size_t>(name.size(), 31));
    std::memcpy(base + 32, &size, 4);
    const uint32_t version = 0x00020000;
    std::memcpy(base + 36, &version, 4);
    std::memcpy(base + 40, &initTime, 8);
    std::memcpy(base + 52, &refCount, 4);
    unsigned sum = 0;
    for (int i = 0; i < 48; ++i) {
        sum += base[i];
    }
    base[48] = static_cast<uint8_t>(256 - sum % 256);
}

std::string Literal(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr) {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string FatalLine(const std::string& function, const std::string& expr) {
#ifdef _WIN32
    const char* digits = "\\d+";  // GoogleTest's own simple expressions on Windows: no brackets
#else
    const char* digits = "[0-9]+";
#endif
    return Literal("[" + function + "] [LINE: ") + digits +
           Literal("] ZUL_ASSERT failed [" + expr + "]");
}

}  // namespace OscomTest
