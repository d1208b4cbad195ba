// ContractPartitions for the partition-library fake: partitions in process memory.
#include "rth/fake/RthFake.h"
#include "tests/rth/ContractPartitions.h"

namespace RthContract {

void Begin() { RthFake::Get().Reset(); }

bool Make(const char* name, uint32_t size) {
    return RthFake::Get().AddPartition(name, size) != nullptr;
}

void End() { RthFake::Get().Reset(); }

}  // namespace RthContract
