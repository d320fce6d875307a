#!/usr/bin/env bash
# The whole test suite: builds the Linux programs and runs every test over them.
set -eu
cd "$(dirname "$0")/.."
cmake --workflow --preset default
