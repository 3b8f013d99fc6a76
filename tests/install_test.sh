#!/usr/bin/env bash
# What installation delivers: `cmake --install` puts the program in bin/,
# the manual page (gzipped) in share/man/man1/, the licence as a Debian
# copyright file and the changelog in share/doc/vorlen/; the page renders
# without a warning and carries the program's version; the Debian package
# that CPack makes holds the same files and version, and lintian finds no
# error or warning in it.  The package part is skipped where cpack or
# dpkg's tools are missing, the page and lintian checks where man or
# lintian is.
#
#   install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
. "$(dirname "$0")/support/checks.sh"
# first_line FILE: its first line, gzipped or not.
first_line() {
    case "$1" in
    *.gz) gzip -dc "$1" | sed -n 1p ;;
    *) sed -n 1p "$1" ;;
    esac
}

echo "== cmake --install"
cmake --install "$build" --prefix "$tmp/prefix" >"$tmp/install.log" 2>&1 ||
    { cat "$tmp/install.log"; fail "cmake --install failed"; exit 1; }
program=$tmp/prefix/bin/vorlen
version=""
if [ -x "$program" ]; then
    "$program" -v >"$tmp/version" 2>&1 || fail "installed vorlen -v ended with status $?"
    # "vorlen version 1.4~beta, lists and extracts ..."
    version=$(sed -n '1s/^vorlen version \([^ ,]*\),.*/\1/p' "$tmp/version")
    [ -n "$version" ] || fail "installed vorlen -v printed: $(head -1 "$tmp/version")"
else
    fail "no executable bin/vorlen"
fi
man1=$tmp/prefix/share/man/man1
page=$(ls "$man1"/vorlen.1.gz "$man1"/vorlen.1 2>/dev/null | head -n 1 || true)
if [ -z "$page" ]; then
    fail "no share/man/man1/vorlen.1.gz"
else
    if command -v gzip >/dev/null && [ "${page%.gz}" = "$page" ]; then
        fail "the manual page is not gzipped although gzip is there"
    fi
    th=$(first_line "$page")
    case "$th" in
    *"\"vorlen $version\""*) ;;
    *) fail "the manual page's title line does not name version $version: $th" ;;
    esac
fi
doc=$tmp/prefix/share/doc/vorlen
if [ -f "$doc/copyright" ]; then
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
        "$doc/copyright" || fail "share/doc/vorlen/copyright lacks the Format line"
    grep -q '^Copyright: 2026 vorlen developers$' "$doc/copyright" ||
        fail "share/doc/vorlen/copyright lacks the copyright holder"
    # The licence text of LICENSE, indented, an empty line as " ."
    sed -n '/^Permission is hereby granted/,$p' "$source_dir/LICENSE" |
        sed -e 's/^$/./' -e 's/^/ /' >"$tmp/license.expected"
    sed -n '/^ Permission is hereby granted/,$p' "$doc/copyright" >"$tmp/license.installed"
    cmp -s "$tmp/license.expected" "$tmp/license.installed" ||
        fail "share/doc/vorlen/copyright does not hold the text of LICENSE"
else
    fail "no share/doc/vorlen/copyright"
fi
changelog=$(ls "$doc"/changelog.gz "$doc"/changelog 2>/dev/null | head -n 1 || true)
if [ -z "$changelog" ]; then
    fail "no share/doc/vorlen/changelog.gz"
else
    case "$(first_line "$changelog")" in
    "vorlen ($version) "*) ;;
    *) fail "the changelog's first entry is not version $version: $(first_line "$changelog")" ;;
    esac
fi

echo "== man --warnings -l"
if ! command -v man >/dev/null; then
    echo "skipped: man is not installed"
elif [ -n "$page" ]; then
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
deb=""
if ! command -v cpack >/dev/null || ! command -v dpkg-deb >/dev/null ||
    ! command -v dpkg-shlibdeps >/dev/null || ! command -v dpkg-query >/dev/null; then
    # The package's dependencies are found by dpkg-shlibdeps (dpkg-dev),
    # which asks dpkg-query which package holds each library.
    echo "skipped: cpack, dpkg-deb, dpkg-shlibdeps or dpkg-query is not there"
elif [ ! -f "$build/CPackConfig.cmake" ]; then
    fail "no CPackConfig.cmake in $build"
else
    # -B keeps the package and CPack's staging tree out of the build
    # directory.  CPack first brings the program up to date (its preinstall
    # step), which costs nothing after the build that ctest follows.
    if cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/package" >"$tmp/cpack.log" 2>&1; then
        deb=$(find "$tmp/package" -maxdepth 1 -name '*.deb' | head -1)
        if [ -z "$deb" ]; then
            fail "cpack made no .deb"
        else
            dpkg-deb -c "$deb" >"$tmp/contents"
            for f in usr/bin/vorlen usr/share/man/man1/vorlen.1.gz usr/share/doc/vorlen/copyright \
                usr/share/doc/vorlen/changelog.gz; do
                grep -Eq " \./$f\$" "$tmp/contents" || fail "the package lacks $f"
            done
            [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
                fail "the package's version $(dpkg-deb -f "$deb" Version) is not $version"
        fi
    else
        cat "$tmp/cpack.log"
        fail "cpack -G DEB failed"
    fi
fi

echo "== lintian"
if [ -z "$deb" ]; then
    echo "skipped: no package"
elif ! command -v lintian >/dev/null; then
    echo "skipped: lintian is not installed"
else
    # Every tag is shown; an error or a warning fails the test.
    if ! lintian --fail-on error,warning "$deb" >"$tmp/lintian.log" 2>&1; then
        fail "lintian found errors or warnings in the package"
    fi
    grep -v 'running with root privileges' "$tmp/lintian.log" || echo "no tags"
fi

checks_done install "all checks passed"
