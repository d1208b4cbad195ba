// The last step of a failed ZUL_ASSERT, after its line, reports and stack trace.
//
// Chosen when a program is linked, not when it is compiled: the library diag_fatal_exit ends
// the process with exit(-2) (every program's default), diag_fatal_throw throws
// PlixBase::ZulAssertFailure (the fuzz targets, which catch it as an expected outcome). A
// target sets the property PLIX_FATAL_THROWS to ON to get the second; see diag/CMakeLists.txt.
#pragma once

namespace PlixBase {

// The exit status of a failed check in every program but the fuzz targets: -2, which a POSIX
// parent sees as 254.
constexpr int ZUL_ASSERT_EXIT_STATUS = -2;

// Ends the failure of the check written as expression; never returns.
[[noreturn]] void ZulAssertEnd(const char* expression);

}  // namespace PlixBase
