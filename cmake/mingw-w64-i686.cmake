# Cross-compilation for 32-bit Windows (i686) with mingw-w64, posix thread model (std::thread and
# Boost.Thread need it). Libraries for the target (Boost, GoogleTest) are found through
# CMAKE_PREFIX_PATH; everything else comes from the mingw-w64 sysroot, never from the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(PLIX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${PLIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLIX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PLIX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PLIX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PLIX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# Prefixes given in CMAKE_PREFIX_PATH are searched as they are; programs come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${PLIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
foreach(prefix IN LISTS CMAKE_PREFIX_PATH)
  list(APPEND CMAKE_FIND_ROOT_PATH ${prefix})
endforeach()
