// ContractPartitions: how the partition library's contract suite (RthContractTest.cpp) makes
// and removes the partitions it opens, for the implementation the suite is linked with. Each
// implementation has a source of its own: ContractPartitionsLibrary.cpp (the POSIX and the
// Windows stand-in, through their admin calls) and ContractPartitionsFake.cpp (the fake).
// Single-threaded test use only.
#pragma once

#include <cstdint>

namespace RthContract {

// Starts a case: partitions made from here on are this run's alone.
void Begin();

// Makes partition name of size bytes, zero-filled; false when it could not.
bool Make(const char* name, uint32_t size);

// Ends a case: removes every partition Make made.
void End();

}  // namespace RthContract
