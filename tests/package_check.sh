#!/usr/bin/env bash
# What users get: the .deb (made from the install rules) and the Windows zip hold exactly their
# files, the .deb needs the C library alone (dpkg-shlibdeps would name any other), its programs
# run and its manual pages render without a warning, and the zip's texts have CRLF line ends. Run from the source root after ./build (and,
# for the zip, build-windows-i686) is built.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
version=$(sed -n 's/^project(quorva VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

deb=build/quorva_$version-1_$(dpkg --print-architecture).deb
rm -f "$deb"
(cd build && cpack -G DEB >/dev/null)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
[ "$files" = "./usr/bin/quorva ./usr/bin/quorva-sim ./usr/share/doc/quorva/README.md ./usr/share/man/man1/quorva-sim.1.gz ./usr/share/man/man1/quorva.1.gz " ] ||
    fail "$deb holds $files"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6(\ \(\>=\ [0-9.]+\))?$ ]] || fail "$deb depends on $depends"
dpkg-deb -x "$deb" "$work"
(cd "$work" && timeout 60 usr/bin/quorva-sim "$OLDPWD/samples/hello.bin" >/dev/null 2>&1) || fail "the packaged quorva-sim"
for page in "$work"/usr/share/man/man1/*; do
    zcat "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1 | grep . && fail "groff warns on $page"
done
echo "deb: ok ($deb, Depends: $depends)"

[ -f build-windows-i686/CPackConfig.cmake ] || { echo "zip check skipped: no windows-i686 build"; exit 0; }
zip=build-windows-i686/quorva-$version-win32.zip
rm -f "$zip"
(cd build-windows-i686 && cpack -G ZIP >/dev/null)
files=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$files" = "quorva-$version-win32/PORT-ACCESS.txt quorva-$version-win32/README.md quorva-$version-win32/quorva-sim.exe quorva-$version-win32/quorva.exe " ] ||
    fail "$zip holds $files"
unzip -p "$zip" "*.md" "*.txt" | grep -q $'[^\r]$' && fail "a text in $zip has lines without CRLF"
unzip -p "$zip" "*/README.md" | tr -d '\r' | cmp -s - README.md || fail "README.md in $zip is not README.md"
echo "zip: ok ($zip)"
