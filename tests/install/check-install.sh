#!/usr/bin/env bash
# Installs a build tree into a scratch prefix and checks the install tree as a host would use it:
# headers, the shared library and its SONAME, the pkg-config file, the CMake package, and the zipfs tool
# run from the install tree with no LD_LIBRARY_PATH (it finds the library through its run path).
#
#   check-install.sh BUILD_DIR SOURCE_DIR
#
# The scratch directory is removed on success and kept (its path printed) on failure.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
    exit 2
fi
buildDir=$(cd "$1" && pwd)
sourceDir=$(cd "$2" && pwd)

. "$(dirname "$0")/../support/scratch-check.sh"
scratchCheck install

prefix=$scratch/prefix
libDir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$buildDir/CMakeCache.txt")
includeDir=$(sed -n 's/^CMAKE_INSTALL_INCLUDEDIR:[A-Z]*=//p' "$buildDir/CMakeCache.txt")
binDir=$(sed -n 's/^CMAKE_INSTALL_BINDIR:[A-Z]*=//p' "$buildDir/CMakeCache.txt")
[[ -n $libDir && -n $includeDir ]] || fail "CMAKE_INSTALL_LIBDIR/INCLUDEDIR not found in $buildDir/CMakeCache.txt"

step "cmake --install $buildDir --prefix $prefix"
cmake --install "$buildDir" --prefix "$prefix" >"$scratch/install.log" || {
    cat "$scratch/install.log" >&2
    fail "cmake --install failed"
}

step "headers"
headers=(VirtualFileSystem.h CountedObjPtr.h ZIPFileSystem.h)
if [[ -f $sourceDir/include/tamsor/ZIPEncryptedFileSystem.h ]]; then
    headers+=(ZIPEncryptedFileSystem.h)
fi
# Every other public header of the source tree is installed too.
for source in "$sourceDir"/include/tamsor/*.h; do
    header=$(basename "$source")
    [[ " ${headers[*]} " == *" $header "* ]] || headers+=("$header")
done
for header in "${headers[@]}"; do
    [[ -f $prefix/$includeDir/tamsor/$header ]] || fail "missing $includeDir/tamsor/$header"
done
infraCount=0
for source in "$sourceDir"/infra/include/tamsor/infra/*.h; do
    header=$(basename "$source")
    [[ -f $prefix/$includeDir/tamsor/infra/$header ]] || fail "missing $includeDir/tamsor/infra/$header"
    infraCount=$((infraCount + 1))
done
[[ $infraCount -gt 0 ]] || fail "no infra headers in $sourceDir/infra/include/tamsor/infra"
echo "${#headers[@]} public and $infraCount infra headers installed"

step "shared library"
library=$prefix/$libDir/libtamsor-zipfs.so
[[ -L $library ]] || fail "$libDir/libtamsor-zipfs.so is not a symlink"
[[ -L $library.1 ]] || fail "$libDir/libtamsor-zipfs.so.1 is not a symlink"
[[ -f $library.1.0.0 && ! -L $library.1.0.0 ]] || fail "$libDir/libtamsor-zipfs.so.1.0.0 is not a file"
soname=$(readelf -d "$library" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p')
[[ $soname == libtamsor-zipfs.so.1 ]] || fail "SONAME is '$soname', expected libtamsor-zipfs.so.1"
echo "SONAME $soname"

step "archives"
mkdir -p "$scratch/content/docs"
echo "hello from the install check" >"$scratch/content/docs/readme.txt"
echo "second file" >"$scratch/content/notes.txt"
(cd "$scratch/content" && zip -q -r "$scratch/sample.zip" docs notes.txt)
echo "this is not a ZIP archive" >"$scratch/not-a-zip.zip"

# Runs a host on the sample archive (expects "bound", exit 0) and on a non-archive (expects exit 1).
runHost() {
    local name=$1 host=$2 output status line
    # ldd's output is taken whole first: `ldd | grep -q` can kill ldd with SIGPIPE, which pipefail reports.
    local libraries
    libraries=$(LD_LIBRARY_PATH=$prefix/$libDir ldd "$host")
    grep -q "libtamsor-zipfs.so.1 => $prefix/$libDir/" <<<"$libraries" ||
        fail "$name host does not load the installed library"
    status=0
    output=$(LD_LIBRARY_PATH=$prefix/$libDir "$host" "$scratch/sample.zip" 2>&1) || status=$?
    while IFS= read -r line; do echo "  [$name] $line"; done <<<"$output"
    [[ $status -eq 0 ]] || fail "$name host exited with $status on sample.zip"
    grep -qx "bound" <<<"$output" || fail "$name host did not print 'bound'"
    status=0
    output=$(LD_LIBRARY_PATH=$prefix/$libDir "$host" "$scratch/not-a-zip.zip" 2>&1) || status=$?
    [[ $status -eq 1 ]] || fail "$name host exited with $status on a non-archive, expected 1"
    ! grep -qx "bound" <<<"$output" || fail "$name host printed 'bound' for a non-archive"
}

step "host built with pkg-config"
mkdir -p "$scratch/src/consumer"
cp "$sourceDir/tests/install/host.cpp" "$scratch/src/host.cpp"
cp "$sourceDir/tests/install/consumer/CMakeLists.txt" "$scratch/src/consumer/CMakeLists.txt"
pcFlags=$(PKG_CONFIG_PATH=$prefix/$libDir/pkgconfig pkg-config --cflags --libs tamsor-zipfs) ||
    fail "pkg-config does not know tamsor-zipfs"
echo "pkg-config: $pcFlags"
# Word splitting of the flags is intended.
# shellcheck disable=SC2086
(cd "$scratch/src" && g++ -std=c++17 -Wall -Wextra host.cpp $pcFlags -o "$scratch/host-pkgconfig") ||
    fail "compiling host.cpp with the pkg-config flags failed"
runHost pkg-config "$scratch/host-pkgconfig"

step "host built with find_package(TamsorZipfs)"
cmake -S "$scratch/src/consumer" -B "$scratch/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$scratch/consumer-configure.log" 2>&1 || {
    cat "$scratch/consumer-configure.log" >&2
    fail "configuring the consumer project failed"
}
packageDir=$(sed -n 's/^TamsorZipfs_DIR:[A-Z]*=//p' "$scratch/consumer-build/CMakeCache.txt")
[[ $packageDir == "$prefix/$libDir/cmake/TamsorZipfs" ]] || fail "the consumer found TamsorZipfs in '$packageDir'"
cmake --build "$scratch/consumer-build" >"$scratch/consumer-build.log" 2>&1 || {
    cat "$scratch/consumer-build.log" >&2
    fail "building the consumer project failed"
}
runHost cmake "$scratch/consumer-build/host"

if [[ -f $buildDir/tools/zipfs ]]; then
    step "zipfs from the install tree, without LD_LIBRARY_PATH"
    zipfs=$prefix/${binDir:-bin}/zipfs
    [[ -x $zipfs ]] || fail "zipfs is not installed in ${binDir:-bin}"
    libraries=$(env -u LD_LIBRARY_PATH ldd "$zipfs")
    found=$(sed -n 's/.*libtamsor-zipfs.so.1 => \([^ ]*\) .*/\1/p' <<<"$libraries")
    [[ -n $found && $(readlink -f "$found") == $(readlink -f "$library.1") ]] ||
        fail "the installed zipfs does not find the installed library by itself (found '$found')"
    version=$(env -u LD_LIBRARY_PATH "$zipfs" --version) || fail "zipfs --version failed"
    echo "$version"
    [[ $version == "zipfs "[0-9]* ]] || fail "zipfs --version printed '$version'"
    env -u LD_LIBRARY_PATH "$zipfs" --help >/dev/null || fail "zipfs --help failed"
    content=$(env -u LD_LIBRARY_PATH "$zipfs" cat "$scratch/sample.zip" docs/readme.txt) || fail "zipfs cat failed"
    [[ $content == "hello from the install check" ]] || fail "zipfs cat printed '$content'"
fi

echo "install tree OK"
