#!/usr/bin/env bash
# Installs the amd64 Debian packages into a fresh Debian 12 root and runs the programs from there.
#   debian_root_test.sh PACKAGE_DIR SOURCE_DIR PCM_FILE
#   debian_root_test.sh --prepare      only makes the cached root when it is missing (the test command starts
#                                      this beside the builds, so that the download overlaps the compiling)
# The base root is made once by debootstrap (minbase, from the machine's own Debian mirror) and kept in
# $VEX_DEBIAN_ROOT_CACHE (default /var/cache/vex-update-tests/debian12-amd64), outside every build tree;
# each run installs into a copy of it, so that only the packages' own dependencies are there. Downloaded
# dependencies are kept beside the base for the next run.
# Exits 0 when every check passed, 1 otherwise, 77 where it cannot run (not root, no debootstrap).
set -uo pipefail

PREPARE_ONLY=0
if [ "${1:-}" = --prepare ]; then
    PREPARE_ONLY=1
else
    PACKAGES=$1
    SOURCE=$2
    PCM=$3
fi
CACHE=${VEX_DEBIAN_ROOT_CACHE:-/var/cache/vex-update-tests/debian12-amd64}
failures=0

if [ "$(id -u)" -ne 0 ] || ! command -v debootstrap >/dev/null || ! command -v unshare >/dev/null; then
    echo "skipped: needs root, debootstrap and unshare"
    exit 77
fi

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check_eq() { [ "$2" = "$3" ] || fail "$1: expected [$3], got [$2]"; }

# The machine's Debian archives (bookworm and its updates), one "deb URI SUITE main" line each, from both the
# one-line and the deb822 sources files.
debian_sources() {
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && awk '$1 == "deb" && $0 ~ /debian/ && $0 ~ /bookworm/ {
            i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            print "deb " $i " " $(i + 1) " main" }' "$f"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] && awk 'function flush() { if (uris != "" && suites ~ /bookworm/ && uris ~ /debian/) {
                                n = split(uris, u, " "); m = split(suites, s, " ")
                                for (a = 1; a <= n; a++) for (b = 1; b <= m; b++) print "deb " u[a] " " s[b] " main" }
                              uris = ""; suites = "" }
            /^[ \t]*$/ { flush(); next }
            $1 == "URIs:" { $1 = ""; uris = $0 }
            $1 == "Suites:" { $1 = ""; suites = $0 }
            END { flush() }' "$f"
    done
}

# Runs a command inside ROOT with /proc mounted, in a mount namespace of its own that takes every mount
# with it when it ends.
in_root() {
    local root=$1
    shift
    unshare --mount --fork -- sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$root" \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"
}

make_base() {
    local sources mirror tmp
    sources=$(debian_sources | sort -u)
    mirror=$(echo "$sources" | awk '$3 == "bookworm" { print $2; exit }')
    [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
    tmp="$CACHE.new"
    rm -rf "$tmp"
    echo "making the Debian 12 root in $CACHE from $mirror (once)"
    if ! debootstrap --variant=minbase bookworm "$tmp" "$mirror" >"$CACHE.log" 2>&1; then
        echo "debootstrap failed, see $CACHE.log"
        return 1
    fi
    printf '%s\n' "${sources:-deb $mirror bookworm main}" >"$tmp/etc/apt/sources.list"
    in_root "$tmp" apt-get update -qq >>"$CACHE.log" 2>&1 || { echo "apt-get update failed"; return 1; }
    in_root "$tmp" apt-get clean
    mkdir -p "$CACHE.archives"
    mv "$tmp" "$CACHE"
}

mkdir -p "$(dirname "$CACHE")"
exec 9>"$CACHE.lock"
flock 9
if [ ! -d "$CACHE" ]; then
    make_base || exit 1
fi
[ "$PREPARE_ONLY" -eq 0 ] || exit 0

T=$(mktemp -d "${TMPDIR:-/var/tmp}/debian-root-test.XXXXXX")
trap 'flock -u 9; if [ "$failures" -eq 0 ]; then rm -rf "$T"; else echo "kept $T"; fi' EXIT
R=$T/root
cp -a "$CACHE" "$R"
mkdir -p "$R/tmp/debs"
cp "$PACKAGES"/*_amd64.deb "$R/tmp/debs/"
cp "$CACHE.archives"/*.deb "$R/var/cache/apt/archives/" 2>/dev/null

if ! in_root "$R" sh -c 'apt-get install -y -qq --no-install-recommends /tmp/debs/*.deb' >"$T/apt.log" 2>&1; then
    cat "$T/apt.log"
    fail "apt-get could not install the packages"
    exit 1
fi
cp -n "$R/var/cache/apt/archives"/*.deb "$CACHE.archives/" 2>/dev/null

for p in vex-instrument vex-workstation vex-sonoprobe; do
    check_eq "$p installed" "$(in_root "$R" dpkg-query -W -f='${Status}' "$p")" "install ok installed"
done
for page in vex-pkg-install vex-pkg-fetch Sonoprobe vex-pkg; do
    [ -s "$R/usr/share/man/man1/$page.1.gz" ] || fail "no manual page for $page"
done
[ -s "$R/usr/share/vex-pkg-install/Res/AppIco.ico" ] || fail "the installer's icon is missing"

# The installer: its help, and the library version it prints is the packages' version.
in_root "$R" vex-pkg-install -h >"$T/help" 2>&1
check_eq "vex-pkg-install -h status" "$?" 0
grep -q "^Usage: vex-pkg-install" "$T/help" || fail "vex-pkg-install -h: $(cat "$T/help")"
version=$(in_root "$R" vex-pkg-install -v)
check_eq "vex-pkg-install -v" "${version##* pkg-v}" "$(in_root "$R" dpkg-query -W -f='${Version}' vex-instrument)"

# The fetch client: its version, a missing configuration is a usage error (2), and its systemd units.
check_eq "vex-pkg-fetch --version" "$(in_root "$R" vex-pkg-fetch --version)" \
    "vex-pkg-fetch $(in_root "$R" dpkg-query -W -f='${Version}' vex-instrument)"
in_root "$R" vex-pkg-fetch --config /tmp/no-such.toml --once >/dev/null 2>&1
check_eq "vex-pkg-fetch without its configuration" "$?" 2
for unit in vex-pkg-fetch.service vex-pkg-fetch.timer; do
    [ -s "$R/usr/lib/systemd/system/$unit" ] || fail "no $unit"
done

# Sonoprobe on a wave and on a file cut short.
cp "$PCM" "$R/tmp/wave.PCM"
head -c 10 "$PCM" >"$R/tmp/short.PCM"
check_eq "Sonoprobe on a wave" "$(in_root "$R" Sonoprobe /tmp/wave.PCM; echo "status $?")" \
    "Sonoprobe: wave found
status 0"
check_eq "Sonoprobe on a short file" "$(in_root "$R" Sonoprobe /tmp/short.PCM; echo "status $?")" \
    "Sonoprobe: error
status 1"

# The package tool: the example package made, verified, and a damaged copy refused.
in_root "$R" vex-pkg --help >"$T/vex-pkg-help" 2>&1 || fail "vex-pkg --help: $(cat "$T/vex-pkg-help")"
cp -a "$SOURCE/examples/sample-package" "$R/tmp/sample"
if in_root "$R" vex-pkg create /tmp/sample/manifest.toml -o /tmp/sample.pkg >"$T/create" 2>&1; then
    in_root "$R" vex-pkg verify /tmp/sample.pkg >"$T/verify" 2>&1
    check_eq "vex-pkg verify status" "$?" 0
    grep -q "^package OK" "$T/verify" || fail "vex-pkg verify: $(cat "$T/verify")"
    size=$(stat -c %s "$R/tmp/sample.pkg")
    head -c $((size - 100)) "$R/tmp/sample.pkg" >"$R/tmp/short.pkg"
    in_root "$R" vex-pkg verify /tmp/short.pkg >"$T/verify-short" 2>&1
    check_eq "vex-pkg verify on a package cut short" "$?" 1
else
    fail "vex-pkg create: $(cat "$T/create")"
fi

[ "$failures" -eq 0 ] || exit 1
echo "the packages install and run in a fresh Debian 12 root"
