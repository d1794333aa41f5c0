# Checks shared by the end-to-end case scripts (sourced). Each failed check is counted in $failures.
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
expect_file() { [ -f "$1" ] || fail "$1 is missing"; }
expect_absent() { [ ! -e "$1" ] && [ ! -L "$1" ] || fail "$1 should not exist"; }
expect_mode() { [ "$(stat -c %a "$1" 2>/dev/null)" = "$2" ] || fail "$1 has mode $(stat -c %a "$1" 2>/dev/null), not $2"; }
expect_content() { [ "$(cat "$1" 2>/dev/null)" = "$2" ] || fail "$1 holds '$(cat "$1" 2>/dev/null)', not '$2'"; }
expect_logged() { grep -qF -- "$2" "$1" 2>/dev/null || fail "$1 lacks the line '$2'"; }
expect_not_logged() { ! grep -qF -- "$2" "$1" 2>/dev/null || fail "$1 has the line '$2'"; }

# Runs $installer with -e and the remaining arguments, expecting exit status $1.
install_expecting() {
    local expected=$1 status
    shift
    timeout 100 "$installer" -e "$@" >/tmp/installer.out 2>&1
    status=$?
    [ "$status" = "$expected" ] || { fail "the installer exited $status, not $expected"; cat /tmp/installer.out >&2; }
}

# Gives the instrument its model: at security level 1 only packages that name it install. The sample packages
# name VX20A01.
set_compatible() {
    mkdir -p /etc/vex-pkg
    printf '%s\n' "${@:-VX20A01}" >/etc/vex-pkg/compatible
}

# Ends a case script: 0 when every check held, else the logs (the script's own show_log) and 1.
end_case() {
    if [ "$failures" -ne 0 ]; then
        show_log >&2
        exit 1
    fi
    exit 0
}
