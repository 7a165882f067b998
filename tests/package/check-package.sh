#!/usr/bin/env bash
# Makes the Debian packages of a build tree in a scratch directory, as the README says (cpack -G DEB), and
# checks them: their names, that dpkg-shlibdeps computed their dependencies, the files each holds, and that the
# tool's manual page (made from its --help) and bash completion are there and whole. Without dpkg-deb, the
# tool's install component is checked for the same two files instead.
#
#   check-package.sh BUILD_DIR CPACK
#
# The scratch directory is removed on success and kept (its path printed) on failure.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 BUILD_DIR CPACK" >&2
    exit 2
fi
buildDir=$(cd "$1" && pwd)
cpack=$2

. "$(dirname "$0")/../support/scratch-check.sh"
scratchCheck package

# The manual page names every command of `zipfs --help` and tells the fstab form; the completion is bash and
# completes zipfs. Both under ROOT (a package's files, or an install prefix).
checkManualAndCompletion() {
    local root=$1 zipfs=$2 manual=$1/share/man/man1/zipfs.1 completion=$1/share/bash-completion/completions/zipfs
    [[ -f $manual ]] || fail "no manual page share/man/man1/zipfs.1"
    [[ -f $completion ]] || fail "no bash completion share/bash-completion/completions/zipfs"
    local command
    for command in $("$zipfs" --help | awk '/^Commands:$/ { l = 1; next } l && /^$/ { exit } l { print $1 }'); do
        grep -q "^\.SS \"zipfs $command " "$manual" || fail "the manual page has no section for '$command'"
    done
    grep -q 'fuse\.zipfs' "$manual" || fail "the manual page does not tell the fstab form"
    bash -n "$completion" || fail "the completion is not valid bash"
    # Completed as bash would: a command, and a member whose name holds a space, quoted for the line.
    mkdir -p "$scratch/tree/docs" && touch "$scratch/tree/my file.txt" "$scratch/tree/docs/a.txt"
    (cd "$scratch/tree" && zip -q -r ../a.zip .)
    local completed
    completed=$(cd "$scratch" && PATH=$(dirname "$zipfs"):$PATH bash -c 'source "$1"
        complete() { COMP_WORDS=("${@:2}"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zipfs; echo "${COMPREPLY[*]}"; }
        complete "$1" zipfs ex; complete "$1" zipfs cat a.zip my; complete "$1" zipfs stat a.zip do' _ "$completion")
    [[ $completed == $'extract\nmy\\ file.txt\ndocs/ docs/a.txt' ]] || fail "the completion gives: $completed"
    echo "manual page and completion present"
}

if ! command -v dpkg-deb >/dev/null; then
    step "no dpkg-deb: the tool's install component"
    cmake --install "$buildDir" --component tool --prefix "$scratch/prefix" >"$scratch/install.log"
    checkManualAndCompletion "$scratch/prefix" "$buildDir/tools/zipfs"
    exit 0
fi

step "cpack -G DEB"
(cd "$buildDir" && "$cpack" -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1 || {
    cat "$scratch/cpack.log" >&2
    fail "cpack failed"
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$buildDir/CMakeCache.txt")
arch=$(dpkg --print-architecture)
declare -A files=(
    [zipfs]="./usr/bin/zipfs ./usr/share/man/man1/zipfs.1 ./usr/share/bash-completion/completions/zipfs"
    [libtamsor-zipfs1]="./usr/lib/libtamsor-zipfs.so.1 ./usr/lib/libtamsor-zipfs.so.${version}"
    [libtamsor-zipfs-dev]="./usr/lib/libtamsor-zipfs.so ./usr/include/tamsor/ArchiveIndex.h
        ./usr/lib/pkgconfig/tamsor-zipfs.pc ./usr/lib/cmake/TamsorZipfs/TamsorZipfsConfig.cmake"
)
# What dpkg-shlibdeps must have found in each package's binaries (beside the sibling package).
declare -A depends=(
    [zipfs]="libtamsor-zipfs1 fuse3 libfuse3-3 libc6"
    [libtamsor-zipfs1]="libzzip-0-13 libisal2 libc6"
    [libtamsor-zipfs-dev]="libtamsor-zipfs1 liblog4cplus-dev"
)
for package in "${!files[@]}"; do
    deb=$scratch/out/${package}_${version}-1_${arch}.deb
    [[ -f $deb ]] || fail "no package $(basename "$deb") (made: $(ls "$scratch/out"))"
    contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
    for file in ${files[$package]}; do
        grep -qx -- "$file" <<<"$contents" || fail "$package does not hold $file"
    done
    packageDepends=$(dpkg-deb -f "$deb" Depends)
    for dependency in ${depends[$package]}; do
        [[ ", $packageDepends," == *", $dependency "[\(,]* || ", $packageDepends," == *", $dependency,"* ]] ||
            fail "$package does not depend on $dependency: $packageDepends"
    done
    echo "$package: $(wc -l <<<"$contents") entries; Depends: $packageDepends"
    dpkg-deb -x "$deb" "$scratch/root"
done

step "the tool as installed from the packages"
zipfs=$scratch/root/usr/bin/zipfs
checkManualAndCompletion "$scratch/root/usr" "$zipfs"
env -u LD_LIBRARY_PATH "$zipfs" --version || fail "zipfs from the package does not run"
echo "packages OK"
