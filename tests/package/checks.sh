# Counted checks for the package tests, sourced by each of them.
failures=0 checks=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect MESSAGE COMMAND...: one check, failed with MESSAGE when COMMAND fails.
expect() {
    local message=$1
    shift
    checks=$((checks + 1))
    "$@" || fail "$message"
}
