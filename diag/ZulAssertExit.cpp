// The fatal path's end in every program: exit(-2), 254 to a POSIX parent. exit runs the
// process-end handlers and static destructors but does not unwind the stack.
#include <cstdlib>

#include "diag/ZulAssertEnd.h"

namespace PlixBase {

void ZulAssertEnd(const char* /*expression*/) { std::exit(ZUL_ASSERT_EXIT_STATUS); }

}  // namespace PlixBase
