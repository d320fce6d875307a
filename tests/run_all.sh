#!/usr/bin/env bash
# The whole test suite, as CI runs it: installs the Debian packages it needs (as root; otherwise it
# names them and stops), builds the Linux programs and runs every test over them, then the same
# under the sanitizers, the image reader's fuzz run (30 seconds), the 32-bit Linux build, the
# Windows build under wine, a build without the test libraries, and the packages and release
# archives. It builds in build-* folders of its own and never touches build/.
set -eu
cd "$(dirname "$0")/.."
# Status 3: only the Windows stage's packages are missing, and they cannot be installed.
bash tools/test-packages.sh || { [ $? = 3 ] && export QUORVA_NO_WINDOWS="its packages are not installed"; } || exit 1
cmake --workflow --preset default
cmake --workflow --preset sanitize
# The HEX and S-record reader under libFuzzer with the sanitizers, for 30 seconds.
cmake --workflow --preset fuzz
# The 32-bit Linux programs over their own ppdev stand-in, against the native quorva-sim; the
# statically linked programs of the release archives.
for preset in linux-i686 archive-x86_64 archive-i386; do cmake --preset $preset >/dev/null; cmake --build --preset $preset; done
bash tests/e2e/run.sh linux-i386 build-linux-i686 build-test
bash tests/windows_under_wine.sh && windows=0 || windows=$?
[ $windows = 0 ] || [ $windows = 77 ] || exit $windows

# With nothing but CMake and a compiler: configure names the missing test libraries, and both
# programs still build.
bare=$(mktemp -d)
trap 'rm -rf "$bare"' EXIT
cmake -S . -B "$bare" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$bare/log"
cmake --build "$bare" -j2 >>"$bare/log"
[ "$(grep -cE '^-- (GoogleTest|Google Benchmark) not found' "$bare/log")" = 2 ] && [ -x "$bare/quorva" ] &&
    [ -x "$bare/quorva-sim" ] || { cat "$bare/log"; echo "FAIL: the build without the test libraries"; exit 1; }
echo "build without the test libraries: ok"
bash tests/package_check.sh deb archives $([ $windows = 77 ] || echo zip)
bash tests/package_check.sh deb-i386
[ $windows = 0 ] && echo "All tests passed." ||
    echo "All tests passed, but the Windows stage and the zip check were SKIPPED (see above)."
