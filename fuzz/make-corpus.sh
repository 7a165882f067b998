#!/usr/bin/env bash
# Builds the fuzzer's seed corpus in OUTPUT_DIRECTORY (a build directory: the corpus is never checked in): the
# archives tamsor-make-seeds writes, plus what a real archiver writes (extra fields, attributes, data descriptors,
# zip64 records), made by Info-ZIP's zip with fixed times, so that the corpus is the same on every build.
#
#   fuzz/make-corpus.sh MAKE_SEEDS_PROGRAM OUTPUT_DIRECTORY
set -euo pipefail
out=$2
rm -rf "$out" && mkdir -p "$out"
"$1" "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p tree/sub/deeper tree/empty
printf 'hello from the tree\n' >tree/hello.txt
printf 'line %d of a deflated member\n' 1 2 3 4 5 6 7 8 >tree/sub/lines.txt
printf '\000\001\002\003binary' >tree/sub/deeper/bytes.bin
touch -d '2001-02-03 04:05:06' tree tree/* tree/*/* tree/*/*/*
zip -q -r -X "$out/infozip-tree.zip" tree
printf 'streamed through a pipe\n' | zip -q -fz- - - >"$out/infozip-streamed.zip"  # data descriptors
zip -q -fz "$out/infozip-zip64.zip" tree/hello.txt                                # zip64 records, forced
printf 'zip64 through a pipe\n' | zip -q - - >"$out/infozip-pipe-zip64.zip"       # beside complete end records
echo "make-corpus: $(find "$out" -type f | wc -l) seeds in $out"
