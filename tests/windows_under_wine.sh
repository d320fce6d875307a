#!/usr/bin/env bash
# Builds the 32-bit Windows programs (preset windows-i686) and runs the end-to-end transcript on them
# under wine (the sections named as arguments, or all), where each .exe must start with nothing but
# the system's DLLs. Where the cross compiler or wine is missing (or QUORVA_NO_WINDOWS gives a
# reason) it says why and exits with status 77 (skipped), or 1 under CI=true.
set -eu
cd "$(dirname "$0")/.."
skip() {
    [ "${CI:-}" != true ] || { echo "FAIL: $1, and CI skips nothing"; exit 1; }
    echo "Windows tests SKIPPED: $1"; exit 77
}
[ -z "${QUORVA_NO_WINDOWS:-}" ] || skip "$QUORVA_NO_WINDOWS"
command -v i686-w64-mingw32-g++ >/dev/null || skip "i686-w64-mingw32-g++ not found (package g++-mingw-w64-i686)"
command -v wine >/dev/null || skip "wine not found (packages wine, wine32:i386)"
# The Windows programs, and the native quorva-sim (build-test/) whose port traffic and memory they
# must reproduce, built here as well so that this stage also runs on a fresh copy of the source.
for preset in windows-i686 default; do cmake --preset $preset >/dev/null; done
cmake --build --preset windows-i686; cmake --build --preset default --target quorva-sim

# One quiet prefix inside the build tree, one server for all runs. Wine maps Unix file names to
# Windows ones through the locale's character set: UTF-8, for the folder names outside ASCII.
# A cfgmgr32.dll put in the system folder is used before wine's own.
export WINEPREFIX=$PWD/build-windows-i686/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;cfgmgr32=n,b" LC_ALL=C.UTF-8
mkdir -p "$WINEPREFIX"
timeout 60 wineserver -p || true  # an already running server is fine
trap 'wineserver -k || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    timeout 300 wineboot -i >build-windows-i686/wineboot.log 2>&1 || { cat build-windows-i686/wineboot.log; exit 1; }
fi
# The Windows version wine reports: 10 unless QUORVA_WINE_VERSION names another (win2k, winxp,
# win7, win81), confirmed by what a program is told.
version=${QUORVA_WINE_VERSION:-win10}
declare -A number=([win2k]=5.0 [winxp]=5.1 [win7]=6.1 [win81]=6.3 [win10]=10.0)
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null 2>&1
reported=$(wine cmd /c ver | tr -d '\r' | grep .)
[[ $reported = *" ${number[$version]:-?}."* ]] || { echo "FAIL: wine set to $version reports: $reported"; exit 1; }
timeout 900 bash tests/e2e/run.sh windows build-windows-i686 build-test "$@"
