# What the shell tests share: a scratch folder $tmp, removed on exit, and
# checks that count their failures.  Source it, call fail for each check
# that fails, and end with checks_done.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
# checks_done NAME TEXT: ends the test, with status 1 after a failure, else
# saying "NAME: TEXT".
checks_done() {
    if [ "$failures" -ne 0 ]; then
        echo "$1: $failures check(s) failed"
        exit 1
    fi
    echo "$1: $2"
}
