# Installation of the library, its headers, a CMake package (TamsorZipfs) and a pkg-config file
# (tamsor-zipfs.pc). Included by the top-level CMakeLists.txt after the tamsor-zipfs target is defined.
#
# Each file goes to a component, one Debian package each (cmake/Package.cmake): the shared library to
# "library", what hosts build with (headers, the .so link, the CMake package, the pkg-config file) to "dev".
# The zipfs tool ("tool") is installed by tools/CMakeLists.txt itself: that directory is added after this file is
# included, so `if(TARGET zipfs)` would always be false here.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# CMAKE_INSTALL_LIBDIR is "lib" (the top-level file sets it before GNUInstallDirs): hosts find PREFIX/lib.
set(TAMSOR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TamsorZipfs)

install(TARGETS tamsor-zipfs
  EXPORT TamsorZipfsTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tamsor/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tamsor
  COMPONENT dev
  FILES_MATCHING PATTERN "*.h"
)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/infra/include/tamsor/infra/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tamsor/infra
  COMPONENT dev
  FILES_MATCHING PATTERN "*.h"
)

# The exported link interface names PkgConfig::LOG4CPLUS, PkgConfig::ACE and Threads::Threads as they are:
# imported targets need no export set of their own. TamsorZipfsConfig.cmake creates them again, under the
# same names, before it loads the targets file. zziplib, ISA-L and the libraries of the decoders and ciphers
# are private to a shared library and do not appear in the exported interface.
install(EXPORT TamsorZipfsTargets
  FILE TamsorZipfsTargets.cmake
  NAMESPACE Tamsor::
  DESTINATION ${TAMSOR_CMAKE_PACKAGE_DIR}
  COMPONENT dev
)

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/TamsorZipfsConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TamsorZipfsConfig.cmake
  INSTALL_DESTINATION ${TAMSOR_CMAKE_PACKAGE_DIR}
)
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/TamsorZipfsConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion
)
install(FILES
  ${PROJECT_BINARY_DIR}/TamsorZipfsConfig.cmake
  ${PROJECT_BINARY_DIR}/TamsorZipfsConfigVersion.cmake
  DESTINATION ${TAMSOR_CMAKE_PACKAGE_DIR}
  COMPONENT dev
)

# pkg-config file, in two passes. At configure time everything but the prefix is filled in; the prefix is
# filled in at install time, because `cmake --install <build> --prefix <dir>` chooses it only then. file(INSTALL)
# honours DESTDIR and records the file in install_manifest.txt.
foreach(_dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(TAMSOR_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(TAMSOR_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
set(TAMSOR_PC_PREFIX "@TAMSOR_PC_PREFIX@")  # left for the install-time pass
set(_tamsorPcStage ${PROJECT_BINARY_DIR}/pkgconfig/tamsor-zipfs.pc.in)
configure_file(${CMAKE_CURRENT_LIST_DIR}/tamsor-zipfs.pc.in ${_tamsorPcStage} @ONLY)
install(CODE "
  set(TAMSOR_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file([[${_tamsorPcStage}]] [[${PROJECT_BINARY_DIR}/pkgconfig/tamsor-zipfs.pc]] @ONLY)
  file(INSTALL [[${PROJECT_BINARY_DIR}/pkgconfig/tamsor-zipfs.pc]]
       DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT dev)
