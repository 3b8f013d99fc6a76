#!/usr/bin/env bash
# The hardening of a built program, read from its ELF headers: a
# position-independent executable (type DYN), a GNU_RELRO segment and
# BIND_NOW (relocations done at start-up, then read-only).  With "static",
# also no program interpreter: the program starts without the dynamic
# loader (-static-pie, not -static, which makes a fixed-address EXEC).
#
#   hardening_test.sh PROGRAM [static]
set -euo pipefail
program=$1
static=${2:-}
if ! command -v readelf >/dev/null; then
    echo "skipped: readelf is not installed"
    exit 0
fi
if ! head -c 4 "$program" | grep -q 'ELF'; then
    echo "skipped: $program is not an ELF file"
    exit 0
fi
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
headers=$(LC_ALL=C readelf -h -l -d "$program")
grep -Eq '^ +Type: +DYN ' <<<"$headers" ||
    fail "not position-independent: $(grep -E '^ +Type:' <<<"$headers")"
grep -Eq '^ +GNU_RELRO ' <<<"$headers" || fail "no GNU_RELRO segment"
grep -Eq '\((FLAGS)\) +.*BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' <<<"$headers" ||
    fail "no BIND_NOW (FLAGS BIND_NOW or FLAGS_1 NOW)"
if [ "$static" = static ] && grep -Eq '^ +INTERP ' <<<"$headers"; then
    fail "has a program interpreter, so it is not statically linked"
fi
if [ "$failures" -ne 0 ]; then
    echo "$program: $failures check(s) failed"
    exit 1
fi
echo "$program: DYN, GNU_RELRO, BIND_NOW${static:+, no interpreter}"
