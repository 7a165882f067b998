# Debian packages of the install components, made by CPack from the build tree:
#
#   scripts/package                  (from a fresh clone: bootstrap, a Release build, cpack)
#   cd build && cpack -G DEB        (from a built tree; or: cmake --build build --target package)
#
# libtamsor-zipfs1 (the shared library), libtamsor-zipfs-dev (headers, the .so link, the CMake package and
# the pkg-config file) and zipfs (the tool, its manual page and its bash completion), as Debian splits a
# library and its tool. Dependencies on other packages come from the binaries (dpkg-shlibdeps); the library
# package carries a shlibs file and the ldconfig trigger; the others depend on it at this very version.
# Included by the top-level CMakeLists.txt last, once every component has its install rules.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Tamsor")
set(CPACK_PACKAGE_CONTACT "Tamsor developers <zipfs@tamsor.example>")
# Each package's first description line is its own summary: CPack prepends the project's to every one unless the
# summary is left at CPack's own default, which it then takes for "none given".
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)  # as Debian ships binaries; the build tree keeps its symbols
set(CPACK_COMPONENTS_ALL library dev)
if(TARGET zipfs)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tamsor.example/zipfs")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool links the library of its sibling package: dpkg-shlibdeps finds it (and its shlibs) there.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# A shlibs file for each package that holds a shared library with a SONAME: only libtamsor-zipfs1 does.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_COMPONENT_DEV_DEPENDS library)
set(CPACK_COMPONENT_TOOL_DEPENDS library)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtamsor-zipfs${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "ZIP archives as read-only virtual file systems (shared library)
Presents one ZIP archive as a read-only virtual file system, and reads its members at any offset
(stored, deflated, bzip2, LZMA, xz, zstd; ZipCrypto and WinZip AES).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtamsor-zipfs-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# The public headers include log4cplus's and ACE's; the pkg-config file and the CMake package find them.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "liblog4cplus-dev, libace-dev, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "ZIP archives as read-only virtual file systems (development files)
Headers, the CMake package TamsorZipfs and the pkg-config file tamsor-zipfs.")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME zipfs)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
# fusermount3 and mount.fuse3 (unmounting, mount -t fuse.zipfs and /etc/fstab) are in fuse3, not in libfuse3.
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "read, extract and mount ZIP archives
zipfs lists, tests, extracts and prints the members of ZIP archives (zip64, more than 65,535 members,
encrypted members with their password) and mounts an archive read-only through FUSE, also from
/etc/fstab (type fuse.zipfs).")

include(CPack)
