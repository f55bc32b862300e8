#!/usr/bin/env bash
# End to end over TCP: update_service serves a release on loopback and the
# updater fetches and applies it.
#
#  1. An update in console mode: changed, new and nested files, and two files
#     with the same name in different folders, arrive; the result line reports
#     the update; the temporary and backup directories are removed; the client
#     starts; the exit code is 0. A file installed as the release has it is
#     not fetched.
#  2. A release the client already has: console mode reports "update":false
#     and starts nothing; window mode starts the client and shows no window.
#
# Usage: e2e_tcp.sh UPDATE UPDATE_SERVICE
set -u

UPDATER=$1
SERVICE=$2
# The Windows build runs its programs through the emulator (Wine): they print
# CR LF line ends, and the client is a batch file.
EMU=${UPDATER_EMULATOR:-}
CLIENT=client.sh
[ -n "$EMU" ] && CLIENT=client.bat
WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e_tcp.XXXXXX") || exit 1
SERVICE_PID=
cleanup() {
    if [ -n "$SERVICE_PID" ]; then
        kill "$SERVICE_PID" 2>/dev/null
        wait "$SERVICE_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for f in "$WORK"/*/console.out "$WORK"/*/log/update.log "$WORK/service.out"; do
        [ -f "$f" ] || continue
        echo "----- $f"
        tail -n 60 "$f"
    done
    exit 1
}

wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$end" ] && return 1
        sleep 0.2
    done
}

content_is() {
    [ "$(cat "$1" 2>/dev/null)" = "$2" ]
}

# make_install DIR VERSION: an installation whose system.cfg points at the service.
make_install() {
    local dir=$1 version=$2
    mkdir -p "$dir/data" "$dir/plugins"
    cp "$UPDATER" "$dir/update.exe"
    echo "old a" > "$dir/data/a.txt"
    echo "same b" > "$dir/b.txt"
    echo "old x plugin" > "$dir/plugins/x.dll"
    if [ -n "$EMU" ]; then
        printf '@echo off\r\necho started>>"%%~dp0client_started.txt"\r\n' > "$dir/client.bat"
    else
        cat > "$dir/client.sh" <<EOS
#!/bin/sh
echo started >> '$dir/client_started.txt'
EOS
        chmod +x "$dir/client.sh"
    fi
    cat > "$dir/system.cfg" <<EOS
[Update]
HostExe=$CLIENT
UpdateExe=update_old
HttpEnable=false
[Server]
UpdateServer=127.0.0.1
UpdatePort=$PORT
[General]
Version=$version
[Paths]
Backup=backup/
Temp=temp/
Log=log/
EOS
}

# run_updater DIR [ARGS...]: bounded in time; the exit code must be 0.
run_updater() {
    local dir=$1
    shift
    (cd "$dir" && QT_QPA_PLATFORM=offscreen timeout 60 $EMU ./update.exe "$@" > console.out 2>&1)
    local rc=$?
    sed -i 's/\r$//' "$dir/console.out"
    [ "$rc" -eq 0 ] || fail "updater in $dir exited with $rc"
}

# ---- the release and the service ------------------------------------------
RELEASE=$WORK/release
mkdir -p "$RELEASE/data" "$RELEASE/plugins/extra/deep" "$RELEASE/other"
echo "new a" > "$RELEASE/data/a.txt"
echo "same b" > "$RELEASE/b.txt"
echo "new x plugin" > "$RELEASE/plugins/x.dll"
echo "deep new" > "$RELEASE/plugins/extra/deep/y.dll"
echo "same name, plugins" > "$RELEASE/plugins/readme.txt"
echo "same name, other" > "$RELEASE/other/readme.txt"
head -c 300000 /dev/urandom > "$RELEASE/data/big.bin"
$EMU "$SERVICE" --release "$RELEASE" --version 2.0 --port 0 --chunk-size 4096 > "$WORK/service.out" 2>&1 &
SERVICE_PID=$!
wait_for 10 grep -q '^listening ' "$WORK/service.out" || fail "update_service did not start"
PORT=$(tr -d '\r' < "$WORK/service.out" | sed -n 's/^listening .*:\([0-9]*\)$/\1/p' | head -n 1)

# ---- 1. an update in console mode -------------------------------------------
GOOD=$WORK/good
make_install "$GOOD" 1.0
# The caller reads the result through a pipe, and the restart script lives in
# a temporary directory whose name cmd.exe would split: the script must start
# the client without sharing the pipe ("Starting in 1 second..." stays off it).
TMP_ODD="$WORK/R&D (tmp)"
mkdir -p "$TMP_ODD"
WIN_TMP=Z:${TMP_ODD//\//\\}
(cd "$GOOD" && TMPDIR=$TMP_ODD WINETMP=$WIN_TMP WINETEMP=$WIN_TMP timeout 60 \
    bash -c '"$@" console 2>&1 | cat > console.out; exit "${PIPESTATUS[0]}"' _ $EMU ./update.exe) \
    || fail "updater in $GOOD exited with $?"
sed -i 's/\r$//' "$GOOD/console.out"
grep -qxF '{"errormsg":"","success":true,"update":true}' "$GOOD/console.out" \
    || fail "unexpected result line: $(grep -F '"success"' "$GOOD/console.out")"
wait_for 15 test -f "$GOOD/client_started.txt" || fail "client was not started after the update"
content_is "$GOOD/data/a.txt" "new a" || fail "data/a.txt was not replaced"
content_is "$GOOD/plugins/x.dll" "new x plugin" || fail "plugins/x.dll was not replaced"
content_is "$GOOD/plugins/extra/deep/y.dll" "deep new" || fail "the nested new file is missing"
content_is "$GOOD/plugins/readme.txt" "same name, plugins" || fail "plugins/readme.txt is wrong"
content_is "$GOOD/other/readme.txt" "same name, other" || fail "other/readme.txt is wrong"
! grep -q 'Starting in 1 second' "$GOOD/console.out" || fail "the restart script wrote into the caller's pipe"
cmp -s "$GOOD/data/big.bin" "$RELEASE/data/big.bin" || fail "data/big.bin differs from the release"
[ -n "$EMU" ] || [ -x "$GOOD/client.sh" ] || fail "the replaced client lost its execute permission"
[ ! -e "$GOOD/temp" ] || fail "temporary area was left behind"
[ ! -e "$GOOD/backup" ] || fail "backup was left behind"
tr -d '\r' < "$WORK/service.out" | grep -qF 'download request data/a.txt' || fail "data/a.txt was not requested"
! tr -d '\r' < "$WORK/service.out" | grep -qF 'download request /b.txt ' || fail "the unchanged b.txt was fetched"
echo "PASS: the release was fetched over TCP, applied and the client started"

# ---- 2. a release the client already has ------------------------------------
SAME=$WORK/same
make_install "$SAME" 2.0
run_updater "$SAME" console
grep -qxF '{"errormsg":"","success":true,"update":false}' "$SAME/console.out" \
    || fail "unexpected result line: $(grep -F '"success"' "$SAME/console.out")"
content_is "$SAME/data/a.txt" "old a" || fail "the installation changed"
sleep 2
[ ! -e "$SAME/client_started.txt" ] || fail "console mode started the client"
run_updater "$SAME"
wait_for 15 test -f "$SAME/client_started.txt" || fail "window mode did not start the client"
if grep -q 'a.exec()' "$SAME/log/update.log"; then
    fail "window mode showed a window with nothing to update"
fi
echo "PASS: with nothing to update the client is started in window mode only"
exit 0
