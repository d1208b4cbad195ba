# Installation (cmake --install, GNU install directories). Included from the top-level
# CMakeLists.txt on POSIX builds. The Debian packages (scripts/package) are made from this
# install by debhelper, with the files in cmake/packaging/debian.
#
#   bin/           ReadPLIXTrace, rthpart, plixwrite (run path $ORIGIN/<bin to lib>)
#   lib/           librth.so.1, libplixwriter.so.1 (run path $ORIGIN), their development links,
#                  pkgconfig/plixwriter.pc, cmake/PlixTrace/ (PlixTrace::writer, PlixTrace::rth)
#                  (lib/<multiarch triplet>/ when the prefix is /usr)
#   include/plixtrace/   plixwriter.h, PlixWriter.hpp, rth/RthLib.h, rth/RthAdmin.h
#   share/man/man1/      the three manual pages
#   share/doc/readplixtrace/   README, copyright
#   lib/tmpfiles.d/readplixtrace.conf   creates /tmp/jub_logs for root at boot
#
# Every path inside the tree is relative, so an installed tree works wherever it is moved to;
# except on a system install (the library directory is one the linker searches anyway, as
# /usr/lib/<triplet>): there binaries carry no run path and the pkg-config module names the
# prefix itself, as Debian wants them.
include(CMakePackageConfigHelpers)

# Off where the packaging splits the debug information off itself (scripts/package).
option(PLIX_INSTALL_STRIP "Strip the installed programs and libraries" ON)

set(plix_system_install OFF)
if("${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES OR
   "${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES)
  set(plix_system_install ON)
endif()

set(PLIX_PACKAGE_NAME readplixtrace)
set(plix_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PLIX_PACKAGE_NAME})
set(plix_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/PlixTrace)
set(plix_pkgconfigdir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Run paths relative to the binaries themselves; none on a system install.
if(NOT plix_system_install)
  file(RELATIVE_PATH plix_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(ReadPLIXTrace rthpart plixwrite PROPERTIES
                        INSTALL_RPATH "$ORIGIN/${plix_bin_to_lib}")
  set_target_properties(plixwriter PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
set_target_properties(plixwriter PROPERTIES EXPORT_NAME writer)
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
# dynamic symbols stay: the fatal path's stack trace names functions through them. The Debian
# build turns this off: dh_strip strips and keeps the debug information in -dbgsym packages.
set(plix_strip_programs
    ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:ReadPLIXTrace>
    ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:rthpart>
    ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:plixwrite>)
set(plix_strip_libraries
    ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:plixwriter>
    ${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:rth>)
if(PLIX_INSTALL_STRIP)
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
endif()

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

# pkg-config module: its prefix is found from the file's own place, or on a system install is
# the prefix itself (so that pkg-config drops the system directories and prints -lplixwriter).
if(plix_system_install)
  set(PLIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH plix_pc_to_prefix /${plix_pkgconfigdir} /)
  string(REGEX REPLACE "/$" "" plix_pc_to_prefix "${plix_pc_to_prefix}")
  set(PLIX_PC_PREFIX "\${pcfiledir}/${plix_pc_to_prefix}")
endif()
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

# Documents: README and the copyright file (Debian's format, with the LICENSE text, made from
# the sources here; the Debian build takes it as debian/copyright).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE plix_license)
string(STRIP "${plix_license}" plix_license)
string(REGEX REPLACE "\n\n" "\n.\n" plix_license "${plix_license}")
string(REGEX REPLACE "\n" "\n " PLIX_LICENSE_TEXT "${plix_license}")
configure_file(cmake/packaging/copyright.in ${CMAKE_BINARY_DIR}/packaging/copyright @ONLY)
set(plix_docs_gz ${CMAKE_BINARY_DIR}/packaging/README.md.gz)
add_custom_command(OUTPUT ${plix_docs_gz}
                   COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/README.md
                           > ${CMAKE_BINARY_DIR}/packaging/README.md.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/README.md VERBATIM)
add_custom_target(plix_install_files ALL DEPENDS ${plix_manpages_gz} ${plix_docs_gz})

install(FILES ${plix_manpages_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${plix_docs_gz} DESTINATION ${plix_docdir})
install(FILES cmake/packaging/tmpfiles.conf DESTINATION lib/tmpfiles.d
        RENAME ${PLIX_PACKAGE_NAME}.conf)
