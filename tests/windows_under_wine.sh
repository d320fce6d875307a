#!/usr/bin/env bash
# Builds the 32-bit Windows programs (preset windows-i686) and runs the end-to-end cases on them
# under wine, with the Linux build's quorva-sim (./build, built before) as the reference for the
# trace and memory files. Says why and succeeds when the cross compiler or wine is missing.
set -eu
cd "$(dirname "$0")/.."
root=$PWD

skip() {
    echo "Windows tests skipped: $1"
    exit 0
}
command -v i686-w64-mingw32-g++ >/dev/null || skip "i686-w64-mingw32-g++ not found (package g++-mingw-w64-i686)"
command -v wine >/dev/null && command -v wineserver >/dev/null || skip "wine not found (packages wine, wine32:i386)"
if [ -d /usr/lib/wine ] && [ ! -x /usr/lib/wine/wine ]; then
    skip "wine cannot run 32-bit programs (package wine32:i386, after dpkg --add-architecture i386)"
fi
[ -x build/quorva-sim ] || { echo "Windows tests: the Linux build (build/quorva-sim) is missing"; exit 1; }

cmake --preset windows-i686 >/dev/null
cmake --build --preset windows-i686

# Each .exe must run on a bare Windows: no DLL other than the system's own.
for exe in quorva.exe quorva-sim.exe; do
    dlls=$(i686-w64-mingw32-objdump -p "build-windows-i686/$exe" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
    for dll in $dlls; do
        case "${dll,,}" in
        kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll) ;;
        *) echo "FAIL: $exe needs $dll (not linked statically)"; exit 1 ;;
        esac
    done
done

# One quiet prefix inside the build tree, one server for all runs.
export WINEPREFIX=$root/build-windows-i686/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
timeout 60 wineserver -p
trap 'wineserver -k || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    # Creating the prefix is noisy; its messages are shown only when it fails.
    timeout 300 wineboot -i >build-windows-i686/wineboot.log 2>&1 || { cat build-windows-i686/wineboot.log; exit 1; }
fi

timeout 600 bash tests/end_to_end.sh "$root/build-windows-i686/quorva.exe" "$root/build-windows-i686/quorva-sim.exe" \
    "$root/samples" "timeout 120 wine" "$root/build/quorva-sim"
