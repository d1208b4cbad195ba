// The last step of a failed ZUL_ASSERT, after its line, reports and stack trace.
//
// Chosen when a program is linked, not when it is compiled: the library diag_fatal_exit ends
// the process with exit(-2) (every program's default), diag_fatal_throw throws
// PlixBase::ZulAssertFailure (the fuzz targets, which catch it as an expected outcome). A
// target sets the property PLIX_FATAL_THROWS to ON to get the second; see diag/CMakeLists.txt.
#pragma once

namespace PlixBase {

// Ends the failure of the check written as expression; never returns.
[[noreturn]] void ZulAssertEnd(const char* expression);

}  // namespace PlixBase
