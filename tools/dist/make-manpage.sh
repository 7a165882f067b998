#!/usr/bin/env bash
# Makes the manual page zipfs(1) from the tool's own help, so that the two never disagree: help2man turns
# `zipfs --help` into the page's synopsis and description, and each `zipfs COMMAND --help` becomes a
# subsection of COMMANDS (through help-to-roff.awk).
#
#   make-manpage.sh ZIPFS OUTPUT
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 ZIPFS OUTPUT" >&2
    exit 2
fi
zipfs=$1
output=$2
here=$(dirname "$0")
include=$output.sections

commands=$("$zipfs" --help | awk '/^Commands:$/ { listed = 1; next } listed && /^$/ { exit } listed { print $1 }')
[[ -n $commands ]] || {
    echo "$0: '$zipfs --help' lists no commands" >&2
    exit 1
}
{
    echo "[COMMANDS]"
    for command in $commands; do
        "$zipfs" "$command" --help | awk -f "$here/help-to-roff.awk"
    done
    echo "[SEE ALSO]"
    echo ".BR unzip (1),"
    echo ".BR fusermount3 (1),"
    echo ".BR mount.fuse3 (8),"
    echo ".BR fstab (5)"
} >"$include"
help2man --no-info --section=1 --name="read, extract and mount ZIP archives" --include="$include" \
    --output="$output.tmp" "$zipfs"
rm -f "$include"
mv "$output.tmp" "$output"
