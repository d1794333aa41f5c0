#!/usr/bin/env bash
# One refusal case of the installer, run inside the sandboxed instrument as root:
#   hostile_case.sh CASE INSTALLER HOSTILE_PACKAGE_BUILDER [RACER]
# (RACER, tests/e2e/FolderSwapRacer.cpp, only for the folder-swap case.)
# Installs the case's damaged or hostile package and checks that the run ends as it must (exit status and log
# lines) while nothing outside the partitions the package names changed: the sandbox's root and every other
# partition are compared before and after. Then the well-formed package with the same names must install.
set -uo pipefail

case_name=$1 installer=$2 builder=$3
log_dir=/emmc/update/LOG
pkg_dir=/emmc/update/pkg
pkg=$pkg_dir/h.pkg
run=0

source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"
# The lines that follow the first line holding $2 in log $1 start with the remaining arguments.
expect_followed_by() {
    local log=$1 first=$2 got want
    shift 2
    local -a got
    mapfile -t got < <(grep -A$# -F -- "$first" "$log" | head -$(($# + 1)) | tail -$# | sed 's/^[^ ]* [^ ]* - //')
    local i=0 line
    for line in "$@"; do
        [ "${got[$i]:0:${#line}}" = "$line" ] || fail "after '$first' the log has '${got[$i]:-}', not '$line...'"
        i=$((i + 1))
    done
}

# Everything the run may not change: the sandbox's root (its own trees and the bound source and build trees
# aside) and every partition not in the arguments, with type, mode, owner, size, time, link target and data.
snapshot() {
    local prune=(-path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /usr
        -o -path "/$(echo "$installer" | cut -d/ -f2)" -o -path $log_dir -o -path $pkg_dir
        -o -path /var/cache)
    local part
    for part in "$@"; do prune+=(-o -path "/emmc/$part"); done
    # The update partition's own folder changes with its LOG and pkg folders.
    find / \( "${prune[@]}" \) -prune -o -printf '%p|%y|%m|%U|%G|%s|%T@|%l\n' | grep -v '^/emmc/update|' | sort
    find / \( "${prune[@]}" \) -prune -o -type f -print0 | sort -z | xargs -0r md5sum
}

build() {
    mkdir -p $pkg_dir
    "$builder" "$case_name" "$1" "$2" || { echo "FAIL: could not build the $1 $case_name package" >&2; exit 1; }
}

# Runs the installer with -e on the package and checks its exit status; sets $log to the run's log file.
install_expecting() {
    local expected=$1 package=$2 status
    run=$((run + 1))
    timeout 40 "$installer" -e -p "$package" >/tmp/installer.out 2>&1
    status=$?
    [ "$status" = "$expected" ] || { fail "run $run exited $status, not $expected"; cat /tmp/installer.out >&2; }
    # The run's own lines: those after the last separator of the newest log file.
    run_log=$(ls -t $log_dir/*.log 2>/dev/null | head -1)
    [ -n "$run_log" ] || fail "run $run left no log"
    log=/tmp/run$run.log
    awk '/ - -----------/ { n = NR } { line[NR] = $0 } END { for (i = n + 1; i <= NR; i++) print line[i] }' \
        "$run_log" >$log
}

# The bad package fails (status 1) without changing anything outside the named partitions.
refused() {
    local package=$1 before
    shift
    before=$(snapshot "$@")
    install_expecting 1 "$package"
    [ "$(snapshot "$@")" = "$before" ] || fail "something outside /emmc/{$*} changed: $(diff <(echo "$before") <(snapshot "$@") | head -20)"
    ! grep -q ' - Update completed sucessfully\.$' "$log" || fail "the refused run logged success"
    case "$run_log" in *_error.log) ;; *) fail "the refused run's log is $run_log" ;; esac
}

# Installs the package expecting success, checking that nothing outside the named partitions changed.
installed() {
    local package=$1 before
    shift
    before=$(snapshot "$@")
    install_expecting 0 "$package"
    [ "$(snapshot "$@")" = "$before" ] || fail "something outside /emmc/{$*} changed: $(diff <(echo "$before") <(snapshot "$@") | head -20)"
    grep -q ' - Update completed sucessfully\.$' "$log" || fail "the run did not log success"
}

# Removes what a case left in /emmc/rootfs/opt (the run put the partition back read-only).
clean_opt() {
    mount -o remount,rw /emmc/rootfs && rm -rf /emmc/rootfs/opt && mount -o remount,ro /emmc/rootfs ||
        fail "could not clean /emmc/rootfs/opt"
}

# After a case that leaves its trees in /emmc/rootfs/opt, those go and the well-formed twin installs.
twin_installs() {
    clean_opt
    build good $pkg
    installed $pkg rootfs kelda_usr
}

h=/emmc/kelda_usr/h
only_maintenance="only a MAINTENANCE package may create device nodes and FIFOs, and only below /rootfs/dev"
# What every level-0 run says after the package is verified.
level0_line="    Package not authenticated: this instrument is at security level 0."
case "$case_name" in
truncated)
    build bad $pkg
    refused $pkg
    expect_followed_by "$log" "Loaded $pkg" "    The chunk at offset" "Failed to load $pkg !"
    expect_absent $h
    build good $pkg
    installed $pkg kelda_usr
    expect_content $h/cut.txt whole
    ;;
split-short)
    build bad $pkg_dir/p.001
    refused $pkg_dir/p.001
    expect_logged "$log" "Failed to load $pkg_dir/p.001 !"
    expect_not_logged "$log" "Verifying package integrity ..."
    expect_absent $h
    rm -f $pkg_dir/p.*
    build good $pkg_dir/p.001
    installed $pkg_dir/p.001 kelda_usr
    expect_file $h/part3.bin
    ;;
script-names)
    # Unusual names are data: each script runs as exactly that file and decides only its own items.
    build good $pkg
    installed $pkg kelda_usr
    expect_absent /injected
    expect_absent /tmp/injected
    expect_absent /tmp/script/injected
    expect_logged "$log" "Executing conditional script c.sh;cd ..;cd ..;touch injected;exit 0; ..."
    for c in 1 3 5; do expect_content $h/cond$c.txt "condition $c"; done
    for c in 2 4; do expect_absent $h/cond$c.txt; done
    ;;
tar-destination)
    build good $pkg
    installed $pkg rootfs kelda_usr
    expect_absent /tmp/injected
    dest='/emmc/rootfs/opt/x;touch "/tmp/injected";'
    expect_content "$dest/data/table.csv" "a,b"
    expect_file "$dest/post-tar-ran"
    expect_absent "$dest/post_tar.sh"
    ;;
lying-plain | lying-zlib)
    build bad $pkg
    refused $pkg kelda_usr
    expect_followed_by "$log" "Extracting and installing file /kelda_usr/h/big.bin ..." \
        "    File data exceeds its declared size of 1 bytes !" "Failed !"
    [ "$(stat -c %s $h/big.bin)" -le 1 ] || fail "big.bin grew past its declared size"
    build good $pkg
    installed $pkg kelda_usr
    [ "$(stat -c %s $h/big.bin)" = $((2 << 20)) ] || fail "big.bin is not whole"
    ;;
tart-negative)
    build bad $pkg
    refused $pkg rootfs kelda_usr
    expect_logged "$log" "    Error in calculating required room for tar chunk (Invalid string read from /tmp/neg_tart) !"
    expect_absent /emmc/rootfs/opt/neg
    build good $pkg
    installed $pkg rootfs kelda_usr
    expect_file /emmc/rootfs/opt/neg/a.bin
    ;;
busy-unmount)
    build bad $pkg
    refused $pkg kelda_usr
    grep -q ' /emmc/kelda_usr ext3 rw,' /proc/mounts || fail "the busy partition is not still mounted"
    kill "$(cat /run/busy.pid)" 2>/dev/null
    expect_followed_by "$log" "Umounting partition /emmc/kelda_usr ..." "Failed !"
    build good $pkg
    installed $pkg kelda_usr
    expect_content $h/kept.txt kept
    ;;
link-middle)
    build bad $pkg
    refused $pkg rootfs kelda_usr
    expect_followed_by "$log" "Extracting and installing file /rootfs/opt/esc/MLO ..." \
        "    Link '/emmc/rootfs/opt/esc' -> '/emmc/boot' leads outside partition '/emmc/rootfs'." "Failed !"
    expect_absent /emmc/boot/MLO
    twin_installs
    expect_content /emmc/rootfs/opt/esc/MLO "not a boot loader"
    ;;
link-leaf)
    build bad $pkg
    installed $pkg rootfs kelda_usr
    expect_absent /root/y
    [ -f /emmc/rootfs/opt/leaf ] && [ ! -L /emmc/rootfs/opt/leaf ] || fail "the link at the leaf was not replaced"
    expect_mode /emmc/rootfs/opt/leaf 4755
    twin_installs
    ;;
link-destination)
    build bad $pkg
    refused $pkg rootfs kelda_usr
    expect_logged "$log" "    Link '/emmc/rootfs/opt/d' -> '/emmc/kelda_sys' leads outside partition '/emmc/rootfs'."
    expect_absent /emmc/kelda_sys/t
    twin_installs
    expect_content /emmc/rootfs/opt/d/t/inside.txt inside
    ;;
link-directory)
    build bad $pkg
    installed $pkg rootfs kelda_usr
    [ -L /emmc/rootfs/opt/dl ] || fail "the first package left no link"
    case_name=link-directory-later build bad $pkg
    installed $pkg rootfs kelda_usr
    [ -d /emmc/rootfs/opt/dl ] && [ ! -L /emmc/rootfs/opt/dl ] || fail "the link was not replaced by a directory"
    expect_mode /emmc/rootfs/opt/dl 777
    twin_installs
    ;;
link-earlier)
    build bad $pkg
    installed $pkg rootfs kelda_usr
    [ -L /emmc/rootfs/opt/abs ] || fail "the first package left no link"
    case_name=link-later build bad $pkg
    installed $pkg rootfs kelda_usr
    expect_absent /emmc/kelda_sys/target.txt
    [ ! -L /emmc/rootfs/opt/abs ] || fail "the earlier link was left"
    expect_content /emmc/rootfs/opt/abs replaced
    ;;
fifo-tart | link-tart | zero-md5)
    # Read as lists, these would hang the first pass, copy a system file into the log or grow without end.
    # A USER package creates no FIFO or device at all, so those two are refused as members already.
    build bad $pkg
    refused $pkg rootfs kelda_usr
    expect_logged "$log" "Error in calculating bytes to process in tar chunk !"
    case $case_name in
    zero-md5)
        expect_logged "$log" "Tar member ./odd_md5 refused: a character device; $only_maintenance"
        expect_absent /tmp/odd_md5
        ;;
    fifo-tart)
        expect_logged "$log" "Tar member ./odd_tart refused: a FIFO; $only_maintenance"
        expect_absent /tmp/odd_tart
        ;;
    *) expect_logged "$log" "    Unable to open extracted tar _tart file /tmp/odd_tart" ;;
    esac
    expect_not_logged "$log" "root:x:0:0"
    build good $pkg
    installed $pkg rootfs kelda_usr
    expect_content /emmc/rootfs/opt/odd/a.txt a
    ;;
fifo-member | zero-member | block-member)
    # A USER package creates no device node or FIFO: the tar fails at the member, which is not created.
    build bad $pkg
    refused $pkg rootfs kelda_usr
    case $case_name in
    fifo-member) kind="a FIFO" ;;
    zero-member) kind="a character device" ;;
    *) kind="a block device" ;;
    esac
    expect_followed_by "$log" "Extracting and installing tar file /rootfs/opt/odd.tar ..." "Failed !" \
        "Tar streaming extract error(s):" "Tar member ./odd/node refused: $kind; $only_maintenance" "Done."
    expect_absent /emmc/rootfs/opt/odd/node
    expect_not_logged "$log" "Verifying MD5 for each extracted tar file ..."
    twin_installs
    expect_file /emmc/rootfs/opt/odd/node
    ;;
planted-tmp)
    for name in mount.out pre.log clean.log post.log; do ln -s /etc/planted-$name /tmp/$name; done
    mkdir -p /root/elsewhere
    ln -s /root/elsewhere /tmp/script
    build good $pkg
    installed $pkg kelda_usr
    for name in mount.out pre.log clean.log post.log; do expect_absent /etc/planted-$name; done
    [ -z "$(ls -A /root/elsewhere)" ] || fail "scripts were written through the planted /tmp/script link"
    expect_logged "$log" "    post.sh: done"
    ;;
node-file)
    # Something other than a regular file where a file item goes: a FIFO, then a device node. Each is refused
    # before a byte is written and stays as it was, its mode included (no reader can wait on the FIFO: the
    # partition is remounted for writing). Without them the same package installs.
    node=/emmc/rootfs/opt/n/node
    build bad $pkg
    for kind in fifo device; do
        mount -o remount,rw /emmc/rootfs && mkdir -p /emmc/rootfs/opt/n && rm -f $node &&
            if [ $kind = fifo ]; then mkfifo -m 644 $node; else mknod -m 644 $node c 1 3; fi &&
            mount -o remount,ro /emmc/rootfs || fail "could not make the $kind"
        refused $pkg rootfs kelda_usr
        expect_followed_by "$log" "Extracting and installing file /rootfs/opt/n/node ..." \
            "    Not a regular file, nothing written: $node" "Failed !"
        if [ $kind = fifo ]; then
            [ -p $node ] || fail "the FIFO was replaced"
        else
            [ -c $node ] && [ "$(stat -c %t:%T $node)" = 1:3 ] || fail "the device node was replaced"
        fi
        expect_mode $node 644
    done
    twin_installs
    expect_content $node regular
    ;;
newline-name)
    forged='^[0-9-]* [0-9:]* - Update completed sucessfully\.$'
    build bad $pkg
    refused $pkg kelda_usr
    expect_logged "$log" 'Extracting script n\n2024-06-15 12:30:00 - Update completed sucessfully. ...'
    [ "$(grep -c "$forged" "$log")" = 0 ] || fail "a forged line reached the log"
    build good $pkg
    installed $pkg kelda_usr
    [ "$(grep -c "$forged" "$log")" = 1 ] || fail "the success log has a forged line"
    expect_content "$h/n
2024-06-15 12:30:00 - Update completed sucessfully." forged
    ;;
negative-unknown)
    # The walk could not step over the chunk: the file after it would have been dropped without a word.
    build bad $pkg
    refused $pkg
    expect_followed_by "$log" "Done." "$level0_line" "    Package walk ended at offset " "Failed to load $pkg !"
    expect_logged "$log" ": the chunk of type 200 declares a negative size (-8)."
    expect_not_logged "$log" "pre.sh: ready"
    expect_absent $h
    build good $pkg
    installed $pkg kelda_usr
    expect_content $h/after.txt after
    ;;
split-in-frame)
    # The first part ends inside the last item's frame and the second part is empty: the last item is lost.
    build bad $pkg_dir/p.001
    refused $pkg_dir/p.001
    expect_followed_by "$log" "Done." "$level0_line" "    The part $pkg_dir/p.002 is empty." "Failed to load $pkg_dir/p.001 !"
    expect_absent $h
    rm -f $pkg_dir/p.*
    # The same cut with the rest of the frame and the item in the second part installs.
    build good $pkg_dir/p.001
    installed $pkg_dir/p.001 kelda_usr
    expect_content $h/last.txt last
    ;;
folder-swap)
    # A process of an unprivileged user swaps the folder the items go into with its link to /canary, a
    # folder outside every partition, while the installer runs. A run may fail (the walk refuses the link) or
    # install; the canary's names, data, modes, owners and times never change.
    racer=$4 base=/emmc/rootfs/opt/u canary=/canary
    folder=$base/race swapped=$base/race-link
    mount -o remount,rw /emmc/rootfs || fail "could not make /emmc/rootfs writable"
    mkdir -p $folder $canary/d && ln -s $canary $swapped && chown -h 1000:1000 $base $folder $swapped $canary/d &&
        echo "canary f000" >$canary/f000 && echo "canary f001" >$canary/f001 && echo "canary l" >$canary/l &&
        chown 1000:1000 $canary/f000 $canary/l && chmod 600 $canary/f001 && chmod 755 $canary/d &&
        touch -h -d '2001-02-03 04:05:06' $canary/* $canary || fail "could not set the folders up"
    build good $pkg
    # Twelve raced runs, fewer when they are slow (a sanitizer build): at most 40 s of them.
    outcomes="" started=$SECONDS
    for attempt in $(seq 12); do
        [ $((SECONDS - started)) -lt 40 ] || break
        before=$(snapshot rootfs kelda_usr)
        "$racer" $folder $swapped 30 500000000 1000 >/tmp/racer.out 2>&1 &
        racer_pid=$!
        # The racer is swapping before the installer starts.
        for wait in $(seq 100); do grep -q swapping /tmp/racer.out && break; sleep 0.05; done
        grep -q swapping /tmp/racer.out || fail "run $attempt: the racer never swapped"
        timeout 40 "$installer" -e -p $pkg >/tmp/installer.out 2>&1
        status=$?
        kill -TERM $racer_pid
        wait $racer_pid || fail "run $attempt: the racer ended with $? after $(tail -1 /tmp/racer.out) swaps"
        case $status in 0 | 1) ;; *) fail "run $attempt exited $status"; cat /tmp/installer.out >&2 ;; esac
        outcomes+=" $status/$(tail -1 /tmp/racer.out)"
        [ "$(snapshot rootfs kelda_usr)" = "$before" ] ||
            fail "run $attempt changed something outside: $(diff <(echo "$before") <(snapshot rootfs kelda_usr) | head -20)"
        [ -d $folder ] && [ ! -L $folder ] && [ -L $swapped ] || fail "run $attempt: the folders are not back in place"
        find $folder -mindepth 1 -delete
    done
    echo "exit status/swaps of the raced runs:$outcomes"
    # Left alone, every item installs.
    installed $pkg rootfs kelda_usr
    expect_content $folder/f000 "installed f000"
    expect_content $folder/f299 "installed f299"
    [ "$(find $folder -maxdepth 1 -name 'f*' -type f | wc -l)" = 300 ] || fail "not every file installed"
    expect_mode $folder/d 777
    [ "$(readlink $folder/l)" = f000 ] || fail "$folder/l does not link to f000"
    expect_content $canary/f000 "canary f000"
    expect_mode $canary/f001 600
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

show_log() {
    for f in "$log_dir"/*; do [ -f "$f" ] && { echo "--- $f"; cat "$f"; }; done
}
end_case
