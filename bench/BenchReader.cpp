// plix_bench_reader DIRECTORY: the reader's real main routine with its trace log directory
// injected, for the benchmarks. With the RTH_SHM_PREFIX a benchmark sets, it touches neither
// the shipped program's log directory nor the real partition.
#include "app/TraceReader.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    return TraceReader(argv[1]).Run();
}
