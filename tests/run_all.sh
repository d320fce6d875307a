#!/usr/bin/env bash
# The whole test suite: builds the Linux programs and runs every test over them.
set -eu
cd "$(dirname "$0")/.."
# Each step stops the suite when it fails.
cmake --workflow --preset default
