#!/usr/bin/env bash
# The whole test suite: builds the Linux programs and runs every test over them.
set -eu
cd "$(dirname "$0")/.."
# Each step stops the suite when it fails.
cmake --workflow --preset default
# The 32-bit Windows build, run under wine (skipped with a note where the tools are missing).
bash tests/windows_under_wine.sh
# Install tree, .deb and (with a windows-i686 build) the zip: what users get.
bash tests/package_check.sh
