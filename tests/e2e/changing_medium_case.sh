#!/usr/bin/env bash
# One end-to-end case of a signed package whose medium changes under the installer, run inside the sandboxed
# instrument as root:
#   changing_medium_case.sh CASE INSTALLER PACKAGE_BUILDER READ_CHANGE_LIBRARY
# The library (tools/read-change) serves other bytes of the package from the second read of a range on, as a
# medium that answers the signature check with the signed bytes and the installation with others would. The
# package file itself never changes. A clean run reads each chunk's bytes three times: the loader's check that
# every chunk fits the stream reads over the small payloads (unchecked, and unused), the walk reads the
# chunk's block (checked) and so does the installation of the item (checked again). Cases:
#   changed-script-N  pre.sh's command changed from the Nth read on (2: the walk, 3: its extraction): the
#                     changed script never runs, the run fails
#   changed-file-N    a file's data changed from the Nth read on: the changed bytes never reach the
#                     partition, the run fails
#   unchanged       the library preloaded without a change to serve: the package installs
#   split-missing-keys, split-missing-no-keys
#                   a signed split package cut where a chunk ends, its last part missing: refused with and
#                   without trusted keys; with the part back it installs
set -uo pipefail

case_name=$1 installer=$2 builder=$3 read_change=$4
log_dir=/emmc/update/LOG
pkg=/emmc/update/sample.pkg
trace=/tmp/read-change.trace

source "$(dirname "${BASH_SOURCE[0]}")/e2e_lib.sh"

# The same with the read-change library serving DATA at OFFSET of the package from read $from on.
install_changing_expecting() {
    local expected=$1 offset=$2 data=$3
    shift 3
    LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD }$read_change" READ_CHANGE_PATH=$pkg READ_CHANGE_OFFSET=$offset \
        READ_CHANGE_DATA=$data READ_CHANGE_FROM=$from READ_CHANGE_TRACE=$trace install_expecting "$expected" "$@"
}

# The byte offset of the first occurrence of TEXT in the package.
offset_of() {
    local at
    at=$(grep -obaF -- "$1" "$pkg" | head -n 1 | cut -d: -f1)
    [ -n "$at" ] || { echo "FAIL: '$1' is not in the package" >&2; exit 1; }
    echo "$at"
}

# The library served both the signed bytes (the first read) and the changed ones (a later read): the attack
# took place, so its outcome means something.
expect_change_served() {
    grep -q " signed " $trace 2>/dev/null || fail "the range was never read as signed"
    grep -q " changed " $trace 2>/dev/null || fail "the changed bytes were never served: no second read of the range"
}

expect_nothing_installed() {
    expect_absent /emmc/kelda_usr/sample
    expect_absent /emmc/rootfs/opt/sample
}

show_log() {
    local f
    for f in "$log_dir"/* $trace; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
    done
}

trust_key() {
    mkdir -p /etc/vex-pkg/keys
    "$builder" keypair /tmp/dev.key /etc/vex-pkg/keys/dev.pem || { echo "FAIL: no key pair" >&2; exit 1; }
    set_compatible
}

build_signed() {
    [ -f /tmp/dev.key ] || "$builder" keypair /tmp/dev.key /tmp/dev.pem || { echo "FAIL: no key pair" >&2; exit 1; }
    "$builder" sample "$pkg" || { echo "FAIL: could not build the sample" >&2; exit 1; }
    "$builder" sign "$pkg" /tmp/dev.key || { echo "FAIL: could not sign" >&2; exit 1; }
}

from=${case_name##*-}
case "$case_name" in
changed-script-[23])
    trust_key
    build_signed
    # The same length, so that nothing else moves: the changed pre.sh would leave a mark if it ran.
    original='echo "pre.sh: instrument ready"'
    changed=$(printf '%-*s' ${#original} 'touch /tmp/changed-script-ran')
    install_changing_expecting 1 "$(offset_of "$original")" "$changed" -p "$pkg"
    expect_change_served
    expect_absent /tmp/changed-script-ran
    # The script's copy may be left, holding what was read before the change was caught, never the change.
    grep -qF "changed-script-ran" /tmp/script/pre.sh 2>/dev/null && fail "the changed pre.sh was written to /tmp/script"
    expect_logged $log_dir/001_error.log "    Package bytes changed since they were signed: chunk "
    expect_not_logged $log_dir/001_error.log "pre.sh: instrument ready"
    expect_not_logged $log_dir/001_error.log "Update completed sucessfully."
    expect_nothing_installed
    ;;
changed-file-[23])
    trust_key
    build_signed
    install_changing_expecting 1 "$(offset_of "A plain file.")" "A CHANGED one" -p "$pkg"
    expect_change_served
    # The file may be left cut short where the change was caught, but it holds nothing but signed bytes.
    readme=/emmc/kelda_usr/sample/readme.txt
    if [ -e "$readme" ]; then
        content=$(cat "$readme")
        [[ "A plain file." == "$content"* ]] || fail "$readme holds '$content', which is not what was signed"
    fi
    # The source and build trees may lie below /tmp (a clone in /tmp, as CI makes), and this very script
    # holds the text: they are not the instrument's.
    source_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
    build_root=$(cd "$(dirname "$installer")/.." && pwd)
    find /emmc/kelda_usr /emmc/rootfs /tmp \( -path "$source_root" -o -path "$build_root" \) -prune -o -type f -print0 2>/dev/null |
        xargs -0 -r grep -lF "A CHANGED one" 2>/dev/null | grep -q . && fail "the changed bytes reached a partition or /tmp"
    expect_logged $log_dir/001_error.log "    Package bytes changed since they were signed: chunk "
    expect_not_logged $log_dir/001_error.log "Update completed sucessfully."
    expect_absent $log_dir/001_success.log
    ;;
unchanged)
    # The library in place, reading the package as it is (no read is ever the millionth): nothing but the
    # change makes the runs above fail.
    trust_key
    build_signed
    LD_PRELOAD="${LD_PRELOAD:+$LD_PRELOAD }$read_change" READ_CHANGE_PATH=$pkg \
        READ_CHANGE_OFFSET="$(offset_of 'echo "pre.sh: instrument ready"')" READ_CHANGE_DATA=unused \
        READ_CHANGE_FROM=1000000 READ_CHANGE_TRACE=$trace install_expecting 0 -p "$pkg"
    grep -q " signed " $trace 2>/dev/null || fail "the library did not see the installer read pre.sh"
    expect_logged $log_dir/001_success.log "pre.sh: instrument ready"
    expect_logged $log_dir/001_success.log "Update completed sucessfully."
    expect_content /emmc/kelda_usr/sample/readme.txt "A plain file."
    ;;
split-missing-keys | split-missing-no-keys)
    [ "$case_name" = split-missing-keys ] && trust_key
    build_signed
    # Cut where the third chunk from the end starts, so that no chunk reaches past the first part.
    size=$(stat -c %s "$pkg")
    starts=()
    at=16
    while [ "$at" -lt "$size" ]; do
        starts+=("$at")
        length=$(od -An -tu4 -j $((at + 4)) -N4 "$pkg" | tr -d ' ')
        at=$((at + 8 + length + (4 - length % 4) % 4))
    done
    [ "$at" = "$size" ] || fail "the chunk walk ended at $at, not at $size"
    cut=${starts[$((${#starts[@]} - 3))]}
    head -c "$cut" "$pkg" >"$pkg.001"
    tail -c +$((cut + 1)) "$pkg" >/tmp/sample.pkg.002
    rm -f "$pkg"
    install_expecting 1 -p "$pkg.001"
    expect_logged $log_dir/001_error.log "    A part is missing: the package holds $cut of its $size bytes"
    expect_logged $log_dir/001_error.log "Failed to load $pkg.001 !"
    expect_not_logged $log_dir/001_error.log "pre.sh: instrument ready"
    expect_nothing_installed
    # The whole package, both parts in place, installs.
    mv /tmp/sample.pkg.002 "$pkg.002"
    install_expecting 0 -p "$pkg.001"
    success=$(ls $log_dir/*_success.log 2>/dev/null | head -n 1)
    [ -n "$success" ] || fail "no success log after installing both parts"
    expect_logged "${success:-/nonexistent}" "Update completed sucessfully."
    expect_content /emmc/kelda_usr/sample/readme.txt "A plain file."
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

end_case
