#!/usr/bin/env bash
# One end-to-end case of the instrument's security level, run inside the sandboxed instrument as root:
#   security_case.sh CASE INSTALLER VEX_PKG SAMPLE_DIR
# Packages are built by the package tool from the example package (SAMPLE_DIR), with the model and version
# each case needs, and signed with a key made here. Every refusal is followed by a control run that installs.
#   unsigned   level 1 by its file: an unsigned package is refused, the same package signed installs
#   model      level 1: a signed package for another model is refused, one for this model installs
#   older      level 1: 2.0.0 installs, 1.9.0 is refused, 2.0.0 again installs, 2.1.0 installs
#   latch      keys only: a signed package installs, and with the keys gone the instrument stays at level 1
set -uo pipefail

case_name=$1 installer=$2 vexpkg=$3 sample=$4
log_dir=/emmc/update/LOG
state=/emmc/update/vex-pkg-install.state
pkg=/emmc/update/update.pkg

source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

show_log() {
    local f
    for f in "$log_dir"/* "$state"; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
    done
}

# The log of the last run: each run starts with an empty log folder (numbers are per kind of log, so the
# newest number need not be the newest run).
last_log() { ls "$log_dir"/*.log 2>/dev/null | head -n 1; }
run_installer() {
    rm -f "$log_dir"/*.log
    install_expecting "$1" -p "$pkg"
}

# build VERSION MODEL [sign]: the example package with that version and model, signed unless told "unsigned".
build() {
    local version=$1 model=$2 how=${3:-signed}
    rm -rf /tmp/src && cp -r "$sample" /tmp/src || { echo "FAIL: cannot copy the sample" >&2; exit 1; }
    sed -i -e "s/^version = .*/version = \"$version\"/" \
        -e "s/^compatibility = .*/compatibility = [\"$model\"]/" /tmp/src/manifest.toml
    rm -f "$pkg"
    local sign=(--sign /tmp/dev.key)
    [ "$how" = unsigned ] && sign=()
    "$vexpkg" create /tmp/src/manifest.toml -o "$pkg" "${sign[@]}" >/tmp/create.out 2>&1 ||
        { echo "FAIL: cannot build the package" >&2; cat /tmp/create.out >&2; exit 1; }
}

# Every partition but the update partition, entry by entry with size, time and content.
snapshot() {
    find /emmc -xdev -mindepth 1 -path /emmc/update -prune -o -printf '%p %y %s %T@ %l\n' | sort
    find /emmc -xdev -path /emmc/update -prune -o -type f -print0 | sort -z | xargs -0 -r md5sum
}

# A refused run: its error log has the detail line, and nothing was acted on.
expect_refused() {
    local detail=$1 log before
    before=$(snapshot)
    run_installer 1
    log=$(last_log)
    case "$log" in *_error.log) ;; *) fail "the refused run left $log" ;; esac
    expect_logged "$log" "$detail"
    expect_not_logged "$log" "Update completed sucessfully."
    # No script ran and nothing was extracted or written.
    expect_not_logged "$log" "pre.sh"
    expect_not_logged "$log" "Extracting"
    [ "$(snapshot)" = "$before" ] || fail "the refused run changed the partitions"
}

# A run that installs, its version then recorded in the state.
expect_installs() {
    local version=$1 log
    run_installer 0
    log=$(last_log)
    case "$log" in *_success.log) ;; *) fail "the installing run left $log" ;; esac
    expect_content /emmc/kelda_usr/sample/readme.txt "A plain file."
    expect_content "$state" "$(printf 'vex-pkg-install state 1\nsigned 1\nversion %s' "$version")"
    expect_absent "$state.new"
}

"$vexpkg" keygen --out /tmp --name dev >/dev/null 2>&1 || { echo "FAIL: no key pair" >&2; exit 1; }
mkdir -p /etc/vex-pkg/keys
cp /tmp/dev.pem /etc/vex-pkg/keys/dev.pem
set_compatible VX20A01
[ "$case_name" = latch ] || echo 1 >/etc/vex-pkg/security-level

case "$case_name" in
unsigned)
    build 2.0.0 VX20A01 unsigned
    expect_refused " -     No signature"
    expect_logged "$(last_log)" " - Security level 1: the security-level file says 1, trusted keys are present"
    expect_absent "$state"
    build 2.0.0 VX20A01
    expect_installs 2.0.0
    ;;
model)
    build 2.0.0 ZZ99Z99
    expect_refused " -     Not for this instrument: the package is for ZZ99Z99, this instrument is VX20A01"
    expect_absent "$state"
    # No list at all: every package is refused.
    rm /etc/vex-pkg/compatible
    build 2.0.0 VX20A01
    expect_refused "no readable compatibility list at /etc/vex-pkg/compatible, so every package is refused"
    set_compatible VX30B02 VX20A01
    expect_installs 2.0.0
    ;;
older)
    build 2.0.0 VX20A01
    expect_installs 2.0.0
    build 1.9.0 VX20A01
    expect_refused " -     Version 1.9.0 is older than the installed 2.0.0: an older package is never installed"
    build 2.0.0 VX20A01
    expect_installs 2.0.0
    build 2.1.0 VX20A01
    expect_installs 2.1.0
    ;;
latch)
    build 2.0.0 VX20A01
    expect_installs 2.0.0
    expect_logged "$(last_log)" " - Security level 1: trusted keys are present"
    # The keys go (a typo in the configuration, a wiped folder): the instrument stays at level 1.
    rm -rf /etc/vex-pkg/keys
    build 2.0.0 VX20A01 unsigned
    expect_refused " -     No usable key in /etc/vex-pkg/keys: the folder does not exist"
    expect_logged "$(last_log)" " - Security level 1: a signed package was installed before"
    expect_not_logged "$(last_log)" "Package not authenticated"
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

end_case
