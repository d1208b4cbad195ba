// The fatal path's end in the fuzz targets: the failure throws ZulAssertFailure, what() being
// the check as written, and the program goes on.
#include "diag/ZulAssert.h"
#include "diag/ZulAssertEnd.h"

namespace PlixBase {

void ZulAssertEnd(const char* expression) { throw ZulAssertFailure(expression); }

}  // namespace PlixBase
