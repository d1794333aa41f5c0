#!/usr/bin/env bash
# One end-to-end case of the fleet: a release published with vex-pkg publish, served by nginx (the
# configurations in examples/nginx), fetched and installed by vex-pkg-fetch on the sandboxed instrument,
# which reports to the same nginx. Runs on the host as root; the script makes a network namespace of its own
# and the sandbox (tools/instrument-sim) shares it, so nothing but the servers started here is reachable.
#
#   fleet_case.sh CASE --sim INSTRUMENT_SIM --vex-pkg VEX_PKG [--fat-lib LIB]
#                 [--fetch VEX_PKG_FETCH --installer VEX_PKG_INSTALL] [--proxy FAULT_PROXY]
#
# Cases:
#   nginx          the origin and the cache as examples/nginx configures them: ETag, 304 at the cache, ranges,
#                  a report PUT lands as a file and cannot be read back, https with a CA made here
#   install        a release installs end to end, its success is reported with the installer's log, and the
#                  next poll finds nothing new
#   install-https  the same over https, the CA given in ca_file and the server's key pinned
#   install-fails  a release whose pre.sh fails: reported as a failure with the installer's error log (its
#                  name and last lines), nothing installed
#   wrong-ca       https with another CA: nothing fetched, "try again later", nothing installed
#   untrusted      a channel signed by a key the instrument does not trust: refused, nothing installed; the
#                  update partition is written (the client's folder) and given back read-only
#   tampered       a package whose bytes on the server differ from the published ones: refused with a
#                  failure report, nothing installed; the next release installs
# Through fault-proxy (between the instrument and the origin), the release installs only when right, and a
# later run left alone finishes the job:
#   cut            the package's transfer cut after 600000 bytes: the next request resumes past the bytes
#                  already checked (not from the start) and the release installs
#   restart        the run stopped in the middle of a slow download (the sandbox's time limit):
#                  the checked bytes are kept, and the next run resumes past them and installs
#   busy           503 with Retry-After: 2 for the channel document: "try again later", nothing reported as
#                  failed; the next run installs
#   ignore-range   every range request of the package answered 200 with the whole file
#   etag-change    every answer for the package with another ETag, conditional requests answered as if the
#                  file had changed (200 whole)
#   flip           one bit flipped in every answer for the package
#                  (each: that run installs the published bytes or nothing; with a healthy server the
#                  release installs)
#   stall          every transfer of the package stalls: each is cut after the stall limit (5 s), and after
#                  a bounded number of tries "try again later"; the next run, with a healthy server, installs
# Exit status: 0 when every check held, 1 otherwise, 77 when the machine allows no sandbox or network
# namespace, or a program the case needs was not built.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/fleet_lib.sh"
fleet_enter_netns "$@"

case_name=$1
shift
sim="" vexpkg="" fat_lib="" fetch="" installer="" proxy=""
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "fleet_case.sh: $1 needs a value" >&2; exit 2; }
    case "$1" in
        --sim) sim=$2 ;;
        --vex-pkg) vexpkg=$2 ;;
        --fat-lib) fat_lib=$2 ;;
        --fetch) fetch=$2 ;;
        --installer) installer=$2 ;;
        --proxy) proxy=$2 ;;
        *) echo "fleet_case.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
[ -x "$vexpkg" ] && [ -x "$sim" ] || { echo "fleet_case.sh: --sim and --vex-pkg are required" >&2; exit 2; }
needs_client() {
    [ -n "$fetch" ] && [ -x "$fetch" ] && [ -x "$installer" ] ||
        { echo "SKIP: case $case_name needs vex-pkg-fetch and vex-pkg-install" >&2; exit "$FLEET_SKIP"; }
}
needs_proxy() { [ -n "$proxy" ] && [ -x "$proxy" ] || { echo "SKIP: case $case_name needs fault-proxy" >&2; exit "$FLEET_SKIP"; }; }

fleet_work_dir
work=$FLEET_WORK
# Seen inside the sandbox too: a sanitizer's suppression files.
source_tree=$(cd "$here/../.." && pwd)
port=18080 cache_port=18090
device=SN-0001
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }

# ------------------------------------------------------------------------------------------------------------
# The release side: keys, packages and the published folder.

"$vexpkg" keygen --out "$work/keys" --name release >/dev/null || die "no key pair"
"$vexpkg" keygen --out "$work/keys" --name stranger >/dev/null || die "no second key pair"
# Random bytes, so that the package is several range requests long and compression cannot shrink it.
head -c $((1536 * 1024)) /dev/urandom >"$work/blob.bin" || die "no random bytes"

# package VERSION [KEY [prefail]]: the example package with that version and a 1.5 MiB file, signed (by
# "release" unless told), as $work/VERSION.pkg; with prefail its pre.sh fails.
package() {
    local version=$1 key=${2:-release}
    rm -rf "$work/src" && cp -r "$here/../../examples/sample-package" "$work/src" || die "cannot copy the sample"
    cp "$work/blob.bin" "$work/src/files/blob.bin"
    [ "${3:-}" != prefail ] || printf '#!/bin/sh\necho "pre.sh: the instrument is not ready"\nexit 1\n' >"$work/src/scripts/pre.sh"
    sed -i -e "s/^version = .*/version = \"$version\"/" "$work/src/manifest.toml"
    cat >>"$work/src/manifest.toml" <<'EOF'

[[file]]
source = "files/blob.bin"
path = "/kelda_usr/sample/blob.bin"
EOF
    "$vexpkg" create "$work/src/manifest.toml" -o "$work/$version.pkg" --sign "$work/keys/$key.key" \
        >"$work/create.out" 2>&1 || { cat "$work/create.out" >&2; die "cannot build $version"; }
}

# publish VERSION [KEY] [publish options]: into the served folder.
publish() {
    local version=$1 key=${2:-release}
    shift $(($# < 2 ? $# : 2))
    "$vexpkg" publish "$work/$version.pkg" --to "$work/site" --channel stable --key "$work/keys/$key.key" \
        --rollout 100 "$@" >"$work/publish.out" 2>&1 || { cat "$work/publish.out" >&2; die "cannot publish $version"; }
}

# The served file of a published VERSION (packages/SHA256.pkg).
served_package() { echo "$work/site/packages/$(sha256sum <"$work/$1.pkg" | cut -d' ' -f1).pkg"; }

# ------------------------------------------------------------------------------------------------------------
# The server side: the origin of examples/nginx, optionally with https.

# origin [tls|slow]: starts the origin on $port serving $work/site, reports into $work/reports/reports/;
# with https, or sending at most 200 KiB/s per connection.
origin() {
    local listen="listen 127.0.0.1:$port;"
    mkdir -p "$work/site" "$work/reports"
    [ "${1:-}" != slow ] || listen="$listen limit_rate 200k;"
    if [ "${1:-}" = tls ]; then
        fleet_make_tls "$work/tls" || exit 1
        listen="listen 127.0.0.1:$port ssl; ssl_certificate $work/tls/server.pem; ssl_certificate_key $work/tls/server.key;"
    fi
    fleet_site "$here/../../examples/nginx/origin.conf" "listen 80;=$listen" "/srv/vex-updates=$work/site" \
        "/var/lib/vex-reports=$work/reports" >"$work/origin.site" || exit 1
    nginx_start origin "$port" "$work/origin.site" || exit 1
}

cache() {
    fleet_site "$here/../../examples/nginx/cache.conf" "listen 80;=listen 127.0.0.1:$cache_port;" \
        "http://origin.example.net=http://127.0.0.1:$port" "/var/cache/nginx/vex-updates=$work/cache" \
        >"$work/cache.site" || exit 1
    nginx_start cache "$cache_port" "$work/cache.site" || exit 1
}

report_file() { echo "$work/reports/reports/$device/$1.json"; }

# A top-level string or number field of a JSON document (as the client writes its reports).
json_field() { sed -n "s/.*\"$2\" *: *\"\{0,1\}\([^\",}]*\)\"\{0,1\}.*/\1/p" "$1" | head -n 1; }

# fault_proxy FAULT MATCH [TIMES]: fault-proxy on $proxy_port in front of the origin, spoiling answers to
# requests whose target contains MATCH; its log in $work/proxy.log. Stopped on exit with the servers.
proxy_port=18085
fault_proxy() {
    "$proxy" --listen "127.0.0.1:$proxy_port" --upstream "127.0.0.1:$port" --fault "$1" --match "$2" \
        --times "${3:-1}" --log "$work/proxy.log" </dev/null >"$work/proxy.out" 2>&1 &
    proxy_pid=$!
    fleet_wait 100 fleet_port_open "$proxy_port" || { cat "$work/proxy.out" >&2; die "fault-proxy does not listen"; }
}
stop_proxy() {
    [ -n "${proxy_pid:-}" ] || return 0
    kill -TERM "$proxy_pid" 2>/dev/null
    fleet_wait 50 eval "! kill -0 $proxy_pid 2>/dev/null" || kill -KILL "$proxy_pid" 2>/dev/null
    wait "$proxy_pid" 2>/dev/null
    proxy_pid=""
}
proxy_pid=""
trap 'stop_proxy; fleet_cleanup' EXIT

# ------------------------------------------------------------------------------------------------------------
# The instrument side: configuration, keys and runs of vex-pkg-fetch in the sandbox. The partitions persist
# from one run to the next (instrument-sim --save-images / --images), as on an instrument that restarts.

# config URL [extra TOML lines for [trust]]: the client's configuration for a channel at URL.
config() {
    local url=$1
    mkdir -p "$work/etc/keys"
    cp "$work/keys/release.pem" "$work/etc/keys/"
    echo VX20A01 >"$work/etc/compatible"
    cat >"$work/etc/fetch.toml" <<EOF
device_id = "$device"
[channel]
url = "$url"
name = "stable"
[trust]
keys = "/etc/vex-pkg/keys"
compatible = "/etc/vex-pkg/compatible"
${2:-}
[report]
url = "${url%/}/reports"
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
stall_seconds = $stall_limit
request_timeout_seconds = 60
EOF
}

stall_limit=5
# The update partition as the instrument keeps it: read-only; the client makes it writable for its own work
# and the installer's, and gives it back so.
update_mount=ro
runs=0
# run NAME EXPECTED_STATUS: one vex-pkg-fetch --once on the instrument; its output in $work/NAME.out, the
# sandbox's results (manifest.tsv, LOG/, files/) in $work/NAME/.
run() {
    local name=$1 expected=$2 status images=()
    [ "$runs" = 0 ] || images=(--images "$work/images")
    runs=$((runs + 1))
    local args=(--quiet --timeout "${run_limit:-90}" --size update=16M --mount "update=$update_mount" "${images[@]}" --save-images "$work/images"
        --bind "$source_tree" --bind "$(dirname "$(realpath "$fetch")")" --bind "$(dirname "$(realpath "$installer")")"
        --copy "$work/etc:/etc/vex-pkg" --results "$work/$name" --collect /emmc/update/fetch)
    [ -z "$fat_lib" ] || args+=(--fat-lib "$fat_lib")
    "$sim" "${args[@]}" -- "$(realpath "$fetch")" --config /etc/vex-pkg/fetch.toml --once >"$work/$name.out" 2>&1
    status=$?
    [ "$status" = 77 ] && die "the sandbox is not available after all"
    if [ "$expected" != any ] && [ "$status" != "$expected" ]; then
        fail "run $name: vex-pkg-fetch exited $status, not $expected"
        cat "$work/$name.out" >&2
    fi
}

expect_file_in() { [ -n "$(entry "$1" "$2")" ] || fail "run $1 left no $2"; }

said() { grep -qF -- "$2" "$work/$1.out" || { fail "run $1 did not say '$2'"; cat "$work/$1.out" >&2; }; }

# The entry PATH of the instrument's partitions after run NAME: "type size md5", or nothing.
entry() { awk -F'\t' -v p="$2" '$1 == p { print $2, $3, $10 }' "$work/$1/manifest.tsv"; }

expect_installed() {
    local name=$1 blob
    blob=$(md5sum <"$work/blob.bin" | cut -d' ' -f1)
    [ "$(entry "$name" /emmc/kelda_usr/sample/blob.bin)" = "f $((1536 * 1024)) $blob" ] ||
        fail "after run $name the package's 1.5 MiB file is not installed as built"
    [ -n "$(entry "$name" /emmc/kelda_usr/sample/readme.txt)" ] || fail "after run $name readme.txt is missing"
}

expect_not_installed() {
    [ -z "$(entry "$1" /emmc/kelda_usr/sample/readme.txt)" ] || fail "after run $1 the sample is installed"
    [ -z "$(entry "$1" /emmc/kelda_usr/sample/blob.bin)" ] || fail "after run $1 blob.bin is installed"
}

# expect_report VERSION STATE [SOURCE]: the last report the server holds for VERSION.
expect_report() {
    local file state
    file=$(report_file "$1")
    [ -f "$file" ] || { fail "no report for $1 reached the server"; return; }
    state=$(json_field "$file" state)
    [ "$state" = "$2" ] || fail "the report for $1 says '$state', not '$2': $(cat "$file")"
    [ "$(json_field "$file" device)" = "$device" ] || fail "the report for $1 names another device"
    [ "$(json_field "$file" source)" = "${3:-channel}" ] || fail "the report for $1 has the wrong source"
}

show() {
    local f
    for f in "$work"/*.out "$work"/*/LOG/* "$work/nginx-origin/access.log" "$work/nginx-origin/error.log"; do
        [ -f "$f" ] && { echo "--- $f"; tail -n 40 "$f"; }
    done
    find "$work/reports" -type f -exec sh -c 'echo "--- $1"; cat "$1"; echo' sh {} \; 2>/dev/null
}

end() {
    if [ "$failures" != 0 ]; then
        show >&2
        exit 1
    fi
    exit 0
}

# ------------------------------------------------------------------------------------------------------------
# The cases.

case_nginx() {
    package 2.1.0
    publish 2.1.0
    origin tls
    local base=https://127.0.0.1:$port c=(curl -sS --max-time 10 --cacert "$work/tls/ca.pem") pkg etag status
    pkg=$(served_package 2.1.0)
    "${c[@]}" -o "$work/doc.json" "$base/stable.json" || fail "no channel document over https"
    cmp -s "$work/doc.json" "$work/site/stable.json" || fail "the channel document differs from the published one"
    curl -sS --max-time 10 -o /dev/null "$base/stable.json" 2>/dev/null &&
        fail "https without the test's CA was accepted"
    etag=$("${c[@]}" -D - -o /dev/null "$base/stable.json" | tr -d '\r' | sed -n 's/^[Ee][Tt][Aa][Gg]: *//p')
    [ -n "$etag" ] || fail "the origin gives no ETag"
    status=$("${c[@]}" -o /dev/null -w '%{http_code}' -H "If-None-Match: $etag" "$base/stable.json")
    [ "$status" = 304 ] || fail "the origin answers a current ETag with $status"
    status=$("${c[@]}" -o "$work/range" -w '%{http_code}' -r 1000-1999 "$base/packages/${pkg##*/}")
    [ "$status" = 206 ] && cmp -s "$work/range" <(tail -c +1001 "$pkg" | head -c 1000) ||
        fail "a range of the package came back as $status or with other bytes"
    status=$("${c[@]}" -o /dev/null -w '%{http_code}' -T "$work/doc.json" "$base/reports/$device/2.1.0.json")
    [ "$status" = 201 ] && cmp -s "$work/doc.json" "$(report_file 2.1.0)" || fail "a report PUT gave $status"
    status=$("${c[@]}" -o /dev/null -w '%{http_code}' "$base/reports/$device/2.1.0.json")
    [ "$status" = 403 ] || fail "a report can be read back ($status)"
    head -c 70000 /dev/zero >"$work/large"
    status=$("${c[@]}" -o /dev/null -w '%{http_code}' -T "$work/large" "$base/reports/$device/large.json")
    [ "$status" = 413 ] || fail "a 70000-byte report was answered $status, not 413"

    # The cache (plain http) in front of the plain origin: polls with the current ETag get 304 from the
    # cache itself, and a range of a package comes from its slices.
    nginx_stop origin
    origin
    cache
    local before
    before=$(wc -l <"$work/nginx-origin/access.log")
    base=http://127.0.0.1:$cache_port c=(curl -sS --max-time 10)
    etag=$("${c[@]}" -D - -o /dev/null "$base/stable.json" | tr -d '\r' | sed -n 's/^[Ee][Tt][Aa][Gg]: *//p')
    local i
    for i in 1 2 3; do
        status=$("${c[@]}" -o /dev/null -w '%{http_code}' -H "If-None-Match: $etag" "$base/stable.json")
        [ "$status" = 304 ] || fail "the cache answers a current ETag with $status"
    done
    tail -n +$((before + 1)) "$work/nginx-origin/access.log" | grep -c 'GET /stable.json' | grep -qx 1 ||
        fail "the origin saw the channel document asked more than once"
    status=$("${c[@]}" -o "$work/range" -w '%{http_code}' -r 1048000-1049999 "$base/packages/${pkg##*/}")
    [ "$status" = 206 ] && cmp -s "$work/range" <(tail -c +1048001 "$pkg" | head -c 2000) ||
        fail "a range across two slices came back from the cache as $status or with other bytes"
    # The cache asked the origin for exactly the two 1 MiB slices the range lies in.
    [ "$(tail -n +$((before + 1)) "$work/nginx-origin/access.log" | grep ' /packages/' |
        sed -n 's/.*range=\(bytes=[0-9-]*\)$/\1/p' | sort | tr '\n' ' ')" = "bytes=0-1048575 bytes=1048576-2097151 " ] ||
        fail "the cache did not fetch the package in 1 MiB slices: $(grep ' /packages/' "$work/nginx-origin/access.log")"
    end
}

case_install() {
    needs_client
    package 2.1.0
    publish 2.1.0
    origin "${1:-}"
    local base=http://127.0.0.1:$port
    if [ "${1:-}" = tls ]; then
        base=https://127.0.0.1:$port
        config "$base" "ca_file = \"/etc/vex-pkg/ca.pem\"
pinned_key = \"$(fleet_pin "$work/tls/server.pem")\""
        cp "$work/tls/ca.pem" "$work/etc/ca.pem"
    else
        config "$base"
    fi
    run first 0
    said first "Installed 2.1.0"
    expect_installed first
    expect_report 2.1.0 success
    local report
    report=$(report_file 2.1.0)
    [[ "$(json_field "$report" log_file)" == *_success.log ]] ||
        fail "the success report names no success log: $(cat "$report")"
    # The next poll: nothing new, nothing downloaded again.
    local requests
    requests=$(grep -c '/packages/' "$work/nginx-origin/access.log")
    run second 0
    grep -c '/packages/' "$work/nginx-origin/access.log" | grep -qx "$requests" ||
        fail "the second poll fetched the package again"
    expect_installed second
    end
}

case_install-fails() {
    needs_client
    package 2.1.0 release prefail
    publish 2.1.0
    origin
    config "http://127.0.0.1:$port"
    run first 1
    said first "Failed"
    expect_not_installed first
    expect_report 2.1.0 failure
    local report
    report=$(report_file 2.1.0)
    [[ "$(json_field "$report" log_file)" == *_error.log ]] || fail "the failure report names no error log: $(cat "$report")"
    grep -q '"log_tail" *: *\[ *"' "$report" || fail "the failure report carries no lines of the error log: $(cat "$report")"
    end
}

case_wrong-ca() {
    needs_client
    package 2.1.0
    publish 2.1.0
    origin tls
    # Another CA than the one that signed the server's certificate.
    fleet_make_tls "$work/other-tls" || exit 1
    config "https://127.0.0.1:$port" 'ca_file = "/etc/vex-pkg/ca.pem"'
    cp "$work/other-tls/ca.pem" "$work/etc/ca.pem"
    run first 3
    said first "Try again later"
    expect_not_installed first
    [ ! -e "$work/reports/reports" ] || fail "something was reported over an unverified connection"
    end
}

case_untrusted() {
    needs_client
    package 2.1.0 stranger
    publish 2.1.0 stranger
    origin
    config "http://127.0.0.1:$port"
    update_mount=ro
    run first 1
    expect_not_installed first
    grep -q ' /emmc/update ext3 ro[ ,]' "$work/first/mounts" ||
        fail "the update partition was not given back read-only: $(grep /emmc/update "$work/first/mounts")"
    expect_file_in first /emmc/update/fetch
    grep -q '/packages/' "$work/nginx-origin/access.log" && fail "a package of an untrusted channel was fetched"
    end
}

case_tampered() {
    needs_client
    package 2.1.0
    publish 2.1.0
    origin
    config "http://127.0.0.1:$port"
    # One byte of the package's data changes on the server after publishing (a damaged mirror, an attacker):
    # the signed index no longer matches that block.
    local pkg size
    pkg=$(served_package 2.1.0)
    size=$(stat -c %s "$pkg")
    printf '\x5a' | dd of="$pkg" bs=1 seek=$((size - 4096)) conv=notrunc status=none
    run first 1
    expect_not_installed first
    expect_report 2.1.0 failure
    [ -n "$(json_field "$(report_file 2.1.0)" reason)" ] || fail "the failure report gives no reason"
    # The release after it is published intact and installs.
    package 2.2.0
    publish 2.2.0
    run second 0
    said second "Installed 2.2.0"
    expect_installed second
    expect_report 2.2.0 success
    end
}

# A release behind the proxy with fault FAULT for requests matching MATCH, TIMES times; the instrument's
# channel is the proxy. A run asks first for the package's index (its first 1560 bytes or so), then for the
# rest in one range: a fault meant for the rest is given for two requests.
behind_proxy() {
    needs_client
    needs_proxy
    package 2.1.0
    publish 2.1.0
    origin
    fault_proxy "$@"
    config "http://127.0.0.1:$proxy_port"
}

origin_lines() { wc -l <"$work/nginx-origin/access.log"; }

# The download the instrument keeps after run NAME: the size of update_dir/fetch/package.part, or nothing.
kept_part() {
    awk -F'\t' '$1 ~ /^\/emmc\/update\/fetch\/package\.part$/ { print $3 }' "$work/$1/manifest.tsv"
}

# Runs the instrument until it reports success for 2.1.0, at most $2 runs named $1-1, $1-2, ...; every run
# exits 0 or 3 (try again later) and never installs a wrong byte.
until_installed() {
    local name=$1 most=$2 i status
    for ((i = 1; i <= most; i++)); do
        run "$name-$i" any
        status=$(cat "$work/$name-$i/exit-status" 2>/dev/null)
        [ "$status" = 0 ] || [ "$status" = 3 ] || fail "run $name-$i exited $status"
        wrong_bytes "$name-$i"
        if [ "$status" = 0 ] && [ -n "$(entry "$name-$i" /emmc/kelda_usr/sample/blob.bin)" ]; then
            expect_installed "$name-$i"
            expect_report 2.1.0 success
            return
        fi
    done
    fail "the release was not installed after $most runs"
}

# No run installs other bytes than the published ones.
wrong_bytes() {
    local got
    got=$(entry "$1" /emmc/kelda_usr/sample/blob.bin)
    [ -z "$got" ] || [ "$got" = "f $((1536 * 1024)) $(md5sum <"$work/blob.bin" | cut -d' ' -f1)" ] ||
        fail "run $1 installed blob.bin with other bytes: $got"
}

# The first byte of each range request for the package after line $1 of the origin's log, in order.
range_starts() {
    tail -n +"$(($1 + 1))" "$work/nginx-origin/access.log" | grep ' /packages/' |
        sed -n 's/.*range=bytes=\([0-9]*\)-.*/\1/p'
}

case_cut() {
    behind_proxy cut:600000 /packages/ 2
    run first 0
    said first "Installed 2.1.0"
    expect_installed first
    expect_report 2.1.0 success
    # The index, the rest cut after 600000 bytes, then the rest of the rest: never from the start again.
    local starts index
    mapfile -t starts < <(range_starts 0)
    index=${starts[1]:-0}
    [ "${#starts[@]}" -ge 3 ] && [ "${starts[2]}" -gt "$index" ] && [ "${starts[2]}" -le $((index + 600000)) ] ||
        fail "after the cut the download did not resume past the checked bytes (ranges from ${starts[*]})"
    end
}

case_restart() {
    needs_client
    package 2.1.0
    publish 2.1.0
    # The origin sends at most 200 KiB/s per connection: the download takes about 8 s, and the sandbox stops
    # the first run after 4.
    origin slow
    config "http://127.0.0.1:$port"
    run_limit=4
    run first 124
    run_limit=90
    expect_not_installed first
    local kept before starts
    kept=$(kept_part first)
    [ -n "$kept" ] && [ "$kept" -gt 2000 ] || fail "the stopped download kept no checked bytes (${kept:-no package.part})"
    before=$(origin_lines)
    run second 0
    said second "Installed 2.1.0"
    expect_installed second
    expect_report 2.1.0 success
    mapfile -t starts < <(range_starts "$before")
    # The index may be asked again; the rest starts past what the first run had checked.
    [ "${#starts[@]}" -ge 1 ] && [ "${starts[-1]}" -gt 2000 ] ||
        fail "the second run did not resume (ranges from ${starts[*]:-none})"
    end
}

case_busy() {
    behind_proxy status503:2 stable.json 1
    run first 3
    said first "Try again later"
    expect_not_installed first
    grep -q '/packages/' "$work/nginx-origin/access.log" && fail "a package was fetched while the server was busy"
    [ ! -e "$(report_file 2.1.0)" ] || expect_report 2.1.0 downloading
    sleep 3 # past the Retry-After
    run second 0
    expect_installed second
    expect_report 2.1.0 success
    end
}

# A run against a server whose answers are spoiled by FAULT for the package (every request); then, with a
# healthy server, later runs install. The spoiled run either installs the published bytes or installs
# nothing and tries again later (or, allowed with $1 = may-fail, fails with a failure report).
spoiled_then_healthy() {
    local how=$1 fault=$2 status
    behind_proxy "$fault" /packages/ 0
    run spoiled any
    status=$(cat "$work/spoiled/exit-status" 2>/dev/null)
    wrong_bytes spoiled
    grep -qF -x -e "$(printf '%s' "$fault")" <(awk '{ print $4 }' "$work/proxy.log" 2>/dev/null) || fail "the proxy never spoiled an answer ($fault)"
    case "$status" in
        0) expect_installed spoiled; expect_report 2.1.0 success; return ;;
        3) said spoiled "Try again later"; expect_not_installed spoiled ;;
        1) [ "$how" = may-fail ] || fail "the spoiled run failed the release"
           expect_not_installed spoiled
           expect_report 2.1.0 failure ;;
        *) fail "the spoiled run exited $status" ;;
    esac
    stop_proxy
    fault_proxy none /packages/ 0
    until_installed healthy 2
}

case_ignore-range() {
    spoiled_then_healthy must-not-fail ignore-range
    end
}

case_etag-change() {
    spoiled_then_healthy must-not-fail etag-change
    end
}

case_flip() {
    spoiled_then_healthy may-fail flip:700000
    end
}

case_stall() {
    # Every transfer of the package stalls: the index never arrives, each try is cut after the stall limit
    # (5 s), and after a bounded number of tries the run gives up until later.
    behind_proxy stall:60 /packages/ 0
    local started=$SECONDS
    run first 3
    said first "Try again later"
    expect_not_installed first
    # A handful of tries of 5 s each and the sandbox's own seconds; far less than one 60-s stall per try.
    [ $((SECONDS - started)) -lt 60 ] || fail "the stalled run took $((SECONDS - started)) s"
    stop_proxy
    fault_proxy none /packages/ 0
    run second 0
    expect_installed second
    expect_report 2.1.0 success
    end
}

case "$case_name" in
    nginx) case_nginx ;;
    install) case_install ;;
    install-https) case_install tls ;;
    install-fails) case_install-fails ;;
    wrong-ca) case_wrong-ca ;;
    untrusted) case_untrusted ;;
    tampered) case_tampered ;;
    cut) case_cut ;;
    restart) case_restart ;;
    busy) case_busy ;;
    ignore-range) case_ignore-range ;;
    etag-change) case_etag-change ;;
    flip) case_flip ;;
    stall) case_stall ;;
    *) echo "fleet_case.sh: unknown case $case_name" >&2; exit 2 ;;
esac
