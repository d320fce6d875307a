#!/usr/bin/env bash
# What users get: the .deb (made from the install rules) and the Windows zip hold exactly their
# files, the .deb needs the C library alone (dpkg-shlibdeps would name any other), Debian's lintian
# finds neither error nor warning in it, its programs run and its manual pages render without a
# warning, and the zip's texts have CRLF line ends. The release archives' programs have no shared
# library at all and make the same dry run in an empty root as the .deb's. Usage:
# package_check.sh deb|deb-i386 [archives] [zip], from the source root after build-test (for
# deb-i386 build-linux-i686, for the archives build-archive-*, for the zip build-windows-i686) is built.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# hardened NM-OPTION PROGRAM...: built as Debian builds its tools: position independent, its
# relocations read-only and bound at start (readelf), stack canaries and the C library's checked
# functions called (nm; -D for a stripped, dynamically linked program).
hardened() {
    for program in "${@:2}"; do for want in "readelf -h:Type: +DYN" "readelf -l:GNU_RELRO" "readelf -d:BIND_NOW" "nm $1: __stack_chk_fail(@|$)" "nm $1: __[a-z]+_chk(@|$)"; do
        grep -qE "${want#*:}" <(${want%%:*} "$program") || fail "$program: ${want%%:*} shows no ${want#*:}"
    done; done; }
version=$(sed -n 's/^project(quorva VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

[ "$1" = deb-i386 ] && build=build-linux-i686 arch=i386 || build=build-test arch=$(dpkg --print-architecture)
deb=$build/quorva_$version-1_$arch.deb
rm -f "$deb"
(cd "$build" && cpack -G DEB >/dev/null)
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort | tr '\n' ' ')
doc=./usr/share/doc/quorva
[ "$files" = "./usr/bin/quorva ./usr/bin/quorva-sim $doc/PROTOCOL.md $doc/README.md $doc/changelog.Debian.gz $doc/changelog.gz $doc/copyright ./usr/share/lintian/overrides/quorva ./usr/share/man/man1/quorva-sim.1.gz ./usr/share/man/man1/quorva.1.gz " ] ||
    fail "$deb holds $files"
# A plain install carries the user's files only: the Debian changelog and lintian's override are the .deb's.
files=$(cmake --install build-test --prefix "$work/plain" >/dev/null && cd "$work/plain" && find . -type f | sort | tr '\n' ' ')
[ "$files" = "./bin/quorva ./bin/quorva-sim ./share/doc/quorva/PROTOCOL.md ./share/doc/quorva/README.md ./share/doc/quorva/changelog ./share/doc/quorva/copyright ./share/man/man1/quorva-sim.1 ./share/man/man1/quorva.1 " ] ||
    fail "cmake --install installs $files"
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "$deb depends on $depends"
dpkg-deb -x "$deb" "$work"
# Also the tags lintian shows only with --display-info; and no override may hide a hardening tag.
tags=$(lintian --fail-on error,warning --display-info "$deb") && ! grep hardening-no- - "$work/usr/share/lintian/overrides/quorva" <<<"$tags" || fail "lintian on $deb: $tags"
hardened -D "$work/usr/bin/quorva" "$work/usr/bin/quorva-sim"
(cd "$work" && timeout 60 usr/bin/quorva-sim --memory=memory.bin "$OLDPWD/samples/hello.bin" >out.txt 2>&1) || fail "the packaged quorva-sim"
for page in "$work"/usr/share/man/man1/*; do
    warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1) || fail "groff on $page: $warnings"
    [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
done
echo "deb: ok ($deb, Depends: $depends)"

# Each archive unpacked alone with the sample into an empty root (a user namespace where not root):
# the packaged quorva-sim's output and memory.
for arch in $([[ " $* " != *" archives "* ]] || echo x86_64 i386); do
    name=quorva-$version-linux-$arch tgz=build-archive-$arch/quorva-$version-linux-$arch.tar.gz
    rm -f "$tgz" && (cd "build-archive-$arch" && cpack -G TGZ >/dev/null)
    files=$(tar -tzf "$tgz" | grep -v '/$' | sort | tr '\n' ' ')
    [ "$files" = "$name/LICENSE $name/PROTOCOL.md $name/README.md $name/quorva $name/quorva-sim $name/quorva-sim.1 $name/quorva.1 " ] || fail "$tgz holds $files"
    mkdir "$work/$arch" && cp samples/hello.bin "$work/$arch/" && tar -xzf "$tgz" -C "$work/$arch" || fail "unpacking $tgz"
    readelf -l -d "$work/$arch/$name/quorva" "$work/$arch/$name/quorva-sim" | grep -E 'INTERP|NEEDED' && fail "$tgz: a program needs the above"
    hardened "" "build-archive-$arch/quorva" "build-archive-$arch/quorva-sim"
    timeout 60 $([ "$(id -u)" = 0 ] || echo unshare -r) chroot "$work/$arch" "/$name/quorva-sim" --memory=memory.bin hello.bin >"$work/$arch.txt" 2>&1 &&
        cmp "$work/$arch.txt" "$work/out.txt" && cmp "$work/$arch/memory.bin" "$work/memory.bin" || fail "the dry run of $tgz in an empty root"
    echo "archive: ok ($tgz)"
done
[[ " $* " = *" zip "* ]] || exit 0

zip=build-windows-i686/quorva-$version-win32.zip
rm -f "$zip"
(cd build-windows-i686 && cpack -G ZIP >/dev/null)
files=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[ "$files" = "quorva-$version-win32/LICENSE.txt quorva-$version-win32/PORT-ACCESS.txt quorva-$version-win32/PROTOCOL.md quorva-$version-win32/README.md quorva-$version-win32/quorva-sim.exe quorva-$version-win32/quorva-sim.txt quorva-$version-win32/quorva.exe quorva-$version-win32/quorva.txt " ] ||
    fail "$zip holds $files"
grep -q $'[^\r]$\\|[\b\e]' <(unzip -p "$zip" "*.md" "*.txt") && fail "a text in $zip has lines without CRLF, or terminal control characters"
# The manuals as text: rendered (each heading of the page stands alone on its line), not the page's source.
for page in quorva quorva-sim; do [ "$(unzip -p "$zip" "*/$page.txt" | tr -d '\r' | grep -E '^[A-Z][-A-Z ]*$')" = "$(sed -n 's/\\-/-/g; s/^\.SH "\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' man/$page.1.in)" ] || fail "$page.txt in $zip is not $page(1) rendered"; done
unzip -p "$zip" "*/README.md" | tr -d '\r' | cmp -s - README.md || fail "README.md in $zip is not README.md"
# Windows 95 and 98 load a program only when each function it imports exists there: from
# advapi32.dll it imports the registry's functions only, the security functions are looked up.
imports=$(i686-w64-mingw32-objdump -p build-windows-i686/quorva.exe | sed -n '/DLL Name: ADVAPI32/,/^$/s/^\t[0-9a-f]*\t *[0-9]*  //p' | tr '\n' ' ')
[ "$imports" = "RegCloseKey RegOpenKeyExA RegQueryValueExA " ] || fail "quorva.exe imports from advapi32.dll: $imports"
echo "zip: ok ($zip)"
