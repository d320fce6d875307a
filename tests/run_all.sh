#!/usr/bin/env bash
# The whole test suite: builds the Linux programs and runs every test over them, then the same under
# the sanitizers, the Windows build under wine, a build without the test libraries, and the packages.
set -eu
cd "$(dirname "$0")/.."
cmake --workflow --preset default
cmake --workflow --preset sanitize
bash tests/windows_under_wine.sh

# With nothing but CMake and a compiler: configure names the missing test libraries, and both
# programs still build.
bare=$(mktemp -d)
trap 'rm -rf "$bare"' EXIT
cmake -S . -B "$bare" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$bare/log"
cmake --build "$bare" -j2 >>"$bare/log"
[ "$(grep -cE '^-- (GoogleTest|Google Benchmark) not found' "$bare/log")" = 2 ] && [ -x "$bare/quorva" ] &&
    [ -x "$bare/quorva-sim" ] || { cat "$bare/log"; echo "FAIL: the build without the test libraries"; exit 1; }
echo "build without the test libraries: ok"
bash tests/package_check.sh
