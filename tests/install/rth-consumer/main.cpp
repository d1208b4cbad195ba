// Prints the size of partition argv[1] through the installed partition library (0: none).
#include <cstdio>

#include "rth/RthAdmin.h"
#include "rth/RthLib.h"

int main(int argc, char** argv) {
    if (argc != 2 || !rthNameValid(argv[1])) {
        return 2;
    }
    std::printf("%u\n", static_cast<unsigned>(shmSizeGet(argv[1])));
    return 0;
}
