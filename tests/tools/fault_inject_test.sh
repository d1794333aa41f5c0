#!/usr/bin/env bash
# The fault library on the host, in a scratch folder of its own (no sandbox: nothing here kills more than the
# shell it starts): fault_inject_test.sh LIBRARY COUNT_TOOL
set -uo pipefail
lib=$(realpath "$1") count=$(realpath "$2")
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Runs sh -c SCRIPT with the library and the given FAULT_INJECT_* settings, standard streams on pipes so that
# only the script's own files count; prints its status.
run() {
    local script=$1
    shift
    rm -f state report
    env "$@" FAULT_INJECT_STATE="$work/state" FAULT_INJECT_REPORT="$work/report" LD_PRELOAD="$lib" \
        sh -c "$script" 2>&1 </dev/null | cat >/dev/null
    echo "${PIPESTATUS[0]}"
}
counted() { "$count" state | awk -v k="$1" '$1 == k { print $2 }'; }

# Counting: every kind the script uses, its children's calls included, nothing else.
status=$(run 'echo a >f; mkdir d; mv f d/g; ln -s g d/l; chmod 600 d/g; touch d/g; sh -c "echo b >>d/g"; rm -r d')
[ "$status" = 0 ] || fail "counting run exited $status"
for expect in "write 2" "rename 1" "mkdir 1" "symlink 1" "chmod 1" "utimes 1" "unlink 3" "fsync 0" "fatattr 0"; do
    [ "$(counted "${expect% *}")" = "${expect#* }" ] || fail "${expect% *}: $(counted "${expect% *}") calls, not ${expect#* }"
done
[ ! -e report ] || fail "a counting run reported a fault"

# An errno at the Nth call of one kind fails that call only.
status=$(run 'echo 1 >a; echo 2 >b || exit 3; echo 3 >c' FAULT_INJECT_AT=2 FAULT_INJECT_KIND=write \
    FAULT_INJECT_ACTION=ENOSPC)
[ "$status" = 3 ] || fail "the second write did not fail (status $status)"
[ "$(cat a)" = 1 ] && [ ! -s b ] || fail "the wrong write failed"
grep -q "^2 write ENOSPC .* $work/b$" report || fail "report: $(cat report)"

# Each errno the sweeps use, on a rename counted globally.
for e in EIO ENOSPC EROFS; do
    status=$(run 'echo x >m; mv m n' FAULT_INJECT_AT=3 FAULT_INJECT_ACTION=$e)
    [ "$status" = 1 ] && [ -e m ] && [ ! -e n ] || fail "$e at the rename: status $status"
done

# A kill stops the process before the call is made; an unknown kind or action never fires.
status=$(run 'echo 1 >a; echo 2 >b' FAULT_INJECT_AT=2 FAULT_INJECT_ACTION=kill)
[ "$status" = 137 ] || fail "kill: status $status"
for bad in FAULT_INJECT_KIND=nonsense FAULT_INJECT_ACTION=EPERM; do
    status=$(run 'echo 1 >a' FAULT_INJECT_AT=1 "$bad")
    [ "$status" = 0 ] && [ ! -e report ] || fail "$bad fired (status $status)"
done

[ "$failures" -eq 0 ] && echo "fault injection: all checks passed"
exit $((failures != 0))
