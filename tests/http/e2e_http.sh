#!/usr/bin/env bash
# End to end over HTTP: a release published by make_release and served by
# nginx on loopback is fetched and applied by the updater in console mode.
#
#  1. A good run: the result line reports an update, the changed and new
#     files are in place, update/update.ini and md5.txt are the server's,
#     the temporary and backup directories are gone and the client starts.
#  2. An unreachable server: the result line reports failure with a text.
#
# Usage: e2e_http.sh UPDATE MAKE_RELEASE NGINX_LIB
# Exits 77 (skipped) when a program has not been built or nginx is missing.
set -u

UPDATER=${1:-}
MAKE_RELEASE=${2:-}
NGINX_LIB=${3:-}
for program in "$UPDATER" "$MAKE_RELEASE"; do
    if [ -z "$program" ] || [ ! -x "$program" ]; then
        echo "SKIP: program not built: ${program:-<none>}"
        exit 77
    fi
done
# shellcheck source=../../scripts/lib/nginx.sh
. "$NGINX_LIB" || { echo "FAIL: cannot load $NGINX_LIB"; exit 1; }
if ! nginx_available; then
    echo "SKIP: $NGINX_BIN not installed (apt-get install nginx-light)"
    exit 77
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e_http.XXXXXX") || exit 1
cleanup() {
    nginx_stop
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for f in "$WORK"/*/console.out "$WORK"/*/log/update.log "$WORK/nginx/error.log" "$WORK/nginx/access.log"; do
        [ -f "$f" ] || continue
        echo "----- $f"
        tail -n 60 "$f"
    done
    exit 1
}

# wait_for SECONDS COMMAND...: true as soon as COMMAND succeeds.
wait_for() {
    local limit=$1
    shift
    local end=$((SECONDS + limit))
    until "$@"; do
        [ "$SECONDS" -ge "$end" ] && return 1
        sleep 0.2
    done
}

content_is() {
    [ "$(cat "$1" 2>/dev/null)" = "$2" ]
}

# make_install DIR URL: an installation of version 1.0 that updates over HTTP
# from URL (no TCP service configured).
make_install() {
    local dir=$1 url=$2
    mkdir -p "$dir/data" "$dir/update"
    cp "$UPDATER" "$dir/update.exe"
    chmod +x "$dir/update.exe"
    echo "old a" > "$dir/data/a.txt"
    echo "same b" > "$dir/b.txt"
    cat > "$dir/client.sh" <<EOF
#!/bin/sh
echo started >> '$dir/client_started.txt'
EOF
    chmod +x "$dir/client.sh"
    printf '[Version]\nFolder=R1\nVersion=1.0\n' > "$dir/update/update.ini"
    cat > "$dir/system.cfg" <<EOF
[Update]
URL=$url
HostExe=client.sh
UpdateExe=update_old
UpdateHelperExe=update_helper
HttpEnable=true
[General]
Version=1.0
[Paths]
Backup=backup/
Temp=temp/
Log=log/
EOF
    # The installation's manifest, as a release of version 1.0 would have left it.
    (cd "$dir" && for f in data/a.txt b.txt client.sh; do
        printf '%s\t/%s\r\n' "$(md5sum "$f" | cut -d' ' -f1)" "$f"
    done) > "$dir/md5.txt"
}

# run_updater DIR: console mode, bounded in time.
run_updater() {
    local dir=$1
    (cd "$dir" && timeout 60 ./update.exe console > console.out 2>&1)
    local rc=$?
    [ "$rc" -eq 0 ] || fail "updater in $dir exited with $rc"
}

# ---- the release, published and served ------------------------------------
RELEASE=$WORK/release
mkdir -p "$RELEASE/data" "$RELEASE/new dir"
echo "new a" > "$RELEASE/data/a.txt"
echo "same b" > "$RELEASE/b.txt"
echo "brand new" > "$RELEASE/new dir/c 数据.txt"
"$MAKE_RELEASE" --source "$RELEASE" --version 2.0 --folder R2 --output "$WORK/www" > "$WORK/make_release.out" 2>&1 \
    || { cat "$WORK/make_release.out"; fail "make_release failed"; }
nginx_start "$WORK/www" "$WORK/nginx" || fail "nginx did not start"

# ---- 1. a good run ---------------------------------------------------------
GOOD=$WORK/good
make_install "$GOOD" "$NGINX_URL"
run_updater "$GOOD"
grep -qxF '{"errormsg":"","success":true,"update":true}' "$GOOD/console.out" \
    || fail "unexpected result line: $(grep -F '"success"' "$GOOD/console.out")"
wait_for 15 test -f "$GOOD/client_started.txt" || fail "client was not started after the update"
content_is "$GOOD/data/a.txt" "new a" || fail "data/a.txt was not replaced"
content_is "$GOOD/b.txt" "same b" || fail "b.txt changed"
content_is "$GOOD/new dir/c 数据.txt" "brand new" || fail "the new file is missing"
cmp -s "$GOOD/update/update.ini" "$WORK/www/update.ini" || fail "update/update.ini is not the server's"
cmp -s "$GOOD/md5.txt" "$WORK/www/R2/md5.txt" || fail "md5.txt is not the server's"
[ ! -e "$GOOD/temp" ] || fail "temporary area was left behind"
[ ! -e "$GOOD/backup" ] || fail "backup was left behind"
grep -q 'R2//new%20dir/c%20' "$WORK/nginx/access.log" || fail "the new file was not fetched from R2//"
if grep -q 'R2//b.txt' "$WORK/nginx/access.log"; then
    fail "an unchanged file was fetched"
fi
echo "PASS: the release was fetched over HTTP, applied and the client started"

# ---- 2. an unreachable server ----------------------------------------------
# A port that nginx just held and gave up: nothing listens there now.
DEAD_URL=$NGINX_URL
nginx_stop
BAD=$WORK/bad
make_install "$BAD" "$DEAD_URL"
run_updater "$BAD"
grep -q '"success":false' "$BAD/console.out" || fail "no failure reported: $(cat "$BAD/console.out")"
grep -q '"errormsg":"[^"]' "$BAD/console.out" || fail "failure without an error text"
grep -q '"update":false' "$BAD/console.out" || fail "an update was reported"
content_is "$BAD/data/a.txt" "old a" || fail "the installation changed"
sleep 2
[ ! -e "$BAD/client_started.txt" ] || fail "client was started after a failed check"
echo "PASS: an unreachable server is reported as a failure"
exit 0
