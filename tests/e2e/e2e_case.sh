#!/usr/bin/env bash
# One end-to-end case of the installer, run inside the sandboxed instrument as root:
#   e2e_case.sh CASE INSTALLER PACKAGE_BUILDER
#   e2e_case.sh vex-pkg INSTALLER VEX_PKG MANIFEST
# Builds the case's package with the package builder (for the vex-pkg case: the package tool, from the
# example manifest), runs the real installer on it and checks what the run left: its exit status, its
# numbered log, the installed tree and the power-off record.
set -uo pipefail

case_name=$1 installer=$2 builder=$3
log_dir=/emmc/update/LOG
power_off=/run/instrument-sim/power-off

source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# Waits up to $2 seconds for the command in the remaining arguments to succeed.
wait_for() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

build() { "$builder" "$1" "$2" || { echo "FAIL: could not build the $1 package" >&2; exit 1; }; }

show_log() {
    local f
    for f in "$log_dir"/*; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
    done
}

# Nothing of the sample reached the partitions.
expect_nothing_installed() {
    expect_absent /emmc/kelda_usr/sample
    expect_absent /emmc/rootfs/opt/sample
}

# The sample's files; $1 is the number of lines of compressed.txt (2000 unless given).
expect_sample_installed() {
    local d=/emmc/kelda_usr/sample r=/emmc/rootfs/opt/sample lines=${1:-2000}
    expect_content $d/readme.txt "A plain file."
    expect_content $d/secret-blowfish.txt "Stored encrypted with Blowfish."
    expect_content $d/secret-des.txt "Stored encrypted with DES."
    [ "$(grep -c "this line repeats" $d/compressed.txt 2>/dev/null)" = "$lines" ] || fail "compressed.txt is wrong"
    expect_content $d/options.cfg "options=on"
    expect_absent $d/legacy.cfg
    expect_content $r/tool.conf "level=3"
    [ "$(readlink $r/current.conf)" = tool.conf ] || fail "current.conf does not point to tool.conf"
    expect_content $r/data/table.csv "$(printf 'a,b\n1,2')"
    [ "$(readlink $r/data/latest.csv)" = table.csv ] || fail "data/latest.csv does not point to table.csv"
}

# LINE was logged in the second pass: after every script was extracted (the first pass) and before format.sh
# ran; format.sh's output, four spaces in, follows "Executing script format.sh ...".
expect_second_pass() {
    local log=$1 line=$2 at extracted formatting
    at=$(grep -nF -- " - $line" "$log" | head -n 1 | cut -d: -f1)
    extracted=$(grep -n -- " - Extracting script " "$log" | tail -n 1 | cut -d: -f1)
    formatting=$(grep -n -- " - Executing script format.sh ...$" "$log" | head -n 1 | cut -d: -f1)
    if [ -z "$at" ] || [ -z "$extracted" ] || [ -z "$formatting" ] || [ "$at" -le "$extracted" ] ||
        [ "$at" -ge "$formatting" ]; then
        fail "$log lacks '$line' in the second pass (line ${at:-none}, scripts up to ${extracted:-none}, format.sh at ${formatting:-none})"
    fi
}

# The log lines of the second pass and what format.sh was given, for a package with a user kernel.
expect_kernel_formatting() {
    local log=$1 arguments=$2
    expect_second_pass "$log" "Partition /emmc/kernel has at least a write request."
    expect_logged "$log" " -     format.sh arguments: $arguments"
    [ "$(grep -c "format.sh arguments:" "$log")" = 1 ] || fail "format.sh did not run exactly once"
    [ "$(head -c 32 /emmc/kernel/uImage 2>/dev/null)" = "user kernel image, sample build" ] ||
        fail "the user kernel was not committed to /emmc/kernel/uImage"
    [ "$(stat -c %s /emmc/kernel/uImage 2>/dev/null)" = 65536 ] || fail "/emmc/kernel/uImage has the wrong size"
    expect_absent /emmc/kernel/uImage.tmp
}

pkg=/emmc/update/sample.pkg
case "$case_name" in
success)
    build sample "$pkg"
    install_expecting 0 -p "$pkg"
    expect_sample_installed
    expect_file $log_dir/001_success.log
    expect_absent $log_dir/001_error.log
    expect_logged $log_dir/001_success.log "pre.sh: instrument ready"
    expect_logged $log_dir/001_success.log "post.sh: done"
    expect_logged $log_dir/001_success.log "Update completed sucessfully."
    # Level 0: nothing checked, which the log says, and nothing remembered.
    expect_logged $log_dir/001_success.log " -     Package not authenticated: this instrument is at security level 0."
    expect_absent /emmc/update/vex-pkg-install.state
    [ -s "$power_off" ] && fail "the instrument was powered off without -s"
    ;;
noncompliant)
    build noncompliant "$pkg"
    install_expecting 1 -p "$pkg"
    expect_logged $log_dir/001_error.log \
        "Invalid destination directory path '/emmc/update/not-for-users.txt' for USER package type."
    expect_not_logged $log_dir/001_error.log "pre.sh: instrument ready"
    expect_absent /emmc/update/not-for-users.txt
    expect_nothing_installed
    ;;
prefail)
    build prefail "$pkg"
    install_expecting 1 -p "$pkg"
    expect_logged $log_dir/001_error.log "pre.sh: this instrument refuses the update"
    expect_not_logged $log_dir/001_error.log "clean.sh: nothing to clean"
    expect_nothing_installed
    ;;
toolarge)
    # The package itself would not fit on the update partition either.
    build toolarge /tmp/toolarge.pkg
    install_expecting 1 -p /tmp/toolarge.pkg
    expect_file $log_dir/001_error.log
    expect_logged $log_dir/001_error.log "clean.sh: nothing to clean"
    expect_logged $log_dir/001_error.log "    Not enough space on partition '/emmc/kelda_usr'. Required: "
    expect_not_logged $log_dir/001_error.log "post.sh: done"
    expect_nothing_installed
    ;;
corrupt)
    build corrupt "$pkg"
    install_expecting 1 -p "$pkg"
    expect_file $log_dir/001_error.log
    expect_not_logged $log_dir/001_error.log "post.sh: done"
    expect_not_logged $log_dir/001_error.log "Update completed sucessfully."
    grep -A1 -F "Extracting and installing file /kelda_usr/sample/damaged.txt ..." $log_dir/001_error.log |
        grep -qF "Failed !" || fail "the damaged file is not reported as failed"
    ;;
user-kernel)
    # Board 2 (format parameter 0), package from the command line (format flag 0): arguments 2 and 3 are the
    # kernel and rootfs partitions, both written; kelda_usr is written too but never passed to format.sh.
    build user-kernel "$pkg"
    install_expecting 0 -p "$pkg"
    expect_sample_installed
    expect_kernel_formatting $log_dir/001_success.log "0 1 1 0 0 0 0"
    expect_second_pass $log_dir/001_success.log "Partition /emmc/rootfs has at least a write request."
    expect_second_pass $log_dir/001_success.log "Partition /emmc/kelda_usr has at least a write request."
    ;;
maintenance-kernel)
    # The sandbox wrote the parameter block: format flag 1, this package; board 5 gives format parameter 32.
    # Nothing but the user kernel writes a partition.
    build maintenance-kernel "$pkg"
    install_expecting 0
    expect_kernel_formatting $log_dir/001_success.log "1 1 0 0 0 0 32"
    [ "$(grep -c "has at least a write request." $log_dir/001_success.log)" = 1 ] ||
        fail "a write request other than the kernel partition's was announced, or none"
    ;;
window-captures)
    # The demo's screen recorder on the real installer: the start, the outcome, and what the window showed.
    captures=$(cd "$(dirname "$0")/../../tools" && pwd)/window-captures
    build sample "$pkg"
    "$captures" /tmp/captures --timeout 100 -- "$installer" -p "$pkg" >/tmp/captures.out 2>&1 ||
        { fail "the capture of a successful run ended with status $?"; cat /tmp/captures.out >&2; }
    expect_file /tmp/captures/1-start.png
    expect_file /tmp/captures/3-success.png
    grep -q "^run: outcome on screen after " /tmp/captures.out || fail "no figures of the run"
    build prefail /tmp/prefail.pkg
    "$captures" /tmp/failure --timeout 100 -- "$installer" -p /tmp/prefail.pkg >/tmp/captures.out 2>&1
    [ $? = 1 ] || { fail "the capture of a failing run did not end with status 1"; cat /tmp/captures.out >&2; }
    expect_file /tmp/failure/4-failure.png
    expect_absent /tmp/failure/3-success.png
    ;;
unknown-product)
    build sample "$pkg"
    install_expecting 1 -p "$pkg"
    expect_logged $log_dir/001_error.log "Unknown productId !"
    expect_not_logged $log_dir/001_error.log "pre.sh: instrument ready"
    expect_nothing_installed
    ;;
late-package)
    # The update procedure may start the installer before the package is in place; it is renamed into place
    # whole, so the installer never sees half of it.
    ( sleep 10; build sample /emmc/update/.late.part && mv /emmc/update/.late.part "$pkg" ) &
    install_expecting 0 -p "$pkg"
    wait
    expect_sample_installed
    expect_file $log_dir/001_success.log
    ;;
ocm)
    # The sandbox wrote the parameter block: flags 0, this package, log "005_error.log".
    build sample "$pkg"
    install_expecting 0
    expect_sample_installed
    expect_file $log_dir/005_success.log
    ;;
poweroff-success | poweroff-failure)
    kind=sample
    [ "$case_name" = poweroff-failure ] && kind=prefail
    build "$kind" "$pkg"
    "$installer" -s 0 -p "$pkg" >/tmp/installer.out 2>&1 &
    pid=$!
    if [ "$kind" = sample ]; then
        wait_for 100 test -s "$power_off" || fail "no power-off after a successful run"
        [ "$(cat "$power_off")" = "-f" ] || fail "power_offd was called with '$(cat "$power_off")', not '-f'"
    else
        wait_for 100 grep -qF "pre.sh: this instrument refuses the update" $log_dir/001_error.log ||
            fail "the failing run did not end"
        sleep 3
        [ -s "$power_off" ] && fail "the instrument was powered off after a failure"
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    ;;
vex-pkg)
    # The example manifest, built and checked by the package tool, installs as it says.
    manifest=$4
    "$builder" create "$manifest" -o "$pkg" || fail "vex-pkg create failed"
    "$builder" verify "$pkg" >/tmp/verify.out || { fail "vex-pkg verify failed"; cat /tmp/verify.out >&2; }
    install_expecting 0 -p "$pkg"
    expect_sample_installed 200
    r=/emmc/rootfs/opt/sample
    expect_mode $r/tool.conf 640
    expect_content $r/logos/one.txt "logo one"
    expect_content /emmc/kernel/uImage "SAMPLE USER KERNEL IMAGE"
    expect_logged $log_dir/001_success.log "format.sh: arguments "
    expect_logged $log_dir/001_success.log "Update completed sucessfully."
    ;;
signed-keys | signed-no-keys | unsigned-keys | tampered-keys)
    # The trusted key is installed at manufacture; its private half stays on the build machine (here /tmp).
    if [ "$case_name" != signed-no-keys ]; then
        mkdir -p /etc/vex-pkg/keys
        "$builder" keypair /tmp/dev.key /etc/vex-pkg/keys/dev.pem || fail "no key pair"
        set_compatible
    else
        "$builder" keypair /tmp/dev.key /tmp/dev.pem || fail "no key pair"
    fi
    build sample "$pkg"
    [ "$case_name" != unsigned-keys ] && { "$builder" sign "$pkg" /tmp/dev.key || fail "could not sign"; }
    # One byte in the middle of the package, wherever that falls.
    if [ "$case_name" = tampered-keys ]; then
        size=$(stat -c %s "$pkg")
        byte=$(od -An -tu1 -j $((size / 2)) -N1 "$pkg" | tr -d ' ')
        printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$pkg" bs=1 seek=$((size / 2)) conv=notrunc 2>/dev/null
    fi
    case "$case_name" in
    signed-keys | signed-no-keys)
        install_expecting 0 -p "$pkg"
        expect_sample_installed
        expect_file $log_dir/001_success.log
        if [ "$case_name" = signed-keys ]; then
            grep -A2 -F "Verifying package integrity ..." $log_dir/001_success.log | grep -qF "    Signed by key " ||
                fail "the signer is not logged"
        fi
        ;;
    unsigned-keys)
        install_expecting 1 -p "$pkg"
        grep -A1 -F "Verifying package integrity ..." $log_dir/001_error.log | grep -qF " - Failed." ||
            fail "the verification did not fail"
        grep -A2 -F "Verifying package integrity ..." $log_dir/001_error.log | grep -qF -- "    No signature" ||
            fail "the refusal does not say '    No signature'"
        expect_not_logged $log_dir/001_error.log "pre.sh: instrument ready"
        expect_nothing_installed
        ;;
    tampered-keys)
        # The signed index is intact, so the signature holds; the changed byte is caught when its block is
        # read, before anything of the package is acted on.
        install_expecting 1 -p "$pkg"
        expect_logged $log_dir/001_error.log "    Package bytes changed since they were signed: chunk "
        expect_not_logged $log_dir/001_error.log "pre.sh: instrument ready"
        expect_not_logged $log_dir/001_error.log "Update completed sucessfully."
        expect_nothing_installed
        ;;
    esac
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

end_case
