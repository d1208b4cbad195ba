// A failed fatal assertion and nothing else, for the test that its exit(-2) reaches a POSIX
// parent of Wine (ctest, a shell, CI) as exit status 254.
#include "diag/ZulAssert.h"

int main(int argc, char**) {
    ZUL_ASSERT(argc == 0);
    return 0;
}
