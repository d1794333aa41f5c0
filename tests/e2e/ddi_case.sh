#!/usr/bin/env bash
# One end-to-end case of vex-pkg-fetch with a rollout server (DDI) as its source: tests/e2e/ddi_server.py
# serves one deployment of a signed package, vex-pkg-fetch runs on the sandboxed instrument
# (tools/instrument-sim) and the server records every feedback. Runs on the host as root; the script makes a
# network namespace of its own and the sandbox shares it, so nothing but the server started here is
# reachable. With DDI_URL, DDI_TENANT and DDI_TOKEN set, the runs go to that server instead (see
# ddi_real_server.sh): DDI_KEY names the public key (.pem) that signed the package deployed there to
# controller SN-0001 (or DDI_CONTROLLER); only the cases "install" and "refused" apply, and only the client's
# side is checked.
#
#   ddi_case.sh CASE --sim INSTRUMENT_SIM --vex-pkg VEX_PKG --fetch VEX_PKG_FETCH --installer VEX_PKG_INSTALL
#               [--fat-lib LIB]
#
# Cases:
#   install     installed, with proceeding and then truthful closed feedback (success and the installer's
#               log), attributes sent; the next poll finds nothing
#   cancel      the download is cut; the server then cancels: acknowledged, the partial download dropped,
#               nothing installed
#   busy        503 for everything: "try again later" (exit 3), nothing installed; then it installs
#   queued      feedback POSTs fail: the install goes on, its feedback is queued and delivered, in order,
#               at the next run
#   tampered    a package changed after signing (its SHA-256 at the server matching the changed file):
#               closed failure, nothing installed
#   sha256      the server's SHA-256 differs from the package: closed failure, nothing installed
#   refused     the token is refused (401): exit 1, nothing fetched or installed
# Exit status: 0 when every check held, 1 otherwise, 77 when the machine allows no sandbox or network
# namespace, or a program the case needs is missing.
set -uo pipefail

readonly SKIP=77
if [ -z "${DDI_IN_NETNS:-}" ] && [ -z "${DDI_URL:-}" ]; then
    command -v unshare >/dev/null && command -v ip >/dev/null || { echo "SKIP: unshare or ip is missing" >&2; exit $SKIP; }
    unshare --net true 2>/dev/null || { echo "SKIP: this machine refuses a network namespace" >&2; exit $SKIP; }
    DDI_IN_NETNS=1 exec unshare --net -- bash "$0" "$@"
fi
if [ -n "${DDI_IN_NETNS:-}" ]; then
    ip link set lo up || { echo "SKIP: cannot bring up lo in the namespace" >&2; exit $SKIP; }
    if ip -o link show | grep -qv ': lo:'; then echo "FAIL: the namespace has interfaces besides lo" >&2; exit 1; fi
fi

case_name=$1
shift
sim="" vexpkg="" fat_lib="" fetch="" installer=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "ddi_case.sh: $1 needs a value" >&2; exit 2; }
    case "$1" in
        --sim) sim=$2 ;;
        --vex-pkg) vexpkg=$2 ;;
        --fat-lib) fat_lib=$2 ;;
        --fetch) fetch=$2 ;;
        --installer) installer=$2 ;;
        *) echo "ddi_case.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
for program in "$sim" "$vexpkg" "$fetch" "$installer"; do
    [ -n "$program" ] && [ -x "$program" ] || { echo "SKIP: a program is missing ($program)" >&2; exit $SKIP; }
done
[ -x /usr/bin/python3 ] || { echo "SKIP: /usr/bin/python3 is missing" >&2; exit $SKIP; }

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_tree=$(cd "$here/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/ddi.XXXXXXXX") || { echo "FAIL: no work directory" >&2; exit 1; }
server_pid=""
stop_server() {
    [ -n "$server_pid" ] || return 0
    kill -TERM "$server_pid" 2>/dev/null
    # Bounded: a few seconds, then for good.
    for _ in $(seq 50); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
    server_pid=""
}
cleanup() { stop_server; [ -n "${DDI_KEEP:-}" ] || rm -rf --one-file-system "$work"; }
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

port=18180
device=${DDI_CONTROLLER:-SN-0001}
if [ -n "${DDI_URL:-}" ]; then
    case "$case_name" in
        install | refused) ;;
        *) echo "SKIP: case $case_name needs the test's own server" >&2; exit $SKIP ;;
    esac
    [ -n "${DDI_TENANT:-}" ] && [ -n "${DDI_TOKEN:-}" ] && [ -f "${DDI_KEY:-}" ] ||
        { echo "ddi_case.sh: DDI_URL needs DDI_TENANT, DDI_TOKEN and DDI_KEY" >&2; exit 2; }
fi
tenant=${DDI_TENANT:-DEFAULT}
token=${DDI_TOKEN:-s3cret}
url=${DDI_URL:-http://127.0.0.1:$port}
state=$work/server
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }

# The release side: a key pair and the sample package with a 1.5 MiB file of random bytes, signed.
"$vexpkg" keygen --out "$work/keys" --name release >/dev/null || die "no key pair"
head -c $((1536 * 1024)) /dev/urandom >"$work/blob.bin" || die "no random bytes"
rm -rf "$work/src" && cp -r "$source_tree/examples/sample-package" "$work/src" || die "cannot copy the sample"
cp "$work/blob.bin" "$work/src/files/blob.bin"
sed -i -e 's/^version = .*/version = "2.1.0"/' "$work/src/manifest.toml"
cat >>"$work/src/manifest.toml" <<'TOML'

[[file]]
source = "files/blob.bin"
path = "/kelda_usr/sample/blob.bin"
TOML
"$vexpkg" create "$work/src/manifest.toml" -o "$work/vx-2.1.0.pkg" --sign "$work/keys/release.key" \
    >"$work/create.out" 2>&1 || { cat "$work/create.out" >&2; die "cannot build the package"; }

# server [PACKAGE]: the test's rollout server on $port, serving PACKAGE (the built one unless told).
server() {
    mkdir -p "$state"
    [ -z "${DDI_URL:-}" ] || return 0
    rm -f "$state/ready"
    /usr/bin/python3 "$here/ddi_server.py" --port "$port" --state "$state" --package "${1:-$work/vx-2.1.0.pkg}" \
        --tenant "$tenant" --controller "$device" --token "$token" >"$work/server.out" 2>&1 &
    server_pid=$!
    for _ in $(seq 100); do [ -s "$state/ready" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0; sleep 0.1; done
    cat "$work/server.out" >&2
    die "the rollout server does not answer"
}
mode() { [ -n "${DDI_URL:-}" ] || printf '%s\n' "$*" >"$state/mode"; }

mkdir -p "$work/etc/keys"
cp "${DDI_KEY:-$work/keys/release.pem}" "$work/etc/keys/" || die "no key to trust"
echo VX20A01 >"$work/etc/compatible"
cat >"$work/etc/fetch.toml" <<TOML
device_id = "$device"
source = "ddi"
[ddi]
url = "$url"
tenant = "$tenant"
token = "$token"
sleep_min_seconds = 1
[trust]
keys = "/etc/vex-pkg/keys"
compatible = "/etc/vex-pkg/compatible"
[install]
mode = "run"
installer = "$(realpath "$installer")"
[paths]
update_dir = "/emmc/update"
[poll]
backoff_min_seconds = 1
backoff_max_seconds = 2
[limits]
connect_timeout_seconds = 5
stall_seconds = 5
request_timeout_seconds = 60
request_bytes = 262144
TOML

runs=0
# run NAME EXPECTED_STATUS: one vex-pkg-fetch --once on the instrument, its partitions kept from run to run.
run() {
    local name=$1 expected=$2 status images=()
    [ "$runs" = 0 ] || images=(--images "$work/images")
    runs=$((runs + 1))
    local args=(--quiet --timeout 90 --size update=16M --mount update=rw "${images[@]}" --save-images "$work/images"
        --bind "$source_tree" --bind "$(dirname "$(realpath "$fetch")")" --bind "$(dirname "$(realpath "$installer")")"
        --copy "$work/etc:/etc/vex-pkg" --results "$work/$name" --collect /emmc/update/fetch)
    [ -z "$fat_lib" ] || args+=(--fat-lib "$fat_lib")
    "$sim" "${args[@]}" -- "$(realpath "$fetch")" --config /etc/vex-pkg/fetch.toml --once >"$work/$name.out" 2>&1
    status=$?
    [ "$status" = 77 ] && die "the sandbox is not available after all"
    if [ "$status" != "$expected" ]; then
        fail "run $name: vex-pkg-fetch exited $status, not $expected"
        cat "$work/$name.out" >&2
    fi
}
said() { grep -qF -- "$2" "$work/$1.out" || { fail "run $1 did not say '$2'"; cat "$work/$1.out" >&2; }; }
entry() { awk -F'\t' -v p="$2" '$1 == p { print $2, $3, $10 }' "$work/$1/manifest.tsv"; }
installed() { [ -n "$(entry "$1" /emmc/kelda_usr/sample/readme.txt)" ]; }
expect_installed() {
    local blob
    blob=$(md5sum <"$work/blob.bin" | cut -d' ' -f1)
    [ "$(entry "$1" /emmc/kelda_usr/sample/blob.bin)" = "f $((1536 * 1024)) $blob" ] ||
        fail "after run $1 the package's file is not installed as built"
}
expect_not_installed() { ! installed "$1" || fail "after run $1 the package is installed"; }

# feedback: the feedback the server recorded, one line each: "PATH EXECUTION FINISHED [CNT/OF]".
feedback() {
    [ -f "$state/feedback.log" ] || return 0
    /usr/bin/python3 -c '
import json, sys
for line in open(sys.argv[1]):
    d = json.loads(line); s = d["body"]["status"]; r = s.get("result", {})
    p = r.get("progress")
    print(d["path"], s["execution"], r.get("finished", "-"), "%d/%d" % (p["cnt"], p["of"]) if p else "")
' "$state/feedback.log"
}
# last_details: the details of the last closed feedback, one a line.
last_details() {
    /usr/bin/python3 -c '
import json, sys
last = None
for line in open(sys.argv[1]):
    d = json.loads(line)
    if d["body"]["status"]["execution"] == "closed": last = d
print("\n".join(last["body"]["status"].get("details", [])) if last else "")
' "$state/feedback.log"
}
expect_feedback() {
    local got
    got=$(feedback | sed 's/ *$//')
    [ "$got" = "$1" ] || fail "the server recorded feedback
$got
and not
$1"
}

end() {
    if [ "$failures" != 0 ]; then
        for f in "$work"/*.out "$state/feedback.log" "$state/access.log" "$work"/*/LOG/*; do
            [ -f "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }
        done >&2
        exit 1
    fi
    exit 0
}

closed_success="/deploymentBase/7/feedback proceeding none 0/2
/deploymentBase/7/feedback proceeding none 1/2
/deploymentBase/7/feedback closed success"

case "$case_name" in
    install)
        server
        run first 0
        said first "Installed "
        if [ -z "${DDI_URL:-}" ]; then
            said first "Attributes sent"
            expect_installed first
            expect_feedback "$closed_success"
            last_details >"$work/details"
            grep -q '_success\.log$' "$work/details" || fail "the closed feedback names no success log"
            [ "$(tail -n 1 "$work/details")" = "Installed 2.1.0" ] || fail "the closed feedback does not end in the outcome"
            grep -q '"installed_version"' "$state/attributes.json" 2>/dev/null || fail "no attributes reached the server"
        fi
        run second 0
        said second "Nothing to install"
        [ -z "${DDI_URL:-}" ] || echo "ddi_case.sh: check the deployment's action history on $url" >&2
        ;;
    cancel)
        server
        mode cut
        run cut 3
        said cut "Try again later"
        [ -f "$work/cut/files/emmc/update/fetch/journal" ] || fail "the cut download kept no journal"
        mode cut cancel
        run cancelled 0
        said cancelled "Cancelled action 7"
        [ ! -e "$work/cancelled/files/emmc/update/fetch/journal" ] || fail "the cancelled download's journal is kept"
        [ ! -e "$work/cancelled/files/emmc/update/fetch/package.part" ] || fail "the cancelled download's bytes are kept"
        expect_not_installed cancelled
        expect_feedback "/deploymentBase/7/feedback proceeding none 0/2
/cancelAction/9/feedback closed success"
        mode
        run after 0
        expect_not_installed after
        said after "Nothing to install: the server offers no deployment"
        ;;
    busy)
        server
        mode 5xx
        run busy 3
        said busy "Try again later"
        expect_not_installed busy
        [ ! -f "$state/feedback.log" ] || fail "feedback was recorded while the server was busy"
        mode
        run healthy 0
        expect_installed healthy
        expect_feedback "$closed_success"
        ;;
    queued)
        server
        mode feedback-5xx
        run unheard 0
        expect_installed unheard
        [ ! -f "$state/feedback.log" ] || fail "feedback was recorded while it was refused"
        [ "$(ls "$work/unheard/files/emmc/update/fetch/feedback" | wc -l)" = 3 ] || fail "the feedback was not queued"
        mode
        run heard 0
        expect_feedback "$closed_success"
        ;;
    tampered)
        # One byte of the last file's data changed after signing; the server's SHA-256 is the changed file's.
        mkdir -p "$work/changed" && cp "$work/vx-2.1.0.pkg" "$work/changed/vx-2.1.0.pkg" || die "cannot copy"
        /usr/bin/python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(-4096, 2); b = f.read(1); f.seek(-4096, 2); f.write(bytes([b[0] ^ 1]))' \
            "$work/changed/vx-2.1.0.pkg" || die "cannot change the package"
        server "$work/changed/vx-2.1.0.pkg"
        run tampered 1
        said tampered "differs from the signed index"
        expect_not_installed tampered
        expect_feedback "/deploymentBase/7/feedback proceeding none 0/2
/deploymentBase/7/feedback closed failure"
        ;;
    sha256)
        server
        printf '%064d\n' 0 >"$state/sha256"
        run lied 1
        said lied "SHA-256 differs"
        expect_not_installed lied
        expect_feedback "/deploymentBase/7/feedback proceeding none 0/2
/deploymentBase/7/feedback closed failure"
        ;;
    refused)
        server
        mode refuse
        # A real server refuses a token it never issued.
        [ -z "${DDI_URL:-}" ] || sed -i "s/^token = .*/token = \"never-issued-token\"/" "$work/etc/fetch.toml"
        run refused 1
        said refused "the token is refused"
        expect_not_installed refused
        [ -n "${DDI_URL:-}" ] || [ ! -f "$state/feedback.log" ] || fail "feedback was recorded with a refused token"
        ;;
    *)
        echo "ddi_case.sh: unknown case $case_name" >&2
        exit 2
        ;;
esac
end
