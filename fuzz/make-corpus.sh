#!/usr/bin/env bash
# Builds the fuzzer's seed corpus in OUTPUT_DIRECTORY (a build directory: the corpus is never checked in):
# the archives that tamsor-make-seeds writes, plus a few that Info-ZIP's zip makes, so that the corpus also holds
# what a real archiver writes (extra fields, version fields, attributes, data descriptors, zip64 records).
#
#   fuzz/make-corpus.sh MAKE_SEEDS_PROGRAM OUTPUT_DIRECTORY
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 MAKE_SEEDS_PROGRAM OUTPUT_DIRECTORY" >&2
    exit 2
fi
makeSeeds=$1
out=$2

command -v zip >/dev/null || {
    echo "make-corpus: Info-ZIP's zip is not installed (scripts/bootstrap installs it)" >&2
    exit 1
}

rm -rf "$out"
mkdir -p "$out"
"$makeSeeds" "$out"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(
    cd "$work"
    mkdir -p tree/sub/deeper tree/empty
    printf 'hello from the tree\n' >tree/hello.txt
    for i in 1 2 3 4 5 6 7 8; do printf 'line %d of a deflated member\n' "$i"; done >tree/sub/lines.txt
    printf '\000\001\002\003binary' >tree/sub/deeper/bytes.bin
    # Recursive, deflated, directory members included; fixed times so the corpus is the same on every build.
    touch -d '2001-02-03 04:05:06' tree tree/* tree/*/* tree/*/*/*
    zip -q -r -X "$out/infozip-tree.zip" tree
    # Streamed from a pipe: sizes and CRC follow the data in data descriptors; no zip64 records.
    printf 'streamed through a pipe\n' | zip -q -fz- - - >"$out/infozip-streamed.zip"
    # Zip64 end records and fields, forced; and from a pipe, zip64 end records beside complete end records.
    zip -q -fz "$out/infozip-zip64.zip" tree/hello.txt
    printf 'zip64 through a pipe\n' | zip -q - - >"$out/infozip-pipe-zip64.zip"
)
echo "make-corpus: $(find "$out" -type f | wc -l) seeds in $out"
