#!/usr/bin/env bash
# End to end over HTTP: a release published by make_release and served by
# nginx on loopback is fetched and applied by the updater in console mode;
# then the same installation against a dead server must report failure.
# Usage: e2e_http.sh UPDATE MAKE_RELEASE NGINX_LIB. Exits 77 (skipped) when a
# program has not been built or nginx is missing.
set -u

UPDATER=${1:-} MAKE_RELEASE=${2:-} NGINX_LIB=${3:-}
# The Windows build runs its programs through the emulator (Wine): they print
# CR LF line ends, and the client is a batch file.
EMU=${UPDATER_EMULATOR:-}
CLIENT=client.sh
[ -n "$EMU" ] && CLIENT=client.bat
for program in "$UPDATER" "$MAKE_RELEASE"; do
    [ -x "$program" ] || { echo "SKIP: program not built: ${program:-<none>}"; exit 77; }
done
# shellcheck source=../../scripts/lib/nginx.sh
. "$NGINX_LIB" || { echo "FAIL: cannot load $NGINX_LIB"; exit 1; }
nginx_available || { echo "SKIP: $NGINX_BIN not installed (apt-get install nginx-light)"; exit 77; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e_http.XXXXXX") || exit 1
trap 'nginx_stop; rm -rf "$WORK"' EXIT

fail() {
    echo "FAIL: $*"
    for f in "$WORK"/*/console.out "$WORK"/*/log/update.log "$WORK"/nginx/*.log; do
        [ -f "$f" ] && { echo "----- $f"; tail -n 60 "$f"; }
    done
    exit 1
}

content_is() { [ "$(cat "$1" 2>/dev/null)" = "$2" ]; }

# install_old DIR URL: installs version 1.0, which updates over HTTP only,
# from URL.
install_old() {
    local dir=$1
    mkdir -p "$dir/data" "$dir/update"
    cp "$UPDATER" "$dir/update.exe"
    echo "old a" > "$dir/data/a.txt"
    echo "same b" > "$dir/b.txt"
    if [ -n "$EMU" ]; then
        printf '@echo off\r\necho started>>"%%~dp0client_started.txt"\r\n' > "$dir/client.bat"
    else
        printf '#!/bin/sh\necho started >> "%s/client_started.txt"\n' "$dir" > "$dir/client.sh"
        chmod +x "$dir/client.sh" "$dir/update.exe"
    fi
    printf '[Version]\nFolder=R1\nVersion=1.0\n' > "$dir/update/update.ini"
    printf '[Update]\nURL=%s\nHostExe=%s\nUpdateExe=update_old\nUpdateHelperExe=update_helper\n' "$2" "$CLIENT" \
        > "$dir/system.cfg"
    printf 'HttpEnable=true\n[General]\nVersion=1.0\n[Paths]\nBackup=backup/\nTemp=temp/\nLog=log/\n' \
        >> "$dir/system.cfg"
    # The manifest that a release of version 1.0 would have left.
    (cd "$dir" && for f in data/a.txt b.txt $CLIENT; do
        printf '%s\t/%s\r\n' "$(md5sum "$f" | cut -d' ' -f1)" "$f"
    done) > "$dir/md5.txt"
}

# install_and_update DIR URL: install_old, then the updater in console mode.
install_and_update() {
    install_old "$1" "$2"
    (cd "$1" && timeout 60 $EMU ./update.exe console > console.out 2>&1) || fail "updater in $1 exited with $?"
    sed -i 's/\r$//' "$1/console.out"
}

RELEASE=$WORK/release
mkdir -p "$RELEASE/data" "$RELEASE/new dir"
echo "new a" > "$RELEASE/data/a.txt"
echo "same b" > "$RELEASE/b.txt"
echo "brand new" > "$RELEASE/new dir/c 数据.txt"
$EMU "$MAKE_RELEASE" --source "$RELEASE" --version 2.0 --folder R2 --output "$WORK/www" > "$WORK/make_release.out" 2>&1 \
    || { cat "$WORK/make_release.out"; fail "make_release failed"; }
nginx_start "$WORK/www" "$WORK/nginx" || fail "nginx did not start"

# ---- 1. a good run: changed and new files in place, the server's version
# file and manifest installed, temporary and backup gone, client started.
GOOD=$WORK/good
install_and_update "$GOOD" "$NGINX_URL"
grep -qxF '{"errormsg":"","success":true,"update":true}' "$GOOD/console.out" \
    || fail "unexpected result line: $(grep -F '"success"' "$GOOD/console.out")"
for _ in $(seq 75); do [ -f "$GOOD/client_started.txt" ] && break; sleep 0.2; done
[ -f "$GOOD/client_started.txt" ] || fail "client was not started after the update"
content_is "$GOOD/data/a.txt" "new a" || fail "data/a.txt was not replaced"
content_is "$GOOD/b.txt" "same b" || fail "b.txt changed"
content_is "$GOOD/new dir/c 数据.txt" "brand new" || fail "the new file is missing"
cmp -s "$GOOD/update/update.ini" "$WORK/www/update.ini" || fail "update/update.ini is not the server's"
cmp -s "$GOOD/md5.txt" "$WORK/www/R2/md5.txt" || fail "md5.txt is not the server's"
for d in temp backup; do [ ! -e "$GOOD/$d" ] || fail "$d directory left behind"; done
grep -q 'R2//new%20dir/c%20' "$WORK/nginx/access.log" || fail "the new file was not fetched from R2//"
! grep -q 'R2//b.txt' "$WORK/nginx/access.log" || fail "an unchanged file was fetched"
echo "PASS: the release was fetched over HTTP, applied and the client started"

# ---- 3. killed mid-download: the next run for the same release keeps the
# files already stored and continues the cut one from where it stopped;
# once the stamp names another release, everything comes anew. (Not under
# the emulator: a kill of its launcher need not reach the program.)
if [ -z "$EMU" ]; then
    BIG=$((16 * 1024 * 1024))
    head -c "$BIG" /dev/urandom > "$RELEASE/big.bin"
    "$MAKE_RELEASE" --source "$RELEASE" --version 3.0 --folder R3 --output "$WORK/www" > "$WORK/make_release.out" 2>&1 \
        || { cat "$WORK/make_release.out"; fail "make_release of R3 failed"; }
    nginx_stop
    NGINX_LIMIT_RATE=4m nginx_start "$WORK/www" "$WORK/nginx" || fail "nginx did not start again"
    CUT=$WORK/cut
    # kill_midway: starts the updater in $CUT and kills it once big.bin is cut
    # at 6 MiB or more; KEPT: the size seen last before the kill.
    kill_midway() {
        (cd "$CUT" && exec ./update.exe console > console.out 2>&1) &
        local pid=$! size=0
        for _ in $(seq 150); do
            size=$(stat -c %s "$CUT/temp/big.bin" 2>/dev/null || echo 0)
            [ "$size" -ge $((6 * 1024 * 1024)) ] && break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
        sleep 0.5 # nginx logs the cut transfer before the rerun's lines are counted
        [ "$size" -ge $((6 * 1024 * 1024)) ] && [ "$size" -lt "$BIG" ] || fail "big.bin did not get halfway ($size bytes)"
        KEPT=$size
        [ -f "$CUT/temp/.updater-release" ] || fail "the cut run left no release stamp"
    }
    # rerun: the next run, to completion; SENT: the bytes nginx sent of big.bin in it.
    rerun() {
        local before
        before=$(wc -l < "$WORK/nginx/access.log")
        (cd "$CUT" && timeout 60 ./update.exe console > console.out 2>&1) || fail "the run after the kill exited with $?"
        grep -qxF '{"errormsg":"","success":true,"update":true}' "$CUT/console.out" || fail "the run after the kill failed"
        cmp -s "$CUT/big.bin" "$RELEASE/big.bin" || fail "big.bin is not the release's"
        SENT=$(tail -n +"$((before + 1))" "$WORK/nginx/access.log" | awk '/R3\/\/big.bin/ { n += $10 } END { print n + 0 }')
    }
    install_old "$CUT" "$NGINX_URL"
    kill_midway
    # A stamp of another release: nothing of what is there may be used.
    printf 'release 00\n' > "$CUT/temp/.updater-release"
    rerun
    [ "$SENT" -eq "$BIG" ] || fail "after a release change big.bin was not fetched whole ($SENT bytes)"
    ! grep -q '继续下载上次中断的文件' "$CUT/log/update.log" || fail "a file of another release was continued"
    echo "PASS: a release change empties what a killed run left"

    rm -rf "$CUT"
    install_old "$CUT" "$NGINX_URL"
    kill_midway
    rerun
    [ "$SENT" -le $((BIG - KEPT)) ] || fail "the rerun fetched $SENT bytes of big.bin, $KEPT were kept"
    grep -q '继续下载上次中断的文件' "$CUT/log/update.log" || fail "big.bin was not continued"
    grep -q ' 206 ' "$WORK/nginx/access.log" || fail "no range was served"
    for d in temp backup; do [ ! -e "$CUT/$d" ] || fail "$d directory left behind"; done
    echo "PASS: killed mid-download, the rerun fetched $SENT of $BIG bytes of big.bin"
fi

# ---- 2. an unreachable server: the port nginx just held and gave up.
nginx_stop
BAD=$WORK/bad
install_and_update "$BAD" "$NGINX_URL"
grep -q '"errormsg":"[^"].*"success":false,"update":false' "$BAD/console.out" \
    || fail "no failure with a text reported: $(cat "$BAD/console.out")"
content_is "$BAD/data/a.txt" "old a" || fail "the installation changed"
sleep 2
[ ! -e "$BAD/client_started.txt" ] || fail "client was started after a failed check"
echo "PASS: an unreachable server is reported as a failure"
