#!/usr/bin/env bash
# The sandboxed instrument seen from the host.
#   sandbox_host_test.sh CASE SIM FAT_LIB      CASE: results | setup | cleanup | refusals | images
# Exits 0 when every check passed, 1 otherwise, 77 when the machine does not allow the sandbox.
set -uo pipefail

case_name=$1
SIM=$2
FAT_LIB=$3
failures=0

T=$(mktemp -d "${TMPDIR:-/tmp}/sandbox-host-test.XXXXXX")
WORK_PARENT=$T/work
mkdir -p "$WORK_PARENT"
# Kept when a check failed, so that the results can be inspected.
trap 'if [ "$failures" -eq 0 ]; then rm -rf "$T"; else echo "kept $T"; fi' EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_eq() { [ "$2" = "$3" ] || fail "$1: expected [$3], got [$2]"; }
check_has() { grep -qF -- "$3" "$2" 2>/dev/null || fail "$1: [$3] not in $2"; }
check_lacks() { ! grep -qF -- "$3" "$2" 2>/dev/null || fail "$1: [$3] unexpectedly in $2"; }

sim() { "$SIM" --quiet --fat-lib "$FAT_LIB" --work-dir "$WORK_PARENT" "$@"; }

# The whole manifest line of one path, without its time column (7th).
manifest_line() { awk -F'\t' -v p="$2" '$1 == p { $7 = ""; print }' OFS='\t' "$1/manifest.tsv"; }

# Nothing of ours may stay on the host: no work directory, no loop device backed by one of our images, and the
# host's mount table exactly as before. A busy device is detached lazily, so its disappearance is awaited
# (at most 10 s).
check_host_clean() {
    local what=$1 mounts_before=$2 i
    for i in $(seq 1 50); do
        losetup -l -n -O BACK-FILE | grep -qF "$WORK_PARENT/" || break
        sleep 0.2
    done
    if losetup -l -n -O BACK-FILE | grep -qF "$WORK_PARENT/"; then fail "$what: loop device left attached"; fi
    [ -z "$(ls -A "$WORK_PARENT")" ] || fail "$what: work directory left behind: $(ls -A "$WORK_PARENT")"
    diff -u "$mounts_before" /proc/self/mounts >/dev/null || fail "$what: host mount table changed"
}

# The process group of process $1, from /proc (the fifth field of its stat, counted after the command name).
process_group() {
    local st
    st=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
    st=${st##*) }
    set -- $st
    echo "$3"
}

probe() {
    sim -- true
    local rc=$?
    [ "$rc" -ne 77 ] || exit 77
    [ "$rc" -eq 0 ] || { echo "FAIL: a plain run exited $rc"; exit 1; }
}

case_results() {
    local R=$T/results
    mkdir -p "$T/kernel-tree"
    printf 'kernel image' >"$T/kernel-tree/uImage"
    sim --results "$R" --mount update=rw --mount kernel=none --populate kernel="$T/kernel-tree" \
        --ocm-flags 1 --ocm-package /emmc/update/a.pkg -- /bin/sh -c '
        set -e
        mkdir -p /emmc/update/LOG && printf "run\n" >/emmc/update/LOG/001_success.log
        printf abc >/emmc/update/ro.bin && chmod 0444 /emmc/update/ro.bin
        setfattr -n user.fat_attributes -v "\"0x06\"" /emmc/update/ro.bin
        umount /emmc/rootfs && mount -w /emmc/rootfs
        ln -s ../lib/x /emmc/rootfs/link
        printf x >/emmc/rootfs/suid && chmod 4755 /emmc/rootfs/suid
        mkdir -p /tmp/script && echo "exit 0" >/tmp/script/post.sh
        /sbin/power_offd -f
        # A reader of the parameter block clears its header.
        head -c 16 /dev/zero | dd of=/dev/mem bs=1 seek=$((0x40200000)) conv=notrunc status=none
        exit 3'
    check_eq "exit status" "$?" 3
    check_eq "exit-status file" "$(cat "$R/exit-status")" 3
    check_eq "outcome" "$(cat "$R/outcome")" "exited 3"

    check_eq "read-only hidden system vfat file" "$(manifest_line "$R" /emmc/update/ro.bin)" \
        "$(printf '/emmc/update/ro.bin\tf\t3\t0444\t0\t0\t\t0x07\t-\t900150983cd24fb0d6963f7d28e17f72')"
    check_eq "vfat directory" "$(manifest_line "$R" /emmc/update/LOG | cut -f1,2,8)" \
        "$(printf '/emmc/update/LOG\td\t0x10')"
    check_eq "new vfat file" "$(manifest_line "$R" /emmc/update/LOG/001_success.log | cut -f8,10)" \
        "$(printf '0x20\t%s' "$(printf 'run\n' | md5sum | cut -d' ' -f1)")"
    check_eq "ext3 link" "$(manifest_line "$R" /emmc/rootfs/link | cut -f2,8,9,10)" \
        "$(printf 'l\t-\t../lib/x\t-')"
    check_eq "ext3 set-uid file" "$(manifest_line "$R" /emmc/rootfs/suid | cut -f4,8)" "$(printf '04755\t-')"
    check_eq "unmounted partition is listed" "$(manifest_line "$R" /emmc/kernel/uImage | cut -f3,10)" \
        "$(printf '12\t%s' "$(printf 'kernel image' | md5sum | cut -d' ' -f1)")"
    check_eq "every partition root is listed" \
        "$(awk -F'\t' '$1 ~ /^\/emmc\/[a-z_]+$/' "$R/manifest.tsv" | wc -l)" 9
    grep -qE $'^/emmc/update/ro.bin\t.*\t[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\t' "$R/manifest.tsv" ||
        fail "manifest time is not an ISO time"

    check_eq "LOG copied" "$(cat "$R/LOG/001_success.log" 2>/dev/null)" "run"
    check_eq "tmp-script copied" "$(cat "$R/tmp-script/post.sh" 2>/dev/null)" "exit 0"
    check_eq "power-off record" "$(cat "$R/power-off")" "-f"
    check_has "mount table" "$R/mounts" "/emmc/update ext3 rw"
    check_has "mount table" "$R/mounts" "/emmc/rootfs ext3 rw"
    check_lacks "mount table" "$R/mounts" "/emmc/kernel"
    check_eq "mount table shows only the sandbox" "$(cut -d" " -f2 "$R/mounts" | grep -c "$WORK_PARENT")" 0
    check_eq "parameter block size" "$(stat -c %s "$R/ocm-ram.bin")" 65536
    check_eq "cleared header" "$(head -c 16 "$R/ocm-ram.bin" | od -An -tx1 | tr -d ' \n')" \
        "00000000000000000000000000000000"
}

case_setup() {
    local R=$T/results
    mkdir -p "$T/bound"
    printf '<CONFIG/>' >"$T/config.xml"
    printf 'raw-block' >"$T/raw.bin"
    echo bound >"$T/bound/file"
    ASAN_OPTIONS=detect_leaks=1 sim --results "$R" --size update=3M \
        --copy "$T/config.xml:/emmc/boot/cfg/a.xml" \
        --copy "$T/config.xml:/etc/vex.xml" --bind "$T/bound:/opt/bound" --no-product-id --env FOO=bar \
        --cwd /emmc --ocm-block "$T/raw.bin" --collect /tmp/out -- /bin/sh -c '
        {
            echo "size $(($(stat -f -c "%b * %S" /emmc/update) / 1024))"
            echo "cwd $(pwd)"
            echo "foo $FOO"
            echo "asan $ASAN_OPTIONS"
            echo "boot $(cat /emmc/boot/cfg/a.xml)"
            echo "etc $(cat /etc/vex.xml)"
            echo "bound $(cat /opt/bound/file)"
            echo "product $(cat /sys/devices/platform/platforminfo/board_product_id 2>&1 >/dev/null | wc -l)"
            echo "block $(dd if=/dev/mem bs=1 skip=$((0x40200000)) count=9 status=none)"
            if touch /opt/bound/new 2>/dev/null; then echo "bound writable"; fi
        } >/tmp/out'
    check_eq "exit status" "$?" 0
    local out=$R/files/tmp/out
    # ext3 keeps part of a 3 MiB partition for itself; it must still be about 3 MiB, not the 8 MiB default.
    local kib
    kib=$(sed -n 's/^size //p' "$out")
    [ -n "$kib" ] && [ "$kib" -gt 1500 ] && [ "$kib" -le 3072 ] || fail "update size: $kib KiB"
    check_has "cwd" "$out" "cwd /emmc"
    check_has "env" "$out" "foo bar"
    check_has "ASan options kept and completed" "$out" "asan detect_leaks=1:verify_asan_link_order=0"
    check_has "copy into a read-only partition" "$out" "boot <CONFIG/>"
    check_has "copy into /etc" "$out" "etc <CONFIG/>"
    check_has "bind" "$out" "bound bound"
    check_lacks "bind is read-only" "$out" "bound writable"
    check_has "no product file" "$out" "product 1"
    check_has "raw parameter block" "$out" "block raw-block"
    check_has "boot stays read-only after the copy" "$R/mounts" "/emmc/boot ext3 ro"
    [ ! -e /etc/vex.xml ] || fail "the copy reached the host's /etc"
    [ ! -e "$T/bound/new" ] || fail "the bound directory was written"
}

case_cleanup() {
    local before=$T/mounts-before R=$T/results rc start
    cp /proc/self/mounts "$before"

    sim --mount update=none -- /bin/sh -c 'mount -w /emmc/update && echo x >/emmc/update/x'
    check_eq "normal run" "$?" 0
    check_host_clean "after a normal run" "$before"

    sim --results "$R" --mount update=none -- /bin/sh -c 'mount -w /emmc/update; kill -SEGV $$'
    check_eq "crash exit status" "$?" 139
    check_eq "crash outcome" "$(cat "$R/outcome")" "killed by signal 11 (SEGV)"
    check_host_clean "after a crash" "$before"

    start=$(date +%s)
    sim --results "$R" --timeout 3 --mount update=rw -- /bin/sh -c 'mkdir -p /emmc/update/LOG; sleep 60'
    check_eq "timeout exit status" "$?" 124
    check_eq "timeout outcome" "$(cat "$R/outcome")" "timed out after 3 s"
    [ -d "$R/LOG" ] || fail "results not collected after a timeout"
    [ $(($(date +%s) - start)) -lt 30 ] || fail "the timeout did not stop the command"
    check_host_clean "after a timeout" "$before"

    # A daemon left behind must neither keep the sandbox alive nor hold its partitions.
    start=$(date +%s)
    sim --mount update=none -- /bin/sh -c \
        'mount -w /emmc/update; cd /emmc/update && (sleep 120 >/dev/null 2>&1 &); exit 0'
    check_eq "daemon exit status" "$?" 0
    [ $(($(date +%s) - start)) -lt 30 ] || fail "a daemon kept the sandbox alive"
    check_host_clean "after a daemon was left running" "$before"

    # The sandbox itself interrupted while its command runs.
    # Started directly (not through the function), so that the signal reaches the sandbox itself.
    "$SIM" --quiet --fat-lib "$FAT_LIB" --work-dir "$WORK_PARENT" -- /bin/sh -c 'sleep 120' &
    local pid=$! i
    for i in $(seq 1 100); do
        compgen -G "$WORK_PARENT/*/config" >/dev/null && break
        sleep 0.1
    done
    sleep 1
    kill -TERM "$pid"
    for i in $(seq 1 150); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
        fail "the sandbox ignored SIGTERM"
        kill -KILL "$pid"
    fi
    wait "$pid"
    check_eq "interrupted exit status" "$?" 143
    check_host_clean "after the sandbox was interrupted" "$before"

    # Killed outright, all of it, as CTest does on a timeout: its loop devices must go by themselves, and the
    # next run removes the work directory left behind.
    setsid "$SIM" --quiet --fat-lib "$FAT_LIB" --work-dir "$WORK_PARENT" -- sleep 120 &
    disown
    for i in $(seq 1 300); do
        [ "$(losetup -l -n -O AUTOCLEAR,BACK-FILE | grep -F "$WORK_PARENT/" | grep -c '^ *1 ')" -eq 9 ] &&
            break
        sleep 0.1
    done
    local pgid
    pgid=$(process_group "$(cat "$WORK_PARENT"/*/pid)")
    if [ -n "$pgid" ] && [ "$pgid" != "$(process_group $$)" ]; then
        kill -KILL -- "-$pgid"
        sim -- true
        check_host_clean "after the sandbox was killed" "$before"
    else
        fail "could not find the sandbox's process group"
    fi
}

case_refusals() {
    local R=$T/results rc
    # Not root: the sandbox must report itself unavailable, which CTest shows as a skipped test.
    if command -v setpriv >/dev/null 2>&1; then
        chmod 0755 "$T"
        setpriv --reuid=65534 --regid=65534 --clear-groups "$SIM" --quiet --fat-lib "$FAT_LIB" -- true \
            >/dev/null 2>&1
        check_eq "not root" "$?" 77
    fi
    local bad
    for bad in "--mount update=rx" "--mount nosuch=rw" "--size boot=1M" "--size boot=lots" "--frobnicate" \
        "--collect /tmp/x" "--copy /nonexistent:/tmp/x" "--copy $T:relative" "--ocm-flags many" \
        "--timeout 1.5" "--env 1X=2" "--ocm-package $(printf 'p%.0s' $(seq 1 2048))"; do
        # shellcheck disable=SC2086
        sim $bad -- true >/dev/null 2>&1
        rc=$?
        check_eq "refused: ${bad:0:40}" "$rc" 2
    done
    # A setup step that fails (the host's /usr is read-only inside) stops the run before the command.
    sim --copy "$T:/usr/local/copied" -- /bin/sh -c 'echo ran >&2' 2>"$T/stderr"
    check_eq "failed setup" "$?" 125
    check_lacks "failed setup runs nothing" "$T/stderr" "ran"
    # A command's own 77 must not read as a skipped sandbox.
    sim --results "$R" -- /bin/sh -c 'exit 77' 2>/dev/null
    check_eq "command exiting 77" "$?" 1
    check_eq "command exiting 77, recorded" "$(cat "$R/exit-status")" 77
    "$SIM" --help | grep -q "^Usage: instrument-sim" || fail "no usage text"
}

# Images kept by one run start the next; a power cut keeps what reached the device and nothing else.
case_images() {
    local I=$T/images C=$T/cut R=$T/results
    sim --mount kelda_usr=rw --save-images "$I" -- /bin/sh -c 'echo kept >/emmc/kelda_usr/kept.txt'
    check_eq "saving run" "$?" 0
    sim --images "$I" --results "$R" -- true
    check_eq "from saved images: the file" "$(awk -F'\t' '$1 == "/emmc/kelda_usr/kept.txt" { print $10 }' \
        "$R/manifest.tsv")" "$(echo kept | md5sum | cut -d' ' -f1)"
    # Synced data and names reach the device; what is only in the page cache does not (the journal commits
    # every few seconds, far later than this command ends).
    sim --images "$I" --mount kelda_usr=rw --power-cut "$C" -- /bin/sh -c \
        'echo synced >/emmc/kelda_usr/synced.txt && sync /emmc/kelda_usr/synced.txt && sync -f /emmc/kelda_usr &&
         echo cached >/emmc/kelda_usr/cached.txt'
    check_eq "power-cut run" "$?" 0
    e2fsck -E journal_only -p "$C/kelda_usr.img" >/dev/null 2>&1
    e2fsck -fn "$C/kelda_usr.img" >/dev/null 2>&1
    check_eq "after journal recovery the copy checks clean" "$?" 0
    check_eq "synced file" "$(debugfs -R "cat /synced.txt" "$C/kelda_usr.img" 2>/dev/null)" synced
    check_eq "cached file" "$(debugfs -R "cat /cached.txt" "$C/kelda_usr.img" 2>/dev/null)" ""
    check_eq "earlier file" "$(debugfs -R "cat /kept.txt" "$C/kelda_usr.img" 2>/dev/null)" kept
    sim --images "$T/none" -- true >/dev/null 2>&1
    check_eq "missing images refused" "$?" 2
}

probe
"case_$case_name"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
