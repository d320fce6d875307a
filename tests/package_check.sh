#!/usr/bin/env bash
# Checks what users get: the install tree, the .deb, and the Windows zip when a windows-i686 build
# exists. Run from the source root after ./build is built; every failed check ends the script.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
t() { timeout 300 "$@"; }  # nothing may hang
export LC_ALL=C.UTF-8  # the same rendering, and no locale complaints, everywhere

version=$(sed -n 's/^project(quorva VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
sample=samples/hello.bin
size=$(stat -c %s "$sample")

# A program tree under $1: the simulator downloads the sample, and quorva refuses an offset
# before it touches any port (so this is safe on a machine with a real parallel port).
check_programs() {
    local out status=0
    out=$(cd "$work" && t "$1/quorva-sim" --memory=sim.mem "$OLDPWD/$sample" 2>/dev/null) || status=$?
    [ "$status" = 0 ] || fail "$1/quorva-sim exits with $status"
    grep -qx "Send databytes: $size  0x$(printf %04X "$size")" <<<"$out" || fail "$1/quorva-sim: no summary"
    cmp -s -n "$size" "$work/sim.mem" "$sample" || fail "$1/quorva-sim: board memory differs from the image"
    status=0; out=$(t "$1/quorva" "$sample" -a 378 -o 10000 </dev/null) || status=$?
    [ "$status" = 1 ] && grep -q 'Quorvaemulator V1.00' <<<"$out" &&
        grep -q 'Offset 0x10000 out of range' <<<"$out" || fail "$1/quorva: wrong refusal (status $status)"
    for program in "$1/quorva" "$1/quorva-sim"; do
        objdump -p "$program" | awk '/NEEDED/ { print $2 }' | grep -Ev '^(libc\.so\.6|ld-linux[-a-z0-9_.]*\.so\.2)$' &&
            fail "$program needs more than the C library"
    done
    return 0
}

# A manual page: renders without a warning through groff and man, shows the version, and names
# every text taken from the README section given by $3 (in the README's first table column).
check_page() {
    local page=$1 title=$2 section=$3 text
    zcat -f "$page" | t groff -man -Tutf8 -ww 2>"$work/err" >/dev/null || fail "groff fails on $page"
    [ ! -s "$work/err" ] || { head -20 "$work/err" >&2; fail "groff warns on $page"; }
    text=$(MANWIDTH=400 t man --warnings -l -P cat "$page" 2>"$work/err" </dev/null) || fail "man -l fails on $page"
    [ ! -s "$work/err" ] || { head -20 "$work/err" >&2; fail "man warns on $page"; }
    grep -q "^$title(1) " <<<"$text" && grep -q "quorva $version " <<<"$text" || fail "$page: no header or version"
    local items=0
    while IFS= read -r item; do
        grep -qF -- "$item" <<<"$text" || fail "$page does not show: $item"
        items=$((items + 1))
    done < <(sed -n "/^## $section\$/,/^##* [^M]/p" README.md | sed -n 's/^| `\([^`]*\)`.*/\1/p')
    [ "$items" -ge 7 ] || fail "README section $section lists only $items items"
}

echo "== install into a temporary prefix"
prefix=$work/prefix
t cmake --install build --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f | sort) >"$work/files"
printf '%s\n' ./bin/quorva ./bin/quorva-sim ./share/doc/quorva/README.md \
    ./share/man/man1/quorva-sim.1 ./share/man/man1/quorva.1 | diff - "$work/files" || fail "installed files"
check_programs "$prefix/bin"
check_page "$prefix/share/man/man1/quorva.1" QUORVA Messages
check_page "$prefix/share/man/man1/quorva-sim.1" QUORVA-SIM quorva-sim
echo "install: ok"

echo "== Debian package"
deb=build/quorva_$version-1_$(dpkg --print-architecture).deb
rm -f build/quorva_*.deb
(cd build && t cpack -G DEB >/dev/null) || fail "cpack -G DEB"
[ -f "$deb" ] || fail "no $deb"
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort -k3 >"$work/contents"
diff - "$work/contents" <<EOF || fail "contents of $deb"
-rwxr-xr-x root/root ./usr/bin/quorva
-rwxr-xr-x root/root ./usr/bin/quorva-sim
-rw-r--r-- root/root ./usr/share/doc/quorva/README.md
-rw-r--r-- root/root ./usr/share/man/man1/quorva-sim.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/quorva.1.gz
EOF
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6(\ \(\>=\ [0-9.]+\))?$ ]] || fail "$deb depends on: $depends"
[ "$(dpkg-deb -f "$deb" Package Version)" = $'Package: quorva\nVersion: '"$version-1" ] || fail "name or version"
for field in Maintainer Description Section; do
    [ -n "$(dpkg-deb -f "$deb" $field)" ] || fail "$deb has no $field"
done
dpkg-deb -x "$deb" "$work/deb"
check_programs "$work/deb/usr/bin"
check_page "$work/deb/usr/share/man/man1/quorva.1.gz" QUORVA Messages
echo "deb: ok ($deb, $(stat -c %s "$deb") bytes, Depends: $depends)"

echo "== Windows zip"
if [ ! -f build-windows-i686/CPackConfig.cmake ]; then
    echo "ZIP package check skipped: no windows-i686 build"
    exit 0
fi
zip=build-windows-i686/quorva-$version-win32.zip
rm -f "$zip"
(cd build-windows-i686 && t cpack -G ZIP >/dev/null) || fail "cpack -G ZIP"
unzip -l "$zip" >/dev/null || fail "unzip -l $zip"
unzip -Z1 "$zip" | sort >"$work/zipped"
printf "quorva-$version-win32/%s\n" PORT-ACCESS.txt README.md quorva-sim.exe quorva.exe |
    diff - "$work/zipped" || fail "contents of $zip"
if command -v i686-w64-mingw32-objdump >/dev/null; then
    unzip -q "$zip" -d "$work/zip"
    for exe in "$work"/zip/*/*.exe; do
        i686-w64-mingw32-objdump -p "$exe" | grep -iE 'DLL Name: *(libstdc|libgcc|libwinpthread)' &&
            fail "$exe needs a MinGW runtime DLL that the zip does not hold"
    done
fi
echo "zip: ok ($zip, $(stat -c %s "$zip") bytes)"
