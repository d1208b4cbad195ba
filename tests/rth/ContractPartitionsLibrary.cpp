// ContractPartitions for the partition library's stand-ins: partitions made with the admin
// calls under a prefix of this run's own.
#ifdef _WIN32
#include <windows.h>
#endif

#include <string>
#include <vector>

#include "rth/RthAdmin.h"
#include "tests/rth/ContractPartitions.h"
#include "tests/support/Portable.h"

namespace RthContract {

namespace {

std::vector<std::string> sMade;

}  // namespace

void Begin() {
    const std::string prefix = "plixcontract." + PlixTest::RunTag() + ".";
#ifdef _WIN32
    // Where the Windows stand-in reads it: the process environment block.
    SetEnvironmentVariableA("RTH_SHM_PREFIX", prefix.c_str());
#else
    PlixTest::SetEnvironment("RTH_SHM_PREFIX", prefix.c_str());
#endif
}

bool Make(const char* name, uint32_t size) {
    if (rthPartitionCreate(name, size) != RTH_OK) {
        return false;
    }
    sMade.emplace_back(name);
    return true;
}

void End() {
    for (const std::string& name : sMade) {
        rthPartitionRemove(name.c_str());
    }
    sMade.clear();
}

}  // namespace RthContract
