# 32-bit Windows (i686): the shipped program.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PLIX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
