#!/usr/bin/env bash
# Runs the built programs as processes and compares their standard output byte for byte,
# their exit status, and quorva-sim's trace and memory files.
# Usage: end_to_end.sh QUORVA QUORVA_SIM SAMPLES_DIR [RUNNER [REFERENCE_SIM]]
#   RUNNER (optional) is a command put before each program, for example wine; its output must have
#   "\r\n" line ends (text mode), turned into "\n" before the comparison.
#   REFERENCE_SIM (optional) is a quorva-sim of another build, run directly with the same arguments
#   as the runs that write a trace and a memory file; their files must be byte for byte the same.
set -u
quorva=$1 sim=$2 samples=$3 runner=${4:-} reference=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
cp "$samples/hello.bin" hello.bin

failures=0 passes=0
banner=$'\n***********************************\n***     Quorvaemulator V1.00    ***\n***    eproms@quorva.example    ***\n***    Use at your own risk !   ***\n***    Last change: 17.11.2001  ***\n***********************************\n\n'
usage=$'\nUsage: Quorva filename -a portadress [-o offset]\n       Quorva hello.bin -a 0x378 -o 0x0\n\n       Defaults:\n       portadress 0x378\n       offset 0x0000\n\n'

# check NAME EXPECTED_STATUS EXPECTED_STDOUT PROGRAM ARGS...
check() {
    local name=$1 want_status=$2 want_out=$3
    shift 3
    local status
    $runner "$@" >out.raw 2>err.txt </dev/null
    status=$?
    if [ -n "$runner" ]; then sed 's/\r$//' out.raw >out.txt; else cp out.raw out.txt; fi
    printf '%s' "$want_out" >want.txt
    if [ "$status" != "$want_status" ] || ! cmp -s out.txt want.txt || ! line_ends_ok; then
        echo "FAIL: $name (status $status, expected $want_status)"
        diff want.txt out.txt | head -20
        sed 's/^/  stderr: /' err.txt | head -5
        failures=$((failures + 1))
    else
        passes=$((passes + 1))
    fi
}

# expect NAME CONDITION...: a further check on the files of the last run
expect() {
    local name=$1
    shift
    if "$@"; then passes=$((passes + 1)); else echo "FAIL: $name"; failures=$((failures + 1)); fi
}

# Through a runner every line of standard output ends in "\r\n", as a Windows console program's.
line_ends_ok() {
    [ -z "$runner" ] || [ "$(tr -cd '\r' <out.raw | wc -c)" = "$(tr -cd '\n' <out.raw | wc -c)" ]
}

# same_as_reference NAME SIM_ARGS...: the reference quorva-sim, run with the same arguments in a
# folder of its own, must write the same trace.txt and memory.bin as the last run.
mkdir ref
cp hello.bin ref/
same_files() { cmp -s trace.txt ref/trace.txt && cmp -s memory.bin ref/memory.bin; }
same_as_reference() {
    local name=$1
    shift
    [ -n "$reference" ] || return 0
    rm -f ref/trace.txt ref/memory.bin
    (cd ref && "$reference" "$@" >/dev/null 2>&1 </dev/null)
    expect "$name: trace and memory file as the reference build's" same_files
}

size=$(wc -c <hello.bin)
summary=$(printf 'Send databytes: %d  0x%04X' "$size" "$size")

# The programs' texts, through quorva-sim, which prints exactly what quorva prints.
check "no arguments" 1 "$banner$usage" "$sim"
check "missing file" 1 "$banner"$'\nFile missing.bin not found !\n' "$sim" missing.bin -a zz
check "option in place of the file" 1 "$banner"$'\nFile -a not found !\n' "$sim" -a 0x278 hello.bin
mkdir adir
check "directory" 1 "$banner"$'\nFile adir not found !\n' "$sim" adir
check "download" 0 "$banner"$'Settings: portadress 0x378  offset 0x0000\n'"$summary"$'\n' \
    "$sim" --trace=trace.txt --memory=memory.bin hello.bin
expect "board memory holds the image" bash -c "head -c $size memory.bin | cmp -s - hello.bin && \
    [ \"\$(tail -c +$((size + 1)) memory.bin | tr -d '\377' | wc -c)\" = 0 ] && [ \$(wc -c <memory.bin) = 65536 ]"
expect "trace starts with the idle value and the probe" bash -c \
    "[ \"\$(head -6 trace.txt | tr '\n' ,)\" = 'W 037A 04,W 0378 00,W 037A 01,R 0379 FF,W 037A 00,R 0379 7F,' ]"
expect "trace has every port access" bash -c \
    "[ \$(wc -l <trace.txt) = $((1 + 5 + 200000 + 15 * size + 5)) ] && [ \$(grep -c '^W 0378 00\$' trace.txt) -ge 200000 ]"
same_as_reference "download" --trace=trace.txt --memory=memory.bin hello.bin
cp trace.txt trace-download.txt
cp memory.bin memory-download.bin
check "download at an offset, options as given" 0 \
    "$banner"$'Settings: portadress 0x278  offset 0xFFF0\n'"Send databytes: 16  0x0010"$'\n\nFile longer than the room from offset 0xFFF0 to 0xFFFF: the rest was not sent !\n' \
    "$sim" --board-port=0x278 --trace=trace.txt --memory=memory.bin -- hello.bin -a 278 -o FFF0
same_as_reference "download at an offset" --board-port=0x278 --trace=trace.txt --memory=memory.bin -- hello.bin -a 278 -o FFF0
check "board elsewhere" 1 "$banner"$'Settings: portadress 0x278  offset 0x0000\n\nQuorvaemulator not found at portadress 0x278 !\n' \
    "$sim" hello.bin -a 278
check "silent board" 1 "$banner"$'Settings: portadress 0x378  offset 0x0000\n\nQuorvaemulator not found at portadress 0x378 !\n' \
    "$sim" --board=silent hello.bin
check "board stalls" 1 "$banner"$'Settings: portadress 0x378  offset 0x0100\n\nQuorvaemulator stopped answering at address 0x0102 after 2 databytes !\n' \
    "$sim" --stall-after=7 --delay=3 --trace=trace.txt --memory=memory.bin hello.bin -a 378 -o 100
same_as_reference "board stalls" --stall-after=7 --delay=3 --trace=trace.txt --memory=memory.bin hello.bin -a 378 -o 100
check "offset out of range" 1 "$banner"$'Settings: portadress 0x378  offset 0xFFFFFFFF\n\nOffset 0xFFFFFFFF out of range (0x0000 to 0xFFFF) !\n' \
    "$sim" hello.bin -a 378 -o -1
check "port out of range" 1 "$banner"$'Settings: portadress 0x10378  offset 0x0000\n\nPortadress 0x10378 out of range (0x0000 to 0xFFFD) !\n' \
    "$sim" hello.bin -a 10378
check "bad simulator option" 2 "" "$sim" --board=broken hello.bin
expect "bad simulator option is explained on standard error" grep -q 'quorva-sim: --board=broken' err.txt
check "memory file naming the image" 2 "" "$sim" --memory=hello.bin hello.bin
expect "the image is left as it was" cmp -s hello.bin "$samples/hello.bin"

# Odd inputs: empty, endless, unreadable, a pipe, a name too long for the system.
settings=$'Settings: portadress 0x378  offset 0x0000\n'
longer=$'\nFile longer than the room from offset 0x0000 to 0xFFFF: the rest was not sent !\n'
: >empty.bin
long_name=$(printf 'n%.0s' $(seq 4000))
check "empty file" 0 "$banner$settings"$'Send databytes: 0  0x0000\n' "$sim" empty.bin
check "name of 4000 characters" 1 "$banner"$'\nFile '"$long_name"$' not found !\n' "$sim" "$long_name"
if [ -z "$runner" ]; then
    mkfifo fifo
    timeout 20 sh -c 'cat hello.bin >fifo' &
    check "image through a pipe" 0 "$banner$settings$summary"$'\n' timeout 20 "$sim" --memory=memory.bin fifo
    wait
    expect "the pipe's bytes reached the board" cmp -s memory.bin memory-download.bin
    check "endless file stops at 64 KiB" 0 "$banner$settings"$'Send databytes: 65536  0x10000\n'"$longer" \
        timeout 20 "$sim" /dev/zero
    check "file that opens but cannot be read" 1 \
        "$banner$settings"$'\nRead error in the image file after 0 databytes !\n' timeout 20 "$sim" /proc/self/mem
fi

# The real tool, only where it cannot reach the ports.
check "real tool: usage" 1 "$banner$usage" "$quorva"
check "real tool: missing file" 1 "$banner"$'\nFile missing.bin not found !\n' "$quorva" missing.bin
if [ -z "$runner" ]; then
    if python3 -c 'import ctypes,sys; sys.exit(0 if ctypes.CDLL(None).ioperm(0x378, 3, 1) != 0 else 1)' 2>/dev/null; then
        $quorva hello.bin >out.txt 2>err.txt </dev/null
        status=$?
        expect "real tool: refused ports end with status 1" [ "$status" = 1 ]
        expect "real tool: the refusal is explained" grep -q '^No access to portadress 0x378 (.*) !$' out.txt
        expect "real tool: settings line before the refusal" grep -q '^Settings: portadress 0x378  offset 0x0000$' out.txt
    else
        echo "SKIPPED: quorva with a file: this machine grants port access, and the test must not touch real hardware"
    fi
else
    # Under wine a port instruction is refused as on Windows NT: the probe must catch that.
    check "real tool: refused ports" 1 "$banner"$'Settings: portadress 0x378  offset 0x0000\n\nNo access to portadress 0x378 (port instructions are refused: run as administrator with a port-access driver such as giveio installed) !\n' \
        "$quorva" hello.bin
fi

echo "end-to-end: $passes passed, $failures failed"
[ "$failures" = 0 ]
