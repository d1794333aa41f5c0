# shellcheck shell=bash
# Shared by the fleet scripts (sourced): a network of the script's own, nginx servers started and stopped
# there, and a certificate authority for https. Nothing here reaches beyond the loopback interface of a
# network namespace the script made for itself.
#
#   fleet_enter_netns "$@"      first thing in a script: runs the script again inside a new network
#                               namespace (exit 77 when the machine refuses one) with only "lo", up
#   fleet_work_dir              makes $FLEET_WORK (removed on exit) and sets the exit trap
#   nginx_start NAME PORT SITE  starts nginx NAME on 127.0.0.1:PORT with the server configuration SITE
#   nginx_stop NAME             stops it (by the pid in its pid file), at most a few seconds
#   fleet_site FILE KEY=VALUE.. an example configuration with its operator's values replaced (see below)
#   fleet_make_tls DIR          a CA (DIR/ca.pem) and a certificate for 127.0.0.1 (DIR/server.{pem,key})
#
# Every nginx started here is stopped on every exit path (the exit trap), and every wait is bounded.

readonly FLEET_SKIP=77
FLEET_WORK=""
FLEET_NGINX=()

fleet_enter_netns() {
    if [ -z "${FLEET_IN_NETNS:-}" ]; then
        command -v unshare >/dev/null && command -v ip >/dev/null ||
            { echo "SKIP: unshare or ip is missing" >&2; exit "$FLEET_SKIP"; }
        unshare --net true 2>/dev/null ||
            { echo "SKIP: this machine refuses a network namespace" >&2; exit "$FLEET_SKIP"; }
        FLEET_IN_NETNS=1 exec unshare --net -- bash "$0" "$@"
    fi
    ip link set lo up || { echo "SKIP: cannot bring up lo in the namespace" >&2; exit "$FLEET_SKIP"; }
    # A namespace of our own has nothing but lo; anything else would mean the re-execution went wrong.
    if ip -o link show | grep -qv ': lo:'; then
        echo "FAIL: the network namespace has interfaces besides lo" >&2
        exit 1
    fi
}

fleet_cleanup() {
    local name
    for name in "${FLEET_NGINX[@]}"; do nginx_stop "$name"; done
    if [ -n "$FLEET_WORK" ] && [ -z "${FLEET_KEEP:-}" ]; then rm -rf --one-file-system "$FLEET_WORK"; fi
}

fleet_work_dir() {
    command -v nginx >/dev/null || { echo "SKIP: nginx is not installed" >&2; exit "$FLEET_SKIP"; }
    FLEET_WORK=$(mktemp -d "${TMPDIR:-/tmp}/fleet.XXXXXXXX") || { echo "FAIL: no work directory" >&2; exit 1; }
    trap fleet_cleanup EXIT
    trap 'exit 143' TERM
    trap 'exit 130' INT
    [ -z "${FLEET_KEEP:-}" ] || echo "fleet: work directory $FLEET_WORK is kept" >&2
}

# Waits up to $1 tenths of a second for the command in the remaining arguments to succeed.
fleet_wait() {
    local limit=$1 i
    shift
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

fleet_port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# fleet_site FILE KEY=VALUE...: FILE with each KEY (a literal string, such as a path or "listen 80;")
# replaced by its VALUE, on stdout. A key FILE does not hold is an error: the examples and the scripts that
# test them must not drift apart unnoticed.
fleet_site() {
    local file=$1 text pair key
    shift
    text=$(<"$file") || return 1
    for pair in "$@"; do
        key=${pair%%=*}
        [[ "$text" == *"$key"* ]] || { echo "FAIL: $file does not hold '$key'" >&2; return 1; }
        text=${text//"$key"/"${pair#*=}"}
    done
    printf '%s\n' "$text"
}

# nginx_start NAME PORT SITE [WORKERS]: nginx with the server configuration in file SITE (http context, as
# in /etc/nginx/conf.d), its prefix, logs and temporary files in $FLEET_WORK/nginx-NAME. Access log:
# $FLEET_WORK/nginx-NAME/access.log, one line per request with the status and cache status.
nginx_start() {
    local name=$1 port=$2 site=$3 workers=${4:-1} prefix=$FLEET_WORK/nginx-$1 user=""
    mkdir -p "$prefix/tmp" || return 1
    cp "$site" "$prefix/site.conf" || return 1
    # Running as root, the workers stay root so that WebDAV can write reports into the test's folders.
    [ "$(id -u)" = 0 ] && user="user root;"
    cat >"$prefix/nginx.conf" <<EOF
$user
worker_processes $workers;
events { worker_connections 4096; }
http {
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    log_format fleet '\$status \$request_method \$request_uri \$body_bytes_sent cache=\$upstream_cache_status range=\$http_range';
    access_log $prefix/access.log fleet;
    client_body_temp_path $prefix/tmp/body;
    proxy_temp_path $prefix/tmp/proxy;
    fastcgi_temp_path $prefix/tmp/fastcgi;
    uwsgi_temp_path $prefix/tmp/uwsgi;
    scgi_temp_path $prefix/tmp/scgi;
    include $prefix/site.conf;
}
EOF
    nginx -p "$prefix" -c "$prefix/nginx.conf" -t -g "pid $prefix/nginx.pid; error_log $prefix/error.log;" \
        >"$prefix/check.out" 2>&1 || { echo "FAIL: nginx $name refuses its configuration:" >&2; cat "$prefix/check.out" >&2; return 1; }
    FLEET_NGINX+=("$name")
    nginx -p "$prefix" -c "$prefix/nginx.conf" -g "daemon off; pid $prefix/nginx.pid; error_log $prefix/error.log;" \
        </dev/null >"$prefix/stdout" 2>&1 &
    if ! fleet_wait 100 fleet_port_open "$port" || [ ! -s "$prefix/nginx.pid" ]; then
        echo "FAIL: nginx $name does not answer on port $port:" >&2
        cat "$prefix/error.log" "$prefix/stdout" >&2 2>/dev/null
        return 1
    fi
}

nginx_stop() {
    local prefix=$FLEET_WORK/nginx-$1 pid
    [ -s "$prefix/nginx.pid" ] || return 0
    read -r pid <"$prefix/nginx.pid" || return 0
    [[ "$pid" =~ ^[0-9]+$ ]] || return 0
    kill -QUIT "$pid" 2>/dev/null || { rm -f "$prefix/nginx.pid"; return 0; }
    fleet_wait 50 eval "! kill -0 $pid 2>/dev/null" || kill -KILL "$pid" 2>/dev/null
    rm -f "$prefix/nginx.pid"
}

# A certificate authority and a server certificate for 127.0.0.1 signed by it, both made here and now.
fleet_make_tls() {
    local dir=$1
    mkdir -p "$dir" || return 1
    {
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=fleet test CA" \
            -keyout "$dir/ca.key" -out "$dir/ca.pem" &&
            openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=127.0.0.1" \
                -keyout "$dir/server.key" -out "$dir/server.csr" &&
            printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
                >"$dir/server.ext" &&
            openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
                -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem"
    } >"$dir/openssl.out" 2>&1 || { echo "FAIL: cannot make certificates:" >&2; cat "$dir/openssl.out" >&2; return 1; }
}

# The public key pin of a certificate, as libcurl's CURLOPT_PINNEDPUBLICKEY takes it: sha256//BASE64.
fleet_pin() {
    printf 'sha256//%s' "$(openssl x509 -in "$1" -pubkey -noout | openssl pkey -pubin -outform der |
        openssl dgst -sha256 -binary | base64)"
}
