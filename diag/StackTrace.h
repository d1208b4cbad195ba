// PlixBase::StackTrace: writes the calling thread's stack through DiagLogger, one DIAG_ERROR
// line per frame ("<n>: <symbol> - 0x<symbol start>"), innermost first with the highest
// number, at most the 100 innermost frames. Called only by the failure sequence of ZUL_ASSERT.
#pragma once

namespace PlixBase {

void StackTrace();

}  // namespace PlixBase
