#!/usr/bin/env bash
# Runs the built programs as processes and writes what each run shows (standard output, standard
# error, exit status, the board's traffic and memory) into a transcript, in sections: each section
# runs in a folder of its own, makes there the files it needs, and must match its own file
# tests/e2e/expected/SECTION.txt line for line, so that a failure names its area.
# Usage: run.sh linux BUILD_DIR [""] [SECTION...]   (status 77: passed, but the overlay runs were skipped)
#        run.sh windows BUILD_DIR LINUX_BUILD_DIR [SECTION...]   (the .exe files under wine; the Linux
#        quorva-sim shows what the fake inpout32.dll's board must receive)
#        run.sh linux-i386 BUILD_DIR LINUX_BUILD_DIR   (the 32-bit programs, only the runs that a
#        second architecture can change: the section i386)
# Without a SECTION it runs all of the platform's sections (listed at the end).
set -u
platform=$1 build=$(realpath "$2") reference=${3:+$(realpath "$3")}
shift $(($# < 3 ? $# : 3))
root=$(dirname "$(realpath "$0")")/../..
data=$root/tests/data
runner="timeout 60" exe=
[ "$platform" = windows ] && runner="timeout 120 wine" exe=.exe
works=$(mktemp -d /tmp/quorva-end-to-end.XXXXXX)
trap 'rm -rf "$works"' EXIT
banner=$'\n***********************************\n***     Quorvaemulator V1.00    ***\n***    eproms@quorva.example    ***\n***    Use at your own risk !   ***\n***    Last change: 17.11.2001  ***\n***********************************\n\n'

# run PROGRAM ARGS...: one run, with the FAKE_ settings it sees, into the transcript: its standard
# output, its standard error after "! ", each with the exact banner shown as "[banner]", and its
# status. Under wine every line must end in "\r\n" (text mode); one that does not is marked.
run() {
    local program=$1 label=${1#"$build"/} status stream text mark=
    shift
    echo "\$ ${PRELOAD:+LD_PRELOAD=ppdev-preload.so }$(env | grep '^FAKE_' | sort | tr '\n' ' ')${label%.exe} $*"
    $runner ${PRELOAD:+env LD_PRELOAD=$PRELOAD} "$program" "$@" >out.txt 2>err.txt </dev/null
    status=$?
    for stream in out.txt err.txt; do
        text=$(if [ "$platform" = windows ]; then sed 's/\r$//;t;s/$/<no CR>/' $stream; else cat $stream; fi; echo .)
        text=${text%.}
        text=${text//"$banner"/$'[banner]\n'}
        printf '%s' "$text" | sed "s/^/$mark/"
        mark="! "
    done
    echo "[status $status]"
}
sim() { run "$build/quorva-sim$exe" "$@"; }
quorva() { run "$build/quorva$exe" "$@"; }
ppdev() { PRELOAD=$work/ppdev-preload.so run "$build/quorva" "$@"; }
# traced STRACE-ARGS... PROGRAM ARGS...: a runner under strace's fault or delay injection (the
# sanitizers' leak check cannot run under strace).
traced() { timeout 60 env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -o /dev/null \
    --quiet=attach,exit,path-resolution "$@"; }
# Runners with standard input closed, and with standard input and output closed.
closed_stdin() { timeout 60 "$@" <&-; }
closed_stdout() { timeout 60 "$@" <&- >&-; }
# same WHAT A B [C D]: files of two runs, A and B (and C and D), must be the same byte for byte.
same() { cmp -s "$2" "$3" && { [ $# = 3 ] || cmp -s "$4" "$5"; } && echo "$1: the same" || echo "$1: DIFFERENT"; }

# as_srec_cat NAME OFFSET FORMAT [FILE]: quorva-sim's download of NAME (a copy of FILE, or /dev/stdin
# with FILE piped) with OFFSET must leave the memory srec_cat makes of FILE in srec_cat's FORMAT
# over 0xFF, and send the count of bytes srec_cat sees defined.
as_srec_cat() {
    [ -e $1 ] || cp $4 $1 || exit 1
    for fill in 0x00 0xFF; do srec_cat ${4:-$1} $3 -offset ${2%%[!-]*}0x${2#-} -fill $fill 0 0x10000 -o ref$fill.bin -binary 2>/dev/null; done
    cat ${4:-$1} | $runner "$build/quorva-sim$exe" --memory=m.bin $1 -a 378 -o $2 >out.txt 2>&1
    echo "$1 -o $2: sent $(tr -d '\r' <out.txt | sed -n 's/^Send databytes: \([0-9]*\).*/\1/p'), srec_cat defines" \
        "$((65536 - $(cmp -l ref0x00.bin ref0xFF.bin | wc -l))); $(same memory m.bin ref0xFF.bin)"
}

# Texts, file names, the positional options and the scan of their values (the settings line
# shows what is used; the silent board ends each run quickly); the exact traffic and memory of a
# typical download, and the range limits at their edges.
section_cmdline() {
    sim
    sim --help
    # --help and --version as the only argument, where no file has that name; a file named --help
    # is downloaded.
    for args in --help --version "--help three.bin"; do quorva $args; done
    cp three.bin ./--help && sim -- --help && rm ./--help
    sim -a 0x278 hello.bin
    sim adir
    for args in "-a" "-o 100" "-a 278 -o 800" "-A 0x278" "-ax 278" "-a zz" "-a 3bcg" "-a 0xafg -o" "-a 0x" \
        "-a 0xg" "-a -" "-a 123456789" "-a -0x10" "x y -o 100" "-a 378 -o -1" "-o 10 -a 278" "-a 278 -o 10 -o 20"; do
        sim --board=silent hello.bin $args
    done
    sim --board=silent hello.bin -a $' \t+0X2bC'

    sim --trace=trace.txt --memory=memory.bin three.bin -a 378 -o 12AB
    uniq -c trace.txt | sed 's/^ */trace /'  # runs of equal lines, and of equal bytes:
    od -An -v -tx1 -w1 memory.bin | uniq -c | sed 's/^ */memory /'
    sim --board-port=FFFD three.bin -a FFFD -o FFFF
    sim hello.bin -a FFFE
    quorva hello.bin -a 378 -o 10000
    sim hello.bin -a 378 -o FFE0
    sim hello.bin -a 378 -o FFE5
}

# HEX and S-record files of objcopy, srec_cat and sdcc, under their endings and under others,
# and padded with Ctrl-Z; raw files, some starting as records do.
section_formats() {
    cp "$data"/images/*.* .
    { cat tiny.ihx; head -c 700 /dev/zero | tr '\0' '\032'; } >cpm.dat
    head -c 4000 /dev/urandom >random.dat
    { printf ':00000001FF\0'; head -c 3000 /dev/urandom; } >colon.bin
    { printf 'S1030000FC\r'; tr -d '\r' <rom-objcopy.srec; } >s1.bin
    for case in "rom-objcopy.hex 0 -intel" "rom-objcopy.srec 0 -motorola" "linear.hex -10000 -intel" \
        "seg.hex -20000 -intel" "rom.s28 0 -motorola" "rom.s37 -30000 -motorola" "tiny.ihx 0 -intel" "sparse.hex 0 -intel" \
        "rom.mcs 0 -intel rom-objcopy.hex" "tiny.a43 0 -intel tiny.ihx" "rom.s1 0 -motorola rom-objcopy.srec" \
        "rom.s2 0 -motorola rom.s28" "rom.s3 -30000 -motorola rom.s37" "rom.sx 0 -motorola rom-objcopy.srec" \
        "rom.exo 0 -motorola rom.s28" "rom.txt 0 -intel sparse.hex" "rom -10000 -intel linear.hex" \
        "srec.bin 0 -motorola rom-objcopy.srec" "cpm.dat 0 -intel tiny.ihx" "random.dat 100 -binary" \
        "colon.bin 0 -binary" "s1.bin 8000 -binary" "README.txt 0 -binary"; do
        as_srec_cat $case
    done
    # One such download whole, and refusals before the port: a wrong checksum, a byte past 0xFFFF.
    sim sparse.hex
    sed '3s/38\r$/39\r/' sparse.hex >bad.hex
    sim bad.hex -a 378 -o 0
    cp bad.hex bad.txt && sim bad.txt
    sim linear.hex -a 378 -o -2000
}

# The handshake's budget (with an empty image), and a board that stops answering at every
# transfer in turn.
section_board() {
    sim --delay=99999 empty.bin
    sim --delay=100000 empty.bin
    for n in 1 2 3 4 5 6 7 8 9 10; do
        sim --stall-after=$n three.bin -a 378 -o 2AB
    done
}

# quorva-sim's options at and past their limits; its own errors end with status 2 before
# anything runs, and the image is never written, whatever name an output file gives it.
section_outputs() {
    sim --trace=trace.txt --memory=memory.bin three.bin -a 378 -o 12AB >/dev/null
    for option in -- --version --board=ok --board=stuck --board=broken --board-port=0x378 --board-port=FFFE --board-port=+378 \
        --board-port=378g --delay=1000000 --delay=0 --delay=1000001 --stall-after=4294967295 --stall-after=4294967296 \
        --trace= --bogus; do
        sim $option empty.bin
    done
    sim --memory=./new.bin new.bin
    sim --trace=out.txt --memory=./out.txt hello.bin
    sim --memory=./hello.bin hello.bin
    sim --trace=link.bin hello.bin
    sim --trace=new.bin --memory=adir/none/trace.txt hello.bin
    echo "files left by the refused runs:" $(ls new.bin 2>/dev/null)
    # An output that exists is emptied once accepted (trace.txt holds the longer trace of three.bin):
    # a new file takes its name, and its other names keep the old one (a hard link to memory.bin,
    # the target of trace.txt, now a symbolic link).
    echo >>memory.bin
    mv trace.txt old-trace.txt && ln -s old-trace.txt trace.txt && ln memory.bin old-memory.bin || exit 1
    cp old-trace.txt trace-before.txt && cp memory.bin memory-before.bin || exit 1
    sim --trace=trace.txt --memory=memory.bin empty.bin
    echo "lines in the trace of the empty image: $(wc -l <trace.txt), bytes in its memory file: $(wc -c <memory.bin)"
    same "the old trace and memory under their other names" old-trace.txt trace-before.txt old-memory.bin memory-before.bin
    echo "trace.txt after the run: $(stat -c %F trace.txt)"
    same "hello.bin after the refused runs and the sample" hello.bin "$root/samples/hello.bin"
}

# quorva-sim's outputs on Linux. The image's or the output's identity cannot be read: the Nth stat
# of either fails with EIO (the open output's, the image's). Each run is refused, and the image is
# neither emptied nor taken for a file the run created and removed.
section_sim-linux() {
    sim --memory=memory.bin empty.bin >/dev/null
    cp "$data"/images/seg.hex . && { printf ':00000001FF\0'; head -c 3000 /dev/urandom; } >colon.bin || exit 1
    # Outputs whose links end where the image, or the other output, would be: links that point
    # nowhere yet (which wine shows to no Windows program). A refused run leaves no file behind.
    ln -s img.bin dangling.txt && ln -s a.txt to-a.txt || exit 1
    sim --trace=dangling.txt img.bin
    sim --trace=a.txt --memory=to-a.txt hello.bin
    echo "files left by the refused runs:" $(ls img.bin a.txt 2>/dev/null)

    for args in "--trace=link.bin hello.bin" "--trace=hello.bin hello.bin"; do for n in 1 2; do
        echo "stat number $n of hello.bin or link.bin fails:"
        runner="traced -P hello.bin -P link.bin -e inject=%stat,%fstat,%lstat:error=EIO:when=$n" sim $args
    done; done
    same "hello.bin after the runs that could not read an identity, and the sample" hello.bin "$root/samples/hello.bin"

    # Another program acts while strace holds the run at its first open of the file after -P (its
    # log shows the open): the user's file appears at a name the run found free; the folder's link
    # turns to a folder holding the user's file; the user's file takes a name the run found free.
    # The run is refused and removes none of the user's files.
    mkdir d1 d2 && ln -s d1 dl && echo "the user's file" >user.txt && cp user.txt d2/t.txt || exit 1
    while IFS='|' read -r what action check path args; do
        echo "$what:"
        rm -f held.txt && (for i in $(seq 3000); do [ -s held.txt ] && break || sleep 0.01; done; eval "$action") &
        runner="traced -o held.txt -P $path -e inject=openat:delay_enter=1500000:when=1" sim $args
        wait $!
        same "the user's $check" user.txt "$check"
    done <<'END'
the user's file appears|cp user.txt new.txt|new.txt|new.txt|--trace=signal.txt --memory=new.txt new.txt
the folder's link turns|ln -sfn d2 dl|d2/t.txt|hello.bin|--trace=dl/t.txt --memory=hello.bin hello.bin
the user's file takes the name|cp user.txt u.txt && mv u.txt d1/n.txt|d1/n.txt|hello.bin|--trace=d1/n.txt --memory=hello.bin hello.bin
END
    echo "files left by the refused runs:" $(ls signal.txt d1/* d2/* 2>/dev/null)
    # Refused runs, at their outputs' opens and at their checks, make no unlink or rename call
    # and leave no file of their own.
    ls -A >before.txt && mkfifo unread.fifo || exit 1
    for args in "--memory=./new.bin new.bin" "--trace=memory.bin --memory=hello.bin hello.bin" "--trace=dangling.txt img.bin" \
        "--trace=a.txt --memory=to-a.txt hello.bin" "--trace=a.txt --memory=adir/none/m.bin hello.bin" "--trace=a.txt --memory=unread.fifo hello.bin"; do
        traced -o calls.txt -e trace=unlink,unlinkat,rename,renameat,renameat2 "$build/quorva-sim" $args >/dev/null 2>&1
        echo "status $?, calls: $(grep -c . calls.txt)"
    done | sort | uniq -c | sed 's/^ */refused runs: /'
    echo "files the refused runs made:" $(ls -A | grep -vxF -f before.txt -e calls.txt -e unread.fifo)
    # A FIFO that no program reads is refused, not waited for; a file's name with a slash after it,
    # as the kernel refuses it (a folder); a pipe is written at its reader's pace.
    runner="timeout 10" sim --trace=unread.fifo hello.bin
    sim --trace=hello.bin/ hello.bin
    sim --trace=>(sleep 0.5; wc -l >lines.txt) hello.bin
    wait $! && echo "trace lines through a slow pipe: $(cat lines.txt)"

    # An overlay mount's lower and merged names of one image: two devices, one inode number. In a
    # mount namespace of the run's own, as root or as a user where the kernel lets users mount one.
    mkdir lower upper ovl merged && cp hello.bin lower/ || exit 1
    # In a chroot the root's propagation cannot be changed: there the namespace keeps it, and the
    # overlay is unmounted before the namespace ends, so that nothing can reach the system's mounts.
    propagation=private
    unshare -m$([ "$(id -u)" = 0 ] || echo r) true 2>/dev/null || propagation=unchanged
    overlay() { timeout 60 unshare -m$([ "$(id -u)" = 0 ] || echo r) --propagation $propagation sh -c \
        'mount -t overlay overlay -o lowerdir=lower,upperdir=upper,workdir=ovl merged || exit; "$@"; s=$?
         umount merged && exit $s' - "$@"; }
    if ! why=$(overlay true 2>&1); then
        echo "the overlay runs SKIPPED (user $(id -un) cannot mount an overlay: ${why##*: })" >"$work/skipped"
        return
    fi
    echo "an overlay's lower and merged names of one image:"
    for args in "--trace=lower/hello.bin merged/hello.bin" "--memory=merged/hello.bin lower/hello.bin"; do
        runner=overlay sim $args
    done
    same "the lower hello.bin after the overlay runs, and the sample" lower/hello.bin "$root/samples/hello.bin"

    # With standard input closed, the trace takes another descriptor, so /dev/stdin fails to open as
    # it does for quorva. A write to the trace that fails once, in the middle, is reported (the
    # sanitizers' leak check cannot run under strace).
    echo "standard input closed:"
    runner=closed_stdin sim --trace=t.txt /dev/stdin
    # With standard output closed as well, the trace takes neither descriptor: it holds port accesses only.
    echo "standard input and output closed:"
    runner=closed_stdout sim --trace=t.txt hello.bin
    echo "trace lines that are no port access: $(grep -cv '^[RW] ' t.txt)"
    echo "the 100th write fails with no space left, the later ones succeed:"
    runner="timeout 60 env ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o /dev/null
        -e trace=write -e inject=write:error=ENOSPC:when=100" sim --trace=t.txt hello.bin

    # An endless and an unreadable file; then an image through a pipe, where each message is out
    # as soon as it is printed: the banner and the settings line are read while the tool still
    # waits for the image.
    sim /dev/zero
    sim /proc/self/mem
    ln -s /dev/zero zero.hex && ln -s /proc/self/mem mem.s19 || exit 1  # endless, and unreadable, as records
    sim zero.hex
    sim mem.s19
    sim --stall-after=1 /proc/self/mem  # the read error comes first; the end command is not answered
    sim --memory=/dev/full three.bin
    mkfifo fifo
    timeout 60 "$build/quorva-sim" fifo 2>/dev/null | {
        exec 3<>fifo
        timeout 10 head -n 9 | sed 's/^/before the image: /'
        timeout 10 cat hello.bin >&3
        exec 3>&-
        cat
    }
    echo "[status ${PIPESTATUS[0]}]"
    # A HEX file, and a raw file that starts as one does, through /dev/stdin (no name in Windows).
    as_srec_cat /dev/stdin -20000 -intel seg.hex
    as_srec_cat /dev/stdin 0 -binary colon.bin
}

# The real quorva over the kernel's parallel-port device, a stand-in answering from the
# simulated board: the same texts, the same port traffic (one ioctl per access) and memory
# as quorva-sim; and each reason for a refusal. The stand-in is copied where the loader surely
# finds it: one that cannot be loaded is skipped, and as root quorva would reach a real port.
standin() { cp -r "$build/tests/ppdev-preload.so" "$data/"{ioports.txt,pci-classes.txt,devices} . || exit 1; }
section_ppdev() {
    standin
    sed '3s/38\r$/39\r/' "$data/images/sparse.hex" >bad.hex
    sim --trace=trace.txt --memory=memory.bin hello.bin
    FAKE_TRACE=ppdev-trace.txt FAKE_MEMORY=ppdev-memory.bin FAKE_PARPORT0=632 FAKE_PARPORT1=888 ppdev hello.bin
    same "ppdev trace and memory, and quorva-sim's" ppdev-trace.txt trace.txt ppdev-memory.bin memory.bin
    FAKE_MEMORY=ppdev-memory.bin FAKE_UID=1000 FAKE_PARPORT15=53264 ppdev hello.bin -a D010
    same "ppdev memory of a normal user at 0xD010, and quorva-sim's" ppdev-memory.bin memory.bin
    ppdev hello.bin
    FAKE_IOPERM_ERRNO=EPERM FAKE_PARPORT0=632 FAKE_PARPORT1=53264 ppdev hello.bin
    FAKE_UID=1000 FAKE_PARPORT0=888 FAKE_PARPORT_ERRNO=EACCES ppdev hello.bin
    FAKE_PARPORT0=632 FAKE_PARPORT1=888 FAKE_PARPORT_ERRNO=ENOENT ppdev hello.bin
    FAKE_IOPERM_ERRNO=EBUSY FAKE_PARPORT0=888 FAKE_PARPORT_ERRNO=EBUSY ppdev hello.bin
    # A failed access ends the run there, with status 1 and no access after it (the stand-in aborts
    # on one): the idle write, the probe's strobe write and its read, a zero write, the data write,
    # the strobe-off write and a status read of byte 5, the end transfer's last read. A board that
    # stops answering on this route is still reported as such.
    for n in 1 3 4 7 200092 200095 200096 200491; do
        FAKE_FAIL_ACCESS=$n FAKE_PARPORT0=888 ppdev hello.bin -a 378 -o 100
    done
    FAKE_STALL_AFTER=2 FAKE_PARPORT0=888 ppdev hello.bin
    # A HEX file with an error is refused before the port device is even opened.
    FAKE_PARPORT0=888 ppdev bad.hex
    # Turns: the printer driver holds the port and yields it to the claim cut short at once, which
    # stays on the port's wait list (at 0.6 s, before any wait line; at 2.5 s, after it), then
    # claims again; a ppdev program's hold is waited out in user space, also one that lp yielded to
    # ahead of quorva's claim, and so is its device still registered on the port (a run that has
    # just ended), for about a second but no longer (one kept open); another run holds the lock
    # (with standard output closed, which the port device must never become).
    for holder in lp:600 lp:2500 ppdev1:1500; do
        FAKE_HOLDER=${holder%:*} FAKE_HOLD_MS=${holder#*:} FAKE_PARPORT0=888 ppdev three.bin
    done
    FAKE_HOLDER=lp FAKE_HOLD_MS=1500 FAKE_SLEEPER=1 FAKE_PARPORT0=888 ppdev three.bin
    for gone in 0.5 2; do mkdir devices/ppdev0; { sleep $gone && rmdir devices/ppdev0; } & FAKE_PARPORT0=888 ppdev three.bin; wait; done
    flock parport0 sleep 2 & sleep 0.3
    runner=closed_stdout FAKE_UID=1000 FAKE_PARPORT0=888 ppdev three.bin -a 378 && wait
}

# Root's route to the port (the lock folder made by a first run at 0x378).
section_root() {
    standin
    ppdev three.bin >/dev/null
    # Root touches no port that another driver owns (unit/test_ioports.cpp has the owners in
    # /proc/ioports, the 32-bit runs a refusal for one), nor a PCI device's without its driver
    # unless the class in sysfs (pci-classes.txt) is a parallel controller's (an SMBus controller
    # at EFA0, a parallel card at D010), nor the kernel's port without ppdev while a driver is
    # registered on it (its devices folder, here "devices", names more than "active").
    grep -v '^#' pci-classes.txt | while read -r pci class; do mkdir -p pci-devices/$pci && echo $class >pci-devices/$pci/class; done
    for address in EFA0 D010; do ppdev three.bin -a $address; done
    # Root's own check of /proc/ioports, made on the ppdev route as well: PCI conf1 owns 0xCF8.
    FAKE_PARPORT0=888 ppdev hello.bin -a CF7
    mkdir devices/lp && FAKE_PARPORT0=888 FAKE_PARPORT_ERRNO=ENOENT ppdev three.bin
    # Root's lock files are in a folder of root's alone, made by quorva; one that others may write,
    # that is not root's, or that is a link is refused.
    stat -c '%a %F' run-quorva run-quorva/0x0378.lock
    chmod 0730 run-quorva && ppdev three.bin
    chmod 0700 run-quorva && FAKE_RUN_UID=1000 ppdev three.bin
    mv run-quorva real-run && ln -s real-run run-quorva && ppdev three.bin
}

section_windows() {
    # quorva.exe over a fake InpOut32 with the simulated board: beside the program it is used,
    # with the same texts, port traffic (one call per access) and memory as the Linux quorva-sim;
    # in the current folder it is never loaded. The program's folder has a name that no ANSI code
    # page can spell.
    "$reference/quorva-sim" --trace=trace.txt --memory=memory.bin hello.bin >/dev/null 2>&1
    mkdir prog_ж日本ก
    cp "$build/quorva.exe" "$build/fake-inpout32/inpout32.dll" prog_ж日本ก/
    FAKE_INPOUT32_TRACE=inpout-trace.txt FAKE_INPOUT32_MEMORY=inpout-memory.bin run prog_ж日本ก/quorva.exe hello.bin
    same "InpOut32 trace and memory, and quorva-sim's" inpout-trace.txt trace.txt inpout-memory.bin memory.bin
    # Two runs on one port at once: the second, started while the first (slowed down) is under way,
    # touches the port only once the first has ended, and says that it waits after a second.
    FAKE_INPOUT32_TURNS=turns.txt FAKE_INPOUT32_SLOW=20 $runner prog_ж日本ก/quorva.exe hello.bin >first.txt 2>&1 &
    for i in $(seq 300); do [ -s turns.txt ] && break || sleep 0.1; done
    FAKE_INPOUT32_TURNS=turns.txt run prog_ж日本ก/quorva.exe hello.bin
    wait $!; echo "the runs' first and last accesses, in order: $(cut -d ' ' -f 2 turns.txt | paste -sd ' ')"
    # The driver does not open: with Windows' Memory integrity on the reason says so; off, or not
    # the DWORD Windows writes, the reason stays (as without the key).
    hvci='HKLM\SYSTEM\CurrentControlSet\Control\DeviceGuard\Scenarios\HypervisorEnforcedCodeIntegrity'; wine reg delete "$hvci" /f >/dev/null 2>&1
    FAKE_INPOUT32_DRIVER=closed run prog_ж日本ก/quorva.exe hello.bin
    for value in REG_DWORD:1 REG_DWORD:0 REG_SZ:1; do wine reg add "$hvci" /v Enabled /t ${value%:*} /d ${value#*:} /f >/dev/null 2>&1 &&
        echo "Memory integrity Enabled = $value:" && FAKE_INPOUT32_DRIVER=closed run prog_ж日本ก/quorva.exe hello.bin; done
    cp prog_ж日本ก/inpout32.dll .
    echo "inpout32.dll in the current folder only:"
    quorva hello.bin
    # In the system folder (SysWOW64 in a 64-bit prefix) it is found.
    system=${WINEPREFIX:-$HOME/.wine}/drive_c/windows/syswow64
    [ -d "$system" ] || system=${system%/*}/system32
    mv inpout32.dll "$system/" && echo "inpout32.dll in the system folder:" && quorva hello.bin
    rm -f "$system/inpout32.dll"

    # Whom the ports belong to, asked before any port access; the fake InpOut32's board sits at each
    # address. A fake cfgmgr32.dll put in place of wine's (native first) serves tests/data/devtree.txt:
    # through the log configurations; then as to a 32-bit program on 64-bit Windows, where those are
    # not implemented and the resources come from the registry in the 64-bit layout
    # (tests/data/resourcemap.reg), and in the 32-bit one (tests/data/resourcemap-32.reg), each with
    # the same decisions; then wine's own, which lists nothing. Without InpOut32 (the port
    # instructions, as on Windows 9x) the same check comes first.
    owner_runs() { for address in "$@"; do
        rm -f t.txt && FAKE_INPOUT32_BASE=$address FAKE_INPOUT32_TRACE=t.txt run prog_ж日本ก/quorva.exe hello.bin -a $address
        echo "port accesses: $(cat t.txt 2>/dev/null | wc -l)"; done; }
    cp "$data"/{devtree.txt,resourcemap.reg,resourcemap-32.reg} . && mv "$system/cfgmgr32.dll" . && cp "$build/fake-cfgmgr32/cfgmgr32.dll" "$system/" || exit 1
    wine "$system/rundll32.exe" cfgmgr32.dll,CreateResourceMap || exit 1
    owners="378 37A 37D 778 77D D010 D000 D012 E000 D800 5000 3F6 1F0 CF7 60 E100 F000"
    FAKE_CFGMGR32_TREE=devtree.txt owner_runs $owners | tee log-conf.txt
    for map in 1:resourcemap.reg 0:resourcemap-32.reg; do wine regedit /s ${map#*:} || exit 1
        FAKE_CFGMGR32_TREE=devtree.txt FAKE_CFGMGR32_WOW64=${map%:*} owner_runs $owners | sed 's/FAKE_CFGMGR32_WOW64=. //' >map.txt
        same "decisions through the resource map of ${map#*:} (WOW64 ${map%:*}) and the log configurations" map.txt log-conf.txt; done
    FAKE_CFGMGR32_TREE=devtree.txt quorva hello.bin -a 1F0
    # The port's mutex: its DACL read back while quorva holds it (A;;0x100001;;;WD: Everyone may
    # wait and release it; 0x1f0001, every right, for the user who made it); its name taken by an
    # event, or by a mutex that shuts quorva out; held by another for half a second (no word) and
    # for two seconds.
    FAKE_INPOUT32_DACL=dacl.txt run prog_ж日本ก/quorva.exe hello.bin && cat dacl.txt
    for squat in event shut 500 2000; do FAKE_CFGMGR32_SQUAT=$squat run prog_ж日本ก/quorva.exe hello.bin; done
    mv cfgmgr32.dll "$system/" || exit 1
    owner_runs 378 278 3BC D010 5000 CF7 1F0 3F8 60
    # An inpout32.dll without InpOut32's functions (a program, in fact) beside quorva.exe.
    cp "$build/quorva-sim.exe" prog_ж日本ก/inpout32.dll
    run prog_ж日本ก/quorva.exe hello.bin
    # Another drive letter for the work folder, the current folder (on Z:): one file that does not
    # exist yet, named through both.
    ln -sfn "$work" "${WINEPREFIX:-$HOME/.wine}/dosdevices/y:" || exit 1
    sim '--trace=Y:\t.txt' t.txt
    sim '--trace=Y:\a.txt' --memory=a.txt hello.bin
    rm "${WINEPREFIX:-$HOME/.wine}/dosdevices/y:"
    echo "files left by the refused runs:" $(ls t.txt a.txt 2>/dev/null)
}

section_i386() {
    # The 32-bit programs: a whole download by quorva over the 32-bit ppdev stand-in with the native
    # quorva-sim's traffic and memory, refusals (one reads the ports' decimal bases), a failed access.
    cp -r "$build/tests/ppdev-preload.so" "$data/ioports.txt" "$data/devices" . || exit 1
    "$reference/quorva-sim" --trace=trace.txt --memory=memory.bin hello.bin -a 378 -o FFE5 >/dev/null 2>&1
    FAKE_TRACE=ppdev-trace.txt FAKE_MEMORY=ppdev-memory.bin FAKE_PARPORT0=632 FAKE_PARPORT1=888 ppdev hello.bin -a 378 -o FFE5
    same "ppdev trace and memory, and the native quorva-sim's" ppdev-trace.txt trace.txt ppdev-memory.bin memory.bin
    FAKE_IOPERM_ERRNO=EPERM FAKE_PARPORT0=632 FAKE_PARPORT1=53264 ppdev hello.bin
    FAKE_UID=1000 FAKE_PARPORT0=888 FAKE_PARPORT_ERRNO=EACCES ppdev hello.bin
    FAKE_PARPORT0=888 ppdev hello.bin -a CF7
    FAKE_FAIL_ACCESS=200092 FAKE_PARPORT0=888 ppdev hello.bin -a 378 -o 100
}

all="cmdline formats board outputs"
case $platform in linux) all+=" sim-linux ppdev root" ;; windows) all+=" windows" ;; *) all=i386 ;; esac
failed= skips=
for section in ${*:-$all}; do
    [[ " $all " = *" $section "* ]] || { echo "FAIL: $platform has no section $section (its sections: $all)"; exit 1; }
    transcript=$build/e2e-$platform-$section.txt work=$works/$section
    # Every section starts with the sample, its first three bytes, an empty file, a folder and a link.
    mkdir "$work" && cd "$work" && cp "$root/samples/hello.bin" . && head -c 3 hello.bin >three.bin && : >empty.bin &&
        mkdir adir && ln -s hello.bin link.bin || exit 1
    ("section_$section") >"$transcript" 2>&1
    skipped=$(cat skipped 2>/dev/null)
    [ -z "$skipped" ] || [ "${CI:-}" != true ] || { echo "FAIL: $skipped, and CI skips nothing"; exit 1; }
    skips+=${skipped:+; $skipped}
    sed "${skipped:+/^an overlay/,/^the lower hello.bin after/d}" "$root/tests/e2e/expected/$section.txt" | diff - "$transcript" ||
        { failed+=" $section"; echo "FAIL: the transcript $transcript differs from tests/e2e/expected/$section.txt (above)"; }
done
[ -z "$failed" ] && result=passed || result="FAILED:$failed"
echo "end-to-end ($platform: ${*:-$all}): $result$skips"
[ -z "$failed" ] || exit 1
[ -z "$skips" ] || exit 77  # what ctest shows as skipped
