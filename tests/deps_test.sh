#!/usr/bin/env bash
# The build scripts check for the tools themselves, not for Debian packages:
# with dpkg, dpkg-query and apt-get out of PATH (a PATH made of symbolic
# links to everything else), the tools of this machine still pass; with
# cmake out as well, scripts/demo stops at once and names cmake; where
# apt-get is there, it is asked for the missing package only.
#
#   deps_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
. "$(dirname "$0")/support/checks.sh"

# A link to every program of PATH, the first of each name.
all=$tmp/all
mkdir -p "$all"
IFS=: read -r -a path_dirs <<<"$PATH"
for d in "${path_dirs[@]}"; do
    [ -d "$d" ] || continue
    for f in "$d"/*; do
        name=${f##*/}
        [ -x "$f" ] && [ ! -d "$f" ] && [ ! -e "$all/$name" ] || continue
        ln -s "$f" "$all/$name"
    done
done
# make_path DIR NAME...: DIR holds those links but NAMEs.
make_path() {
    local dir=$1 name
    shift
    cp -R "$all" "$dir"
    for name in "$@"; do
        rm -f "$dir/$name"
    done
}

nodpkg=$tmp/nodpkg
make_path "$nodpkg" dpkg dpkg-query apt-get apt
if ! PATH=$nodpkg bash -c 'command -v cmake && command -v c++ || command -v g++ || command -v clang++' \
    >/dev/null; then
    echo "skipped: this machine lacks cmake or a C++ compiler"
    exit 0
fi

# The checks with the names the scripts use.  Run in a fresh copy of bash
# each, as the scripts do, with PATH narrowed.
check() {
    local path=$1
    shift
    PATH=$path bash -c 'set -euo pipefail; . "$1/scripts/deps.sh"; shift; "$@"' sh "$source_dir" "$@"
}

echo "== without dpkg and apt-get: the tools of this machine pass"
if check "$nodpkg" vorlen_need cmake c++ make >"$tmp/out" 2>&1; then
    grep -q 'Installing' "$tmp/out" && fail "tried to install: $(cat "$tmp/out")"
else
    fail "vorlen_need cmake c++ make failed: $(cat "$tmp/out")"
fi
# The names of earlier versions (Debian packages) stand for the same checks.
check "$nodpkg" vorlen_need g++ cmake make >"$tmp/out" 2>&1 ||
    fail "vorlen_need g++ cmake make failed: $(cat "$tmp/out")"
# This test is built only where CMake found GoogleTest.
check "$nodpkg" vorlen_need gtest >"$tmp/out" 2>&1 ||
    fail "vorlen_need gtest failed although the build found GoogleTest: $(cat "$tmp/out")"
# No scratch directory is left behind.
TMPDIR=$tmp/scratch
mkdir -p "$TMPDIR"
export TMPDIR
check "$nodpkg" vorlen_need c++ >/dev/null 2>&1 || true
[ -z "$(ls -A "$TMPDIR")" ] || fail "the probes left $(ls "$TMPDIR") behind"
unset TMPDIR

echo "== without cmake: scripts/demo stops and names it"
nocmake=$tmp/nocmake
make_path "$nocmake" dpkg dpkg-query apt-get apt cmake
set +e
PATH=$nocmake "$source_dir/scripts/demo" >"$tmp/demo.out" 2>"$tmp/demo.err"
status=$?
set -e
[ "$status" -ne 0 ] || fail "scripts/demo ended with status 0 without cmake"
grep -q '^Missing: cmake$' "$tmp/demo.err" || fail "scripts/demo did not name cmake: $(cat "$tmp/demo.err")"
for system in Debian Fedora Arch Homebrew; do
    grep -q "$system" "$tmp/demo.err" || fail "no way to get cmake on $system"
done
[ ! -s "$tmp/demo.out" ] || fail "scripts/demo went on: $(head -3 "$tmp/demo.out")"

echo "== with apt-get: only the missing package is asked for"
fake=$tmp/fake
mkdir -p "$fake"
cat >"$fake/apt-get" <<EOF
#!/bin/sh
echo "\$*" >>"$tmp/apt.log"
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
chmod +x "$fake/apt-get" "$fake/sudo"
set +e
check "$fake:$nocmake" vorlen_need c++ cmake make >"$tmp/out" 2>&1
status=$?
set -e
# The fake installs nothing, so cmake stays missing.
[ "$status" -ne 0 ] || fail "vorlen_need succeeded although cmake is still missing"
grep -q 'install -y -qq cmake$' "$tmp/apt.log" 2>/dev/null ||
    fail "apt-get was not asked for cmake alone: $(cat "$tmp/apt.log" 2>/dev/null)"
grep -q '^Missing: cmake$' "$tmp/out" || fail "no line naming cmake: $(cat "$tmp/out")"
rm -f "$tmp/apt.log"
check "$fake:$nodpkg" vorlen_need c++ cmake make >"$tmp/out" 2>&1 ||
    fail "vorlen_need failed with everything there: $(cat "$tmp/out")"
[ ! -e "$tmp/apt.log" ] || fail "apt-get was called with everything there: $(cat "$tmp/apt.log")"

echo "== without clang++: the optional checks fail quietly"
noclang=$tmp/noclang
make_path "$noclang" dpkg dpkg-query apt-get apt clang++
set +e
check "$noclang" vorlen_want fuzz >"$tmp/out" 2>&1
status=$?
set -e
[ "$status" -ne 0 ] || fail "vorlen_want fuzz succeeded without clang++"
[ ! -s "$tmp/out" ] || fail "vorlen_want fuzz printed: $(cat "$tmp/out")"

checks_done deps "all checks passed"
