#!/usr/bin/env bash
# The whole test suite: builds the Linux programs and runs every test over them.
set -eu
cd "$(dirname "$0")/.."
# Each step stops the suite when it fails.
cmake --workflow --preset default
# Install tree, .deb and (with a windows-i686 build) the zip: what users get.
bash tests/package_check.sh
