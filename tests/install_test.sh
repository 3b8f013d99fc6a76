#!/usr/bin/env bash
# What installation delivers: `cmake --install` puts the program in bin/ and
# the manual page in share/man/man1/, the page renders without a warning,
# and the Debian package that CPack makes holds the same two files.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

echo "== cmake --install"
cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install failed"; exit 1; }
program=$tmp/prefix/bin/vorlen
page=$tmp/prefix/share/man/man1/vorlen.1
if [ -x "$program" ]; then
    "$program" -v >"$tmp/version" 2>&1 || fail "installed vorlen -v ended with status $?"
    grep -q '^vorlen version ' "$tmp/version" || fail "installed vorlen -v printed: $(head -1 "$tmp/version")"
else
    fail "no executable bin/vorlen"
fi
if [ -f "$page" ]; then
    cmp -s "$page" "$source_dir/man/vorlen.1" || fail "share/man/man1/vorlen.1 differs from man/vorlen.1"
else
    fail "no share/man/man1/vorlen.1"
fi

echo "== man --warnings -l"
if ! command -v man >/dev/null; then
    echo "skipped: man is not installed"
elif [ -f "$page" ]; then
    # groff's warnings (-ww) go to the error stream; the page itself to a file.
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >"$tmp/page.txt" 2>"$tmp/man.err" ||
        fail "man -l ended with status $?"
    if [ -s "$tmp/man.err" ]; then
        cat "$tmp/man.err"
        fail "man --warnings -l printed warnings"
    fi
    grep -q 'vorlen' "$tmp/page.txt" || fail "the rendered page does not name vorlen"
fi

echo "== cpack -G DEB"
if ! command -v cpack >/dev/null || ! command -v dpkg-deb >/dev/null ||
    ! command -v dpkg-shlibdeps >/dev/null; then
    # The package's dependencies are found by dpkg-shlibdeps (dpkg-dev).
    echo "skipped: cpack, dpkg-deb or dpkg-shlibdeps is not installed"
elif [ ! -f "$build/CPackConfig.cmake" ]; then
    fail "no CPackConfig.cmake in $build"
else
    # -B keeps the package and CPack's staging tree out of the build
    # directory.  CPack first brings the build up to date (its preinstall
    # step), which costs nothing after the build that ctest follows.
    if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1; then
        deb=$(find "$tmp/package" -maxdepth 1 -name '*.deb' | head -1)
        if [ -z "$deb" ]; then
            fail "cpack made no .deb"
        else
            dpkg-deb -c "$deb" >"$tmp/contents"
            grep -Eq ' \./usr/bin/vorlen$' "$tmp/contents" || fail "the package lacks usr/bin/vorlen"
            grep -Eq ' \./usr/share/man/man1/vorlen\.1(\.gz)?$' "$tmp/contents" ||
                fail "the package lacks usr/share/man/man1/vorlen.1"
        fi
    else
        cat "$tmp/cpack.log"
        fail "cpack -G DEB failed"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "install: all checks passed"
