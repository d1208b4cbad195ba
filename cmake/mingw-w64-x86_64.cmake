# 64-bit Windows (x86-64): the same code and test suites, for machines whose kernel does not run
# 32-bit programs (and so not 32-bit Wine). Nothing of this build ships.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(PLIX_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
