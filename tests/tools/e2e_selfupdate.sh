#!/usr/bin/env bash
# End to end over TCP: a release carrying a new update.exe is applied, and the
# self-update helper replaces the updater and calls it back in its helper role.
# 1. success: new updater installed, other files replaced, client started;
# 2. the downloaded update.exe vanishes before the helper runs: the old updater
#    stays, the other files are rolled back, the client is not started;
# 3. Temp=../updtemp (beside the installation): the same success as 1.
# Usage: e2e_selfupdate.sh UPDATE UPDATE_SERVICE UPDATE_HELPER (77: not built)
set -u

UPDATER=${1:-} SERVICE=${2:-} HELPER=${3:-}
# The Windows build runs its programs through the emulator (Wine): they print
# CR LF line ends, programs need the .exe suffix and scripts are batch files.
EMU=${UPDATER_EMULATOR:-}
EXE= CLIENT=client.sh WRAPPER=helper_wrapper.sh
[ -n "$EMU" ] && { EXE=.exe; CLIENT=client.bat; WRAPPER=helper_wrapper.bat; }
for program in "$UPDATER" "$SERVICE" "$HELPER"; do
    [ -n "$program" ] && [ -x "$program" ] || { echo "SKIP: program not built: ${program:-<none>}"; exit 77; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e_selfupdate.XXXXXX") || exit 1
SERVICE_PID=
cleanup() {
    [ -n "$SERVICE_PID" ] && { kill "$SERVICE_PID"; wait "$SERVICE_PID"; } 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for f in "$WORK/service.out" "$WORK/service.err" "$WORK"/*/console.out \
        "$WORK"/*/log/update.log "$WORK"/*/log/update_helper.log; do
        [ -f "$f" ] && { echo "----- $f"; tail -n 60 "$f"; }
    done
    exit 1
}

md5() { md5sum "$1" | cut -d' ' -f1; }
content_is() { [ "$(cat "$1" 2>/dev/null)" = "$2" ]; }

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

# The release: this build's updater with bytes appended (it still runs, and
# its checksum tells it apart), plus two changed files.
RELEASE=$WORK/release
mkdir -p "$RELEASE/sub"
cp "$UPDATER" "$RELEASE/update.exe"
printf '\nself-update test release 2.0\n' >> "$RELEASE/update.exe"
echo "version 2" > "$RELEASE/data.txt"
echo "library 2" > "$RELEASE/sub/lib.txt"
NEW_MD5=$(md5 "$RELEASE/update.exe")
OLD_MD5=$(md5 "$UPDATER")

$EMU "$SERVICE" --release "$RELEASE" --version 2.0 --host 127.0.0.1 --port 0 \
    > "$WORK/service.out" 2> "$WORK/service.err" &
SERVICE_PID=$!
wait_for 15 grep -q '^listening ' "$WORK/service.out" || fail "update_service did not report its port"
PORT=$(tr -d '\r' < "$WORK/service.out" | sed -n 's/^listening .*:\([0-9][0-9]*\).*$/\1/p' | head -n 1)
[ -n "$PORT" ] || fail "no port in the service's first line"

# make_install DIR HELPER_NAME: version 1.0 with UpdateHelperExe=HELPER_NAME.
make_install() {
    local dir=$1 helper_name=$2
    mkdir -p "$dir/sub" "$dir/update"
    cp "$UPDATER" "$dir/update.exe"
    cp "$HELPER" "$dir/update_helper$EXE"
    chmod +x "$dir/update.exe" "$dir/update_helper$EXE"
    echo "version 1" > "$dir/data.txt"
    echo "library 1" > "$dir/sub/lib.txt"
    if [ -n "$EMU" ]; then
        printf '@echo off\r\necho started>>"%%~dp0client_started.txt"\r\n' > "$dir/client.bat"
    else
        printf '#!/bin/sh\necho started >> "%s"\n' "$dir/client_started.txt" > "$dir/client.sh"
        chmod +x "$dir/client.sh"
    fi
    cat > "$dir/system.cfg" <<EOF
[Update]
HostExe=$CLIENT
UpdateExe=update_old.exe
UpdateHelperExe=$helper_name
HttpEnable=false
[Server]
UpdateServer=127.0.0.1
UpdatePort=$PORT
[General]
Version=1.0
[Paths]
Backup=backup/
Temp=temp/
Log=log/
[Project]
Type=1
EOF
}

run_updater() {
    (cd "$1" && timeout 60 $EMU ./update.exe console > console.out 2>&1) || fail "updater in $1 exited with $?"
}

# ---- 1. the helper replaces the updater ---------------------------------
GOOD=$WORK/good
make_install "$GOOD" "update_helper$EXE"
run_updater "$GOOD"
wait_for 30 test -f "$GOOD/client_started.txt" || fail "client was not started after the self-update"
[ "$(md5 "$GOOD/update.exe")" = "$NEW_MD5" ] || fail "installed update.exe is not the release's"
[ -n "$EMU" ] || [ -x "$GOOD/update.exe" ] || fail "installed update.exe is not executable"
content_is "$GOOD/data.txt" "version 2" || fail "data.txt was not replaced"
content_is "$GOOD/sub/lib.txt" "library 2" || fail "sub/lib.txt was not replaced"
for leftover in temp backup UpdateTmp/update_old.exe update.exe.new; do
    [ ! -e "$GOOD/$leftover" ] || fail "$leftover was left behind"
done
grep -q 'updatehelper HelperSuccess' "$GOOD/log/update_helper.log" || fail "helper log lacks the success call"
echo "PASS: self-update replaced the updater and started the client"

# ---- 2. the helper fails: old updater kept, other files rolled back -----
BAD=$WORK/bad
make_install "$BAD" "$WRAPPER"
# Takes the downloaded updater away just before the real helper runs.
if [ -n "$EMU" ]; then
    printf '@echo off\r\necho %%~1 %%~2>"%%~dp0helper_args.txt"\r\ndel "%%~dp0temp\\update.exe"\r\n"%%~dp0update_helper.exe" %%*\r\n' \
        > "$BAD/helper_wrapper.bat"
else
    cat > "$BAD/helper_wrapper.sh" <<EOF
#!/bin/sh
echo "\$@" > '$BAD/helper_args.txt'
rm -f '$BAD/temp/update.exe'
exec '$BAD/update_helper' "\$@"
EOF
    chmod +x "$BAD/helper_wrapper.sh"
fi
run_updater "$BAD"
wait_for 30 test -f "$BAD/helper_args.txt" || fail "helper was not started"
rolled_back() { [ ! -e "$BAD/backup" ] && [ ! -e "$BAD/temp" ]; }
wait_for 30 rolled_back || fail "the helper role did not roll back"
[ "$(tr -d '\r' < "$BAD/helper_args.txt")" = "update.exe update.exe" ] || fail "helper got: $(cat "$BAD/helper_args.txt")"
[ "$(md5 "$BAD/update.exe")" = "$OLD_MD5" ] || fail "old update.exe is not in place"
[ -n "$EMU" ] || [ -x "$BAD/update.exe" ] || fail "old update.exe lost its execute bits"
content_is "$BAD/data.txt" "version 1" || fail "data.txt was not rolled back"
content_is "$BAD/sub/lib.txt" "library 1" || fail "sub/lib.txt was not rolled back"
[ ! -e "$BAD/UpdateTmp/update_old.exe" ] || fail "old updater was left aside"
grep -q 'updatehelper HelperFaile' "$BAD/log/update_helper.log" || fail "helper log lacks the failure call"
# The client would start about a second after a success; make sure it does not.
sleep 3
[ ! -e "$BAD/client_started.txt" ] || fail "client was started after a failed self-update"
echo "PASS: failed self-update kept the old updater and rolled back"

# ---- 3. a temporary area beside the installation --------------------------
# The updater and the helper accept the same directories; the helper takes
# them from the apply's journal.
OUT=$WORK/outside/app
mkdir -p "$OUT"
make_install "$OUT" "update_helper$EXE"
sed -i 's|^Temp=temp/$|Temp=../updtemp/|' "$OUT/system.cfg"
run_updater "$OUT"
wait_for 30 test -f "$OUT/client_started.txt" || fail "client was not started (temporary area outside)"
[ "$(md5 "$OUT/update.exe")" = "$NEW_MD5" ] || fail "update.exe not replaced with the temporary area outside"
content_is "$OUT/data.txt" "version 2" || fail "data.txt was not replaced (temporary area outside)"
[ ! -e "$WORK/outside/updtemp" ] || fail "the temporary area beside the installation was left behind"
echo "PASS: self-update with the temporary area beside the installation"
exit 0
