# Sourced by the shell checks (tests/install, tests/package): a scratch directory removed on success and kept,
# its path printed, on failure; fail and step for their messages. Call scratchCheck NAME first.

scratchCheck() {
    checkName=$1
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/tamsor-$checkName-check.XXXXXX")
    trap cleanup EXIT
}
cleanup() {
    local status=$?
    if [[ $status -eq 0 ]]; then
        rm -rf "$scratch"
    else
        echo "$checkName check FAILED; scratch directory kept: $scratch" >&2
    fi
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    echo "--- $*"
}
