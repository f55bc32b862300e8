# shellcheck shell=bash
# Serves a directory over HTTP on a free loopback port with nginx, for demos,
# end-to-end tests and benchmarks. Source this file, then:
#
#   nginx_available              true when the nginx binary is installed
#   nginx_start ROOT [STATE_DIR] serve ROOT; sets NGINX_PORT, NGINX_PID,
#                                NGINX_URL ("http://127.0.0.1:PORT/") and
#                                NGINX_STATE (configuration, logs, pid)
#   nginx_stop                   stop the nginx started by nginx_start
#
# With NGINX_TLS_CERT and NGINX_TLS_KEY set (PEM files), it serves HTTPS
# instead and NGINX_URL starts with "https://". NGINX_LIMIT_RATE (e.g. "4m")
# caps each answer's rate, so that a download takes a while.
#
# nginx runs in the foreground of a background job with a configuration of
# its own (-c/-p/-e), so no global configuration, log or pid file is touched.
# Without STATE_DIR a temporary one is made and removed again by nginx_stop.
# Requests go to 127.0.0.1 only.

NGINX_BIN=${NGINX_BIN:-/usr/sbin/nginx}
NGINX_PORT=
NGINX_PID=
NGINX_URL=
NGINX_STATE=
_NGINX_OWN_STATE=

nginx_available() {
    [ -x "$NGINX_BIN" ]
}

# _nginx_answers PORT: true when something accepts connections on the port.
_nginx_answers() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# _nginx_write_config ROOT PORT: writes $NGINX_STATE/nginx.conf.
_nginx_write_config() {
    local root=$1 port=$2 user_line= listen="127.0.0.1:$2" tls_lines= rate_line=
    if [ -n "${NGINX_LIMIT_RATE:-}" ]; then
        rate_line="limit_rate $NGINX_LIMIT_RATE;"
    fi
    if [ -n "${NGINX_TLS_CERT:-}" ]; then
        listen="$listen ssl"
        tls_lines="ssl_certificate $NGINX_TLS_CERT; ssl_certificate_key $NGINX_TLS_KEY;"
    fi
    # As root the workers would drop to "nobody", which cannot read files in a
    # private temporary directory; they keep the caller's identity instead.
    if [ "$(id -u)" -eq 0 ]; then
        user_line="user root;"
    fi
    cat > "$NGINX_STATE/nginx.conf" <<EOF
$user_line
worker_processes 1;
daemon off;
pid $NGINX_STATE/nginx.pid;
error_log $NGINX_STATE/error.log warn;
events {
    worker_connections 64;
}
http {
    access_log $NGINX_STATE/access.log;
    client_body_temp_path $NGINX_STATE/client_body;
    proxy_temp_path $NGINX_STATE/proxy;
    fastcgi_temp_path $NGINX_STATE/fastcgi;
    uwsgi_temp_path $NGINX_STATE/uwsgi;
    scgi_temp_path $NGINX_STATE/scgi;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    server {
        listen $listen;
        $tls_lines
        root $root;
        location / {
            $rate_line
        }
    }
}
EOF
}

nginx_start() {
    local root=$1 state=${2:-}
    if ! nginx_available; then
        echo "nginx_start: $NGINX_BIN is not installed (package nginx-light)" >&2
        return 1
    fi
    if [ ! -d "$root" ]; then
        echo "nginx_start: no such directory: $root" >&2
        return 1
    fi
    root=$(cd "$root" && pwd -P)
    if [ -n "$state" ]; then
        mkdir -p "$state" || return 1
        NGINX_STATE=$(cd "$state" && pwd -P)
        _NGINX_OWN_STATE=
    else
        NGINX_STATE=$(mktemp -d "${TMPDIR:-/tmp}/nginx_state.XXXXXX") || return 1
        _NGINX_OWN_STATE=1
    fi

    # A port that looks free may be taken between the look and the bind, so
    # a start that fails on its address is tried again on another port.
    local attempt port deadline
    for attempt in 1 2 3 4 5 6 7 8 9 10; do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
        _nginx_answers "$port" && continue
        _nginx_write_config "$root" "$port"
        : > "$NGINX_STATE/error.log"
        "$NGINX_BIN" -p "$NGINX_STATE/" -c "$NGINX_STATE/nginx.conf" -e "$NGINX_STATE/error.log" \
            > "$NGINX_STATE/stdout.log" 2>&1 &
        NGINX_PID=$!
        deadline=$((SECONDS + 10))
        while [ "$SECONDS" -lt "$deadline" ]; do
            # An exited child stays a zombie until waited for, so the error
            # log tells a failed start as well.
            if ! kill -0 "$NGINX_PID" 2>/dev/null || grep -q '\[emerg\]' "$NGINX_STATE/error.log"; then
                break
            fi
            if _nginx_answers "$port"; then
                NGINX_PORT=$port
                NGINX_URL="http${NGINX_TLS_CERT:+s}://127.0.0.1:$port/"
                return 0
            fi
            sleep 0.1
        done
        nginx_stop_process
        if ! grep -q "Address already in use" "$NGINX_STATE/error.log" "$NGINX_STATE/stdout.log" 2>/dev/null; then
            echo "nginx_start: nginx did not start (attempt $attempt):" >&2
            cat "$NGINX_STATE/error.log" "$NGINX_STATE/stdout.log" >&2 2>/dev/null
            nginx_stop
            return 1
        fi
    done
    echo "nginx_start: no free port found" >&2
    nginx_stop
    return 1
}

# nginx_stop_process: ends the nginx process started here, if any.
nginx_stop_process() {
    [ -n "$NGINX_PID" ] || return 0
    if kill -0 "$NGINX_PID" 2>/dev/null; then
        # QUIT lets the workers finish their requests; TERM after 5 s.
        kill -QUIT "$NGINX_PID" 2>/dev/null
        local end=$((SECONDS + 5))
        while kill -0 "$NGINX_PID" 2>/dev/null && [ "$SECONDS" -lt "$end" ]; do
            sleep 0.1
        done
        kill -TERM "$NGINX_PID" 2>/dev/null
    fi
    wait "$NGINX_PID" 2>/dev/null
    NGINX_PID=
}

nginx_stop() {
    nginx_stop_process
    if [ -n "$_NGINX_OWN_STATE" ] && [ -n "$NGINX_STATE" ]; then
        rm -rf "$NGINX_STATE"
    fi
    NGINX_PORT=
    NGINX_URL=
    NGINX_STATE=
    _NGINX_OWN_STATE=
}
