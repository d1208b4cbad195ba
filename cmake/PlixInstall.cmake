# Installation (cmake --install, GNU install directories) and the Debian package (CPack,
# scripts/package). Included from the top-level CMakeLists.txt on POSIX builds.
#
#   bin/           ReadPLIXTrace, rthpart, plixwrite (run path $ORIGIN/<bin to lib>)
#   lib/           librth.so.1, libplixwriter.so.1 (run path $ORIGIN), their development links,
#                  pkgconfig/plixwriter.pc, cmake/PlixTrace/ (PlixTrace::writer, PlixTrace::rth)
#   include/plixtrace/   plixwriter.h, PlixWriter.hpp, rth/RthLib.h, rth/RthAdmin.h
#   share/man/man1/      the three manual pages
#   share/doc/readplixtrace/   README, copyright, changelog
#   lib/tmpfiles.d/readplixtrace.conf   creates /tmp/jub_logs for root at boot
#
# Every path inside the tree is relative, so an installed tree works wherever it is moved to.
include(CMakePackageConfigHelpers)

set(PLIX_PACKAGE_NAME readplixtrace)
set(plix_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PLIX_PACKAGE_NAME})
set(plix_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/PlixTrace)
set(plix_pkgconfigdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Run paths relative to the binaries themselves.
file(RELATIVE_PATH plix_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(ReadPLIXTrace rthpart plixwrite PROPERTIES
                      INSTALL_RPATH "$ORIGIN/${plix_bin_to_lib}")
set_target_properties(plixwriter PROPERTIES INSTALL_RPATH "$ORIGIN" EXPORT_NAME writer)
set_target_properties(rth PROPERTIES EXPORT_NAME rth)

install(TARGETS ReadPLIXTrace rthpart plixwrite RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS plixwriter rth rth_headers EXPORT PlixTraceTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES writer/include/plixtrace/plixwriter.h
              writer/include/plixtrace/PlixWriter.hpp
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/plixtrace)
install(FILES rth/RthLib.h rth/RthAdmin.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/plixtrace/rth)

# Installed binaries are stripped as Debian strips them (debug information, the static symbol
# table, .comment and .note; shared libraries also lose symbols no relocation needs). Their
# dynamic symbols stay: the fatal path's stack trace names functions through them.
set(plix_strip_programs
    ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:ReadPLIXTrace>
    ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:rthpart>
    ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:plixwrite>)
set(plix_strip_libraries
    ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:plixwriter>
    ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:rth>)
install(CODE "
  foreach(kind programs libraries)
    set(options --remove-section=.comment --remove-section=.note)
    if(kind STREQUAL libraries)
      list(APPEND options --strip-unneeded)
      set(files \"${plix_strip_libraries}\")
    else()
      set(files \"${plix_strip_programs}\")
    endif()
    foreach(file \${files})
      execute_process(COMMAND \"${CMAKE_STRIP}\" \${options}
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\"
                      RESULT_VARIABLE status)
      if(NOT status EQUAL 0)
        message(FATAL_ERROR \"cannot strip \${file}\")
      endif()
    endforeach()
  endforeach()")

# CMake package: find_package(PlixTrace) gives PlixTrace::writer and PlixTrace::rth.
install(EXPORT PlixTraceTargets NAMESPACE PlixTrace:: DESTINATION ${plix_cmakedir})
configure_package_config_file(cmake/packaging/PlixTraceConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/packaging/PlixTraceConfig.cmake
                              INSTALL_DESTINATION ${plix_cmakedir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/PlixTraceConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/PlixTraceConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/PlixTraceConfigVersion.cmake
        DESTINATION ${plix_cmakedir})

# pkg-config module: its prefix is found from the file's own place.
file(RELATIVE_PATH PLIX_PC_TO_PREFIX /${plix_pkgconfigdir} /)
string(REGEX REPLACE "/$" "" PLIX_PC_TO_PREFIX "${PLIX_PC_TO_PREFIX}")
configure_file(cmake/packaging/plixwriter.pc.in ${CMAKE_BINARY_DIR}/packaging/plixwriter.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/plixwriter.pc DESTINATION ${plix_pkgconfigdir})

# Manual pages, with the project's version, compressed as Debian wants them.
set(plix_manpages app/ReadPLIXTrace.1 tools/rthpart/rthpart.1 tools/plixwrite/plixwrite.1)
set(plix_manpages_gz)
foreach(page ${plix_manpages})
  get_filename_component(name ${page} NAME)
  set(man ${CMAKE_BINARY_DIR}/packaging/man/${name})
  configure_file(${page} ${man} @ONLY)
  add_custom_command(OUTPUT ${man}.gz COMMAND gzip -9n -c ${man} > ${man}.gz DEPENDS ${man}
                     VERBATIM)
  list(APPEND plix_manpages_gz ${man}.gz)
endforeach()

# Documents: README, the copyright file (Debian's format, with the LICENSE text) and the
# changelog, both made from the sources here.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE plix_license)
string(STRIP "${plix_license}" plix_license)
string(REGEX REPLACE "\n\n" "\n.\n" plix_license "${plix_license}")
string(REGEX REPLACE "\n" "\n " PLIX_LICENSE_TEXT "${plix_license}")
configure_file(cmake/packaging/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
configure_file(cmake/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
set(plix_docs_gz ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
                 ${CMAKE_BINARY_DIR}/packaging/README.md.gz)
add_custom_command(OUTPUT ${plix_docs_gz}
                   COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
                           > ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/README.md
                           > ${CMAKE_BINARY_DIR}/packaging/README.md.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
                           ${PROJECT_SOURCE_DIR}/README.md VERBATIM)
add_custom_target(plix_install_files ALL DEPENDS ${plix_manpages_gz} ${plix_docs_gz})

install(FILES ${plix_manpages_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${plix_docs_gz} DESTINATION ${plix_docdir})
install(FILES cmake/packaging/tmpfiles.conf DESTINATION lib/tmpfiles.d
        RENAME ${PLIX_PACKAGE_NAME}.conf)

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PLIX_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(PLIX_MAINTAINER "ReadPLIXTrace developers <readplixtrace@example.org>")
set(CPACK_PACKAGE_CONTACT "${PLIX_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "reader and writer of a real-time trace queue in shared memory")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ReadPLIXTrace drains the trace text that real-time software writes into a
single-reader queue in the shared-memory partition plixtrace, prints every
record and keeps its first line in rotating log files under /tmp/jub_logs.

The package also holds the partition admin tool rthpart, the command-line
writer plixwrite, the partition library stand-in librth and the writer
library libplixwriter with its headers, pkg-config module and CMake package.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The shared libraries: a shlibs file of our own and the ldconfig trigger (CPack's generated
# ones call ldconfig from the maintainer scripts instead).
configure_file(cmake/packaging/shlibs.in ${CMAKE_BINARY_DIR}/packaging/shlibs @ONLY)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/packaging/postinst
    ${PROJECT_SOURCE_DIR}/cmake/packaging/postrm ${PROJECT_SOURCE_DIR}/cmake/packaging/triggers
    ${CMAKE_BINARY_DIR}/packaging/shlibs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES OFF)
include(CPack)
