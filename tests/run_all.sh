#!/usr/bin/env bash
# The whole test suite: builds the Linux programs and runs every test over them.
set -eu
cd "$(dirname "$0")/.."
# Each step stops the suite when it fails.
cmake --workflow --preset default
# The same suite under the address and undefined-behaviour sanitizers; any finding fails a test.
cmake --workflow --preset sanitize

# Each fuzz target for a bounded time from the committed seeds; a finding, a crash or a hang
# (one input running past 10 s) ends the target with a non-zero status.
cmake --workflow --preset fuzz
fuzz_seconds=${QUORVA_FUZZ_SECONDS:-30}
fuzz_passed=0 fuzz_failed=0
for target in command_line download; do
    program=build-fuzz/quorva-fuzz-${target//_/-}
    found=$(mktemp -d)
    log=build-fuzz/fuzz-$target.log
    if timeout $((fuzz_seconds * 3 + 60)) "$program" -max_total_time="$fuzz_seconds" -timeout=10 \
        -artifact_prefix=build-fuzz/ "$found" "fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz $target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log")"
        fuzz_passed=$((fuzz_passed + 1))
    else
        echo "FAIL: fuzz $target, see $log"
        tail -30 "$log"
        fuzz_failed=$((fuzz_failed + 1))
    fi
    rm -rf "$found"
done
echo "fuzz: $fuzz_passed passed, $fuzz_failed failed"
[ "$fuzz_failed" = 0 ]
# The 32-bit Windows build, run under wine (skipped with a note where the tools are missing).
bash tests/windows_under_wine.sh
# Install tree, .deb and (with a windows-i686 build) the zip: what users get.
bash tests/package_check.sh
