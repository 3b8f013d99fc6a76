#!/usr/bin/env bash
# vorlen.exe under Wine against the Linux build: every sample disk, every
# real disk (and container) in ../shared/realdisks when that folder is
# there, and disks whose names Windows cannot take as they are, each in
# the four listing forms (host, -a, -l, -al) and extracted with -X.
# Standard output, standard error and the exit status must be the same once
# Windows line ends (CRLF) are read as LF and the program name is the same;
# the extracted trees must hold the same files with the same bytes, each
# name in its Windows form (names_windows_host).  All Windows runs share one
# Wine session (one batch file), since starting Wine is slow.
#
#   wine_compare.sh LINUX_BUILD_DIR VORLEN_EXE [REALDISKS_DIR]
#
# LINUX_BUILD_DIR holds vorlen, samples/make_samples and tests/windows_names.
set -euo pipefail
build=$(cd "$1" && pwd)
exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
realdisks=${3:-$(dirname "$0")/../../shared/realdisks}

wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "wine_compare: no wine64"; exit 1; }
export WINEDEBUG=-all

. "$(dirname "$0")/support/checks.sh"

# The images, by a relative path that both sides are given, so that every
# message names them alike.
mkdir -p "$tmp/img/samples" "$tmp/img/windows" "$tmp/bin" "$tmp/lin/x" "$tmp/win/x" "$tmp/win/o"
"$build/samples/make_samples" "$tmp/img/samples"
"$build/tests/windows_names" images "$tmp/img/windows"
if [ -d "$realdisks" ]; then
    ln -s "$(cd "$realdisks" && pwd)" "$tmp/img/real"
else
    echo "wine_compare: no real disks at $realdisks, skipped"
fi
ln -s ../img "$tmp/lin/img"
ln -s ../img "$tmp/win/img"
cp "$exe" "$tmp/bin/vorlen.exe"
cp "$build/vorlen" "$tmp/bin/vorlen"

mapfile -t images < <(cd "$tmp" && find -L img -type f | LC_ALL=C sort)
modes=(host -a -l -al)
echo "== ${#images[@]} images, each in ${#modes[@]} listings and extracted, on Linux and under Wine"

# One Linux run: linux RESULT_NAME ARGUMENT...
linux() {
    local name=$1 status=0
    shift
    (cd "$tmp/lin" && PATH="$tmp/bin:$PATH" vorlen "$@" >"$name.out" 2>"$name.err") || status=$?
    echo "$status" >"$tmp/lin/$name.rc"
}

batch=$tmp/win/run.bat
printf '@echo off\r\n' >"$batch"
declare -A batch_line # the batch lines of each run, by result name
for i in "${!images[@]}"; do
    img=${images[$i]}
    for m in "${modes[@]}"; do
        opt=$m
        [ "$m" = host ] && opt=
        linux "$i.$m" $opt "$img"
        # %% keeps a per cent sign in a name from being read as a variable.
        batch_line[$i.$m]=$(printf 'vorlen %s "%s" >o\\%s.%s.out 2>o\\%s.%s.err\r\n>o\\%s.%s.rc echo %%ERRORLEVEL%%\r\n' \
            "$opt" "${img//%/%%}" "$i" "$m" "$i" "$m" "$i" "$m")
        printf '%s\n' "${batch_line[$i.$m]}" >>"$batch"
    done
    linux "$i.X" -X "x/$i" "$img"
    batch_line[$i.X]=$(printf 'vorlen -X x/%s "%s" >o\\%s.X.out 2>o\\%s.X.err\r\n>o\\%s.X.rc echo %%ERRORLEVEL%%\r\n' \
        "$i" "${img//%/%%}" "$i" "$i" "$i")
    printf '%s\n' "${batch_line[$i.X]}" >>"$batch"
done
printf 'exit 0\r\n' >>"$batch"

run_batch() {
    (cd "$tmp/win" && WINEPATH='Z:'"${tmp//\//\\}"'\bin' "$wine" cmd /c "$1") ||
        fail "wine cmd /c $1 ended with status $?"
}
start=$SECONDS
run_batch run.bat
# Now and then, on a loaded machine, Wine's cmd fails to start a program
# it found a moment before ("Can't recognize", status 9009): such runs,
# which never reached vorlen, are made once more.
retry=$tmp/win/retry.bat
printf '@echo off\r\n' >"$retry"
again=0
for name in "${!batch_line[@]}"; do
    if [ "$(tr -d '\r ' <"$tmp/win/o/$name.rc" 2>/dev/null)" = 9009 ]; then
        printf '%s\n' "${batch_line[$name]}" >>"$retry"
        again=$((again + 1))
    fi
done
if [ "$again" -gt 0 ]; then
    printf 'exit 0\r\n' >>"$retry"
    echo "== $again run(s) that Wine's cmd could not start, made again"
    run_batch retry.bat
fi
echo "== Wine session: $((SECONDS - start)) s"

# What Windows wrote, read as Linux text: CRLF as LF, the program as
# "vorlen" whatever argv[0] Windows gave it.
as_linux() {
    tr -d '\r' <"$1" | sed -e 's/^vorlen\.exe: /vorlen: /' -e "s/Try 'vorlen\.exe -h'/Try 'vorlen -h'/"
}

# The files and directories of an extracted tree, one per line (a directory
# with a slash after it), each level in its Windows form when `map` is given.
tree() {
    [ -d "$1" ] || return 0
    (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -printf '%P\n' \)) |
        if [ "${2:-}" = map ]; then "$build/tests/windows_names" map; else cat; fi | LC_ALL=C sort
}

# The bytes of every file of an extracted tree, whatever their names.
contents() {
    [ -d "$1" ] || return 0
    (cd "$1" && find . -type f -exec sha1sum {} + | cut -d ' ' -f 1 | LC_ALL=C sort)
}

for i in "${!images[@]}"; do
    img=${images[$i]}
    lin_tree=$(tree "$tmp/lin/x/$i" map)
    # Names that Windows takes for one (A:B and A_B, or READ.ME and read.me
    # on a disk that holds both): vorlen.exe writes the later file under
    # another name, so its messages and names differ from Linux by design.
    # All files must still be there, none overwritten.
    meet=$(tr 'a-z' 'A-Z' <<<"$lin_tree" | LC_ALL=C sort | uniq -d)
    for m in "${modes[@]}" X; do
        [ -n "$meet" ] && [ "$m" = X ] && continue
        for s in out err rc; do
            if ! diff -u "$tmp/lin/$i.$m.$s" <(as_linux "$tmp/win/o/$i.$m.$s") >"$tmp/diff" 2>&1; then
                fail "$img ($m): standard ${s/rc/exit status} differs (Linux -, Windows +)"
                head -20 "$tmp/diff"
            fi
        done
    done
    if [ -n "$meet" ]; then
        echo "$img: names that meet on Windows ($(echo $meet)): extracted bytes compared"
        [ "$(contents "$tmp/lin/x/$i")" = "$(contents "$tmp/win/x/$i")" ] ||
            { fail "$img: files lost or changed under Windows names; stderr:"; as_linux "$tmp/win/o/$i.X.err" | tail -5; }
        continue
    fi
    win_tree=$(tree "$tmp/win/x/$i")
    if [ "$lin_tree" != "$win_tree" ]; then
        fail "$img: extracted trees differ (Linux -, Windows +)"
        diff <(echo "$lin_tree") <(echo "$win_tree") | head -20
        continue
    fi
    # Same names: compare the bytes of each file with its Windows twin.
    [ -d "$tmp/lin/x/$i" ] || continue
    (cd "$tmp/lin/x/$i" && find . -type f -printf '%P\n') >"$tmp/files"
    while IFS= read -r f && IFS= read -r w; do
        cmp -s "$tmp/lin/x/$i/$f" "$tmp/win/x/$i/$w" || fail "$img: extracted $f differs from Windows $w"
    done < <("$build/tests/windows_names" map <"$tmp/files" | paste -d '\n' "$tmp/files" -)
done

# The Windows names themselves, spelt out, so that a fault shared by the
# mapping above and by vorlen.exe still shows.
expect_tree() {
    local img=$1
    shift
    local i
    for i in "${!images[@]}"; do
        [ "${images[$i]}" = "img/windows/$img" ] || continue
        local want got
        want=$(printf '%s\n' "$@" | LC_ALL=C sort)
        got=$(cd "$tmp/win/x/$i" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort)
        [ "$want" = "$got" ] || { fail "$img: Windows names"; diff <(echo "$want") <(echo "$got"); }
        return
    done
    fail "$img: not run"
}
expect_tree sparta_windows.atr A_B.TXT X_Y_.Z Q_P_._ CON_.SYS AUX_ LPT1_ LPT1_/NUL_.TXT COM9_ COM9_/PRN_
expect_tree dos2_windows.atr CON_.SYS AUX_ NUL_.COM COM1_ LPT2_.DAT PRNX.TXT
expect_tree basic_dot.atr RUN_
expect_tree basic_marks.atr _A___B__.BAS
expect_tree basic_device.atr PRN_.BAS

# Nothing is overwritten: of two names that meet on Windows the first file
# keeps its bytes, whatever becomes of the second.
for i in "${!images[@]}"; do
    [ "${images[$i]}" = img/windows/sparta_collide.atr ] || continue
    [ "$(cat "$tmp/win/x/$i/A_B.TXT" 2>/dev/null)" = colon ] ||
        fail "sparta_collide.atr: A_B.TXT does not hold the first file, A:B.TXT"
done

checks_done wine_compare "vorlen.exe agrees with the Linux build on ${#images[@]} images"
