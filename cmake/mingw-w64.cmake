# Cross-compilation for Windows with mingw-w64, posix thread model (std::thread and Boost.Thread
# need it), shared by the two toolchain files: mingw-w64-i686.cmake (32-bit, the shipped
# program) and mingw-w64-x86_64.cmake (64-bit, the test build where 32-bit programs cannot run).
# The including file sets PLIX_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR. Libraries for the target
# (Boost, GoogleTest) are found through CMAKE_PREFIX_PATH; everything else comes from the
# mingw-w64 sysroot, never from the host.
set(CMAKE_SYSTEM_NAME Windows)

# The target platform, for the project (CMakeLists.txt applies it) and for the Boost that
# scripts/windows-build makes (it reads this line): Windows 7 and later (the system headers then
# hide every newer function), the same for Boost's own choice of system calls, and a 64-bit
# time_t also on i686, where the C runtime's headers would otherwise pick a 32-bit one that
# overflows in 2038.
set(PLIX_TARGET_DEFINES _WIN32_WINNT=0x0601 WINVER=0x0601 BOOST_USE_WINAPI_VERSION=0x0601 __MINGW_USE_VC2005_COMPAT)

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
