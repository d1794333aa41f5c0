#!/usr/bin/env bash
# The fleet load test: N instruments poll a channel through an nginx cache in front of an nginx origin
# (examples/nginx/cache.conf and origin.conf), all on the loopback interface of a network namespace of the
# script's own. Prints the figures an operator sizes an origin with and checks what makes them hold:
#   - every poll answered as expected (304 for an instrument holding the current ETag, 200 for a new one, 206
#     for an index fetched by range), a 304 without a body;
#   - the origin asked a bounded number of times (the cache answers the polls; it revalidates each document
#     once per validity period and fetches each package slice once).
#
#   fleet_load.sh --vex-pkg VEX_PKG --loadgen FLEET_LOADGEN [--instruments N] [--concurrency C]
#                 [--new-percent P] [--range-percent P] [--spread SECONDS] [--time-limit SECONDS]
#                 [--fetch VEX_PKG_FETCH --sim INSTRUMENT_SIM [--fat-lib LIB]]
# --spread starts the polls evenly over that many seconds (default 30), as a fleet's polls spread over its
# poll interval: the origin's request rate is measured over several validity periods of the cache's copy.
# With --fetch, also the real client's peak memory for one poll of an unchanged channel (vex-pkg-fetch
# --once, in the sandboxed instrument, which shares this network namespace).
# Exit status: 0 when the checks held, 1 when not, 77 when the machine allows no network namespace or has
# no nginx.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../tests/e2e/fleet_lib.sh"
fleet_enter_netns "$@"

vexpkg="" loadgen="" fetch="" sim="" fat_lib="" instruments=10000 concurrency=256 new_percent=5
range_percent=1 spread=30 time_limit=300
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || { echo "fleet_load.sh: $1 needs a value" >&2; exit 2; }
    case "$1" in
        --vex-pkg) vexpkg=$2 ;;
        --loadgen) loadgen=$2 ;;
        --fetch) fetch=$2 ;;
        --sim) sim=$2 ;;
        --fat-lib) fat_lib=$2 ;;
        --instruments) instruments=$2 ;;
        --concurrency) concurrency=$2 ;;
        --new-percent) new_percent=$2 ;;
        --range-percent) range_percent=$2 ;;
        --spread) spread=$2 ;;
        --time-limit) time_limit=$2 ;;
        *) echo "fleet_load.sh: unknown option $1" >&2; exit 2 ;;
    esac
    shift 2
done
[ -x "$vexpkg" ] && [ -x "$loadgen" ] || { echo "fleet_load.sh: --vex-pkg and --loadgen are required" >&2; exit 2; }
for n in "$instruments" "$concurrency" "$new_percent" "$range_percent" "$spread" "$time_limit"; do
    [[ "$n" =~ ^[0-9]+$ ]] || { echo "fleet_load.sh: $n is not a whole number" >&2; exit 2; }
done

fleet_work_dir
work=$FLEET_WORK
origin_port=18081 cache_port=18082
# How long the cache keeps a channel document (cache.conf; fleet_site below fails if the example changes it).
validity=5
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A release of the example package, published as vex-pkg publish does for a real channel. Offered to no
# instrument (rollout 0), so that the real client's poll finds nothing to install.
"$vexpkg" keygen --out "$work/keys" --name release >/dev/null &&
    cp -r "$here/../examples/sample-package" "$work/src" &&
    "$vexpkg" create "$work/src/manifest.toml" -o "$work/update.pkg" --sign "$work/keys/release.key" >/dev/null &&
    "$vexpkg" publish "$work/update.pkg" --to "$work/site" --channel stable --key "$work/keys/release.key" \
        --rollout 0 >/dev/null ||
    { echo "FAIL: cannot publish a release" >&2; exit 1; }
package=$(cd "$work/site" && ls packages/*.pkg)
index_length=$(sed -n 's/.*"index_length": *\([0-9]*\).*/\1/p' "$work/site/stable.json")
[[ "$index_length" =~ ^[0-9]+$ ]] || { echo "FAIL: no index_length in the channel document" >&2; exit 1; }

mkdir -p "$work/reports"
fleet_site "$here/../examples/nginx/origin.conf" "listen 80;=listen 127.0.0.1:$origin_port;" \
    "/srv/vex-updates=$work/site" "/var/lib/vex-reports=$work/reports" >"$work/origin.site" &&
    fleet_site "$here/../examples/nginx/cache.conf" "listen 80;=listen 127.0.0.1:$cache_port;" \
        "http://origin.example.net=http://127.0.0.1:$origin_port" "/var/cache/nginx/vex-updates=$work/cache" \
        "proxy_cache_valid 200 ${validity}s;=proxy_cache_valid 200 ${validity}s;" >"$work/cache.site" &&
    nginx_start origin "$origin_port" "$work/origin.site" &&
    nginx_start cache "$cache_port" "$work/cache.site" || exit 1

base=http://127.0.0.1:$cache_port
# The ETag most instruments hold: the one of the current document, as the cache gives it.
etag=$(curl -sS --max-time 10 -D - -o /dev/null "$base/stable.json" | tr -d '\r' |
    sed -n 's/^[Ee][Tt][Aa][Gg]: *//p')
[ -n "$etag" ] || { echo "FAIL: the cache gives no ETag for the channel document" >&2; exit 1; }
origin_before=$(wc -l <"$work/nginx-origin/access.log")
cache_before=$(wc -l <"$work/nginx-cache/access.log")

"$loadgen" --url "$base/stable.json" --etag "$etag" --instruments "$instruments" --concurrency "$concurrency" \
    --new-percent "$new_percent" --range-url "$base/$package" --range-bytes "$index_length" \
    --range-percent "$range_percent" --spread "$spread" --time-limit "$time_limit" >"$work/loadgen.out" 2>"$work/loadgen.err"
status=$?
[ "$status" = 0 ] || { fail "the load generator exited $status"; head -n 20 "$work/loadgen.err" >&2; }
figure() { sed -n "s/^$1 //p" "$work/loadgen.out"; }

seconds=$(figure seconds) polls=$(figure polls) poll_bytes=$(figure poll_bytes)
unchanged=$(figure unchanged_polls) unchanged_bytes=$(figure unchanged_poll_bytes)
origin_requests=$(($(wc -l <"$work/nginx-origin/access.log") - origin_before))
cache_lines=$(tail -n +"$((cache_before + 1))" "$work/nginx-cache/access.log")
cache_polls=$(grep -c ' GET /stable.json ' <<<"$cache_lines")
cache_304=$(grep -c '^304 GET /stable.json ' <<<"$cache_lines")

cat "$work/loadgen.out"
awk -v s="$seconds" -v o="$origin_requests" -v p="$cache_polls" -v n="$cache_304" -v b="$poll_bytes" \
    -v q="$polls" -v u="$unchanged" -v ub="$unchanged_bytes" 'BEGIN {
        printf "origin_requests %d\norigin_requests_per_second %.2f\n", o, (s > 0 ? o / s : 0)
        printf "polls_per_second %.0f\ncache_304_percent %.1f\nclient_bytes_per_poll %.0f\n",
            (s > 0 ? q / s : 0), (p > 0 ? 100 * n / p : 0), (q > 0 ? b / q : 0)
        printf "client_bytes_per_unchanged_poll %.0f\n", (u > 0 ? ub / u : 0)
    }'

[ "$polls" = "$instruments" ] || fail "$polls polls of $instruments were answered"
[ "$cache_polls" = "$instruments" ] || fail "the cache logged $cache_polls polls, not $instruments"
# Every instrument but the new ones gets 304 from the cache itself.
expected_304=$((instruments - instruments * new_percent / 100))
[ "$cache_304" -ge "$expected_304" ] || fail "only $cache_304 polls got 304 at the cache, not $expected_304"
# The origin sees the document revalidated once per validity period (a second request may race the
# expiry), and each slice of the package the index lies in once.
limit=$(awk -v s="$seconds" -v v="$validity" 'BEGIN { printf "%d", 2 * (int(s / v) + 1) + 4 }')
[ "$origin_requests" -le "$limit" ] || fail "the origin was asked $origin_requests times (at most $limit expected)"

# The real client's memory for one poll of the unchanged channel: a first run accepts the channel, the
# second one finds it unchanged.
if [ -n "$fetch" ]; then
    mkdir -p "$work/etc/keys"
    cp "$work/keys/release.pem" "$work/etc/keys/"
    echo VX20A01 >"$work/etc/compatible"
    cat >"$work/etc/fetch.toml" <<EOF
device_id = "SN-LOAD"
[channel]
url = "$base"
name = "stable"
[trust]
keys = "/etc/vex-pkg/keys"
compatible = "/etc/vex-pkg/compatible"
[paths]
update_dir = "/emmc/update"
EOF
    sim_args=(--quiet --timeout 120 --bind "$(dirname "$(realpath "$fetch")")" --bind "$(dirname "$(realpath "$loadgen")")"
        --copy "$work/etc:/etc/vex-pkg")
    [ -z "$fat_lib" ] || sim_args+=(--fat-lib "$fat_lib")
    "$sim" "${sim_args[@]}" -- bash -c '"$1" --config /etc/vex-pkg/fetch.toml --once >/tmp/first.out 2>&1 ||
            { echo "the first poll failed:"; cat /tmp/first.out; exit 1; }
        "$2" --max-rss -- "$1" --config /etc/vex-pkg/fetch.toml --once' \
        rss "$(realpath "$fetch")" "$(realpath "$loadgen")" >"$work/rss.out" 2>&1
    status=$?
    if [ "$status" = 77 ]; then
        echo "client_max_rss_kib unknown (the machine allows no sandbox)"
    elif [ "$status" = 0 ] && grep -q '^max_rss_kib ' "$work/rss.out"; then
        grep '^max_rss_kib ' "$work/rss.out" | sed 's/^max_rss_kib/client_max_rss_kib/'
        grep -q "Channel unchanged" "$work/rss.out" || fail "the second poll did not find the channel unchanged"
    else
        fail "the real client's poll exited $status"
        cat "$work/rss.out" >&2
    fi
fi
[ "$failures" = 0 ] || exit 1
