#!/usr/bin/env bash
# The crash sweep: a real update over TCP is stopped with SIGKILL at each file
# operation of its apply in turn (the test builds' UPDATER_TEST_KILL_AT hook).
# After each kill every file is its old or its new version; the next start,
# with the service stopped, leaves the installation byte-identical to the old
# release (or to the new one when the apply had completed), the journal is
# gone, and no killed run started the client.
# Two releases: ordinary files with the special ones (once more with a file
# held), and a self-update.
# Usage: e2e_crashsweep.sh UPDATE UPDATE_SERVICE UPDATE_HELPER (77: skipped)
set -u

UPDATER=${1:-} SERVICE=${2:-} HELPER=${3:-}
for program in "$UPDATER" "$SERVICE" "$HELPER"; do
    [ -n "$program" ] && [ -x "$program" ] || { echo "SKIP: program not built: ${program:-<none>}"; exit 77; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e_crashsweep.XXXXXX") || exit 1
SERVICE_PID=
stop_service() {
    if [ -n "$SERVICE_PID" ]; then
        kill "$SERVICE_PID" 2>/dev/null
        wait "$SERVICE_PID" 2>/dev/null
        SERVICE_PID=
    fi
}
cleanup() {
    stop_service
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    for f in "$WORK"/run/console.out "$WORK"/run/log/update.log "$WORK"/run/log/update_helper.log; do
        [ -f "$f" ] && { echo "----- $f"; tail -n 40 "$f"; }
    done
    exit 1
}

wait_for() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -ge "$end" ] && return 1
        sleep 0.1
    done
}

# start_service RELEASE [PORT]: the release on loopback; sets PORT.
start_service() {
    rm -f "$WORK/service.out"
    "$SERVICE" --release "$1" --version 2.0 --host 127.0.0.1 --port "${2:-0}" > "$WORK/service.out" 2>&1 &
    SERVICE_PID=$!
    wait_for 15 grep -qs '^listening ' "$WORK/service.out" || fail "update_service did not start"
    PORT=$(sed -n 's/^listening .*:\([0-9][0-9]*\).*$/\1/p' "$WORK/service.out" | head -n 1)
}

# The installed files a test compares: everything but the updater's own
# logs, its console output and the client's trace.
snapshot() {
    (cd "$1" && find . -type f ! -path './log/*' ! -name console.out ! -name client_started.txt \
        -exec md5sum {} + | sort -k2)
}

# make_old DIR: release 1.0 of the installation.
make_old() {
    local dir=$1
    mkdir -p "$dir/sub" "$dir/update"
    cp "$UPDATER" "$dir/update.exe"
    cp "$HELPER" "$dir/update_helper"
    echo "version 1" > "$dir/data.txt"
    echo "library 1" > "$dir/sub/lib.txt"
    echo "unchanged" > "$dir/same.txt"
    printf '[Version]\nVersion=1.0\n' > "$dir/update/update.ini"
    echo "manifest 1" > "$dir/md5.txt"
    printf '#!/bin/sh\necho started >> "$(dirname "$0")/client_started.txt"\n' > "$dir/client.sh"
    chmod +x "$dir/client.sh" "$dir/update.exe" "$dir/update_helper"
    cat > "$dir/system.cfg" <<EOC
[Update]
HostExe=client.sh
UpdateExe=update_old.exe
UpdateHelperExe=update_helper
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
EOC
}

# sweep NAME RELEASE: kills the updater at operation 1, 2, ... until a run
# completes; checks each state as described above.
sweep() {
    local name=$1 release=$2
    start_service "$release"
    local old=$WORK/$name-old new=$WORK/$name-new
    make_old "$old"
    # The expected new state: a clean, uninterrupted run.
    cp -a "$old" "$new"
    (cd "$new" && timeout 60 ./update.exe console > console.out 2>&1) || fail "$name: clean run failed"
    wait_for 30 test -f "$new/client_started.txt" || fail "$name: clean run did not start the client"
    snapshot "$old" > "$WORK/$name-old.sum"
    snapshot "$new" > "$WORK/$name-new.sum"
    cmp -s "$WORK/$name-old.sum" "$WORK/$name-new.sum" && fail "$name: the release changed nothing"

    local k=1 kills=0
    while :; do
        rm -rf "$WORK/run"
        cp -a "$old" "$WORK/run"
        local rc=0
        (cd "$WORK/run" && UPDATER_TEST_KILL_AT=$k timeout 60 ./update.exe console > console.out 2>&1) || rc=$?
        [ "$rc" -eq 137 ] || break
        kills=$((kills + 1))
        # Every file whole: each one is its old or its new version (or absent where one is).
        while read -r file; do
            local now
            now=$(cd "$WORK/run" && md5sum "$file" 2>/dev/null | cut -d' ' -f1)
            [ -z "$now" ] && ! grep -q " $file\$" "$WORK/$name-old.sum" && continue
            [ -z "$now" ] && ! grep -q " $file\$" "$WORK/$name-new.sum" && continue
            # A held file is renamed aside before the new one moves in: for
            # that moment its name is free, and only the recovery puts it back.
            [ -z "$now" ] && [ "$file" = "./${HELD_PATH:-}" ] && continue
            grep -qxF "$now  $file" "$WORK/$name-old.sum" || grep -qxF "$now  $file" "$WORK/$name-new.sum" \
                || fail "$name: kill $k left $file neither old nor new"
        done < <(cut -d' ' -f3 "$WORK/$name-old.sum" "$WORK/$name-new.sum" | sort -u)

        # The next start, with the service stopped, recovers.
        stop_service
        (cd "$WORK/run" && timeout 60 ./update.exe console > console.out 2>&1) || fail "$name: start after kill $k failed"
        snapshot "$WORK/run" > "$WORK/run.sum"
        cmp -s "$WORK/run.sum" "$WORK/$name-old.sum" || cmp -s "$WORK/run.sum" "$WORK/$name-new.sum" \
            || { diff "$WORK/$name-old.sum" "$WORK/run.sum"; fail "$name: after kill $k the installation is a mix"; }
        for leftover in backup temp .update-apply; do
            [ ! -e "$WORK/run/$leftover" ] || fail "$name: after kill $k $leftover was left behind"
        done
        [ ! -e "$WORK/run/client_started.txt" ] || fail "$name: the client was started around kill $k"
        start_service "$release" "$PORT"
        k=$((k + 1))
    done
    [ "$rc" -eq 0 ] || fail "$name: the run after the last kill point ended with $rc"
    [ "$kills" -ge 10 ] || fail "$name: only $kills file operations were found"
    wait_for 30 test -f "$WORK/run/client_started.txt" || fail "$name: the uninterrupted run did not start the client"
    snapshot "$WORK/run" > "$WORK/run.sum"
    cmp -s "$WORK/run.sum" "$WORK/$name-new.sum" || fail "$name: the uninterrupted run differs from the clean one"
    stop_service
    echo "PASS: $name: $kills kills, each recovered to the old or the new release"
}

PORT=0
FILES=$WORK/files
mkdir -p "$FILES/sub/deep" "$FILES/update"
echo "version 2" > "$FILES/data.txt"
echo "library 2" > "$FILES/sub/lib.txt"
echo "added" > "$FILES/new.txt"
echo "nested added" > "$FILES/sub/deep/new.dll"
echo "unchanged" > "$FILES/same.txt"
printf '[Version]\nVersion=2.0\n' > "$FILES/update/update.ini"
echo "manifest 2" > "$FILES/md5.txt"
sweep files "$FILES"

# The same with sub/lib.txt held as a loaded library is on Windows: it can be
# renamed but not replaced, so the old one makes way into the backup.
export UPDATER_TEST_IN_USE=lib.txt
HELD_PATH=sub/lib.txt
sweep held "$FILES"
unset UPDATER_TEST_IN_USE HELD_PATH
grep -q '文件被占用，旧文件已移到一旁:.*sub/lib.txt' "$WORK/held-new/log/update.log" \
    || fail "held: sub/lib.txt was not renamed aside"

SELF=$WORK/self
mkdir -p "$SELF/sub"
cp "$UPDATER" "$SELF/update.exe"
printf '\ncrash sweep release 2.0\n' >> "$SELF/update.exe"
echo "version 2" > "$SELF/data.txt"
echo "library 2" > "$SELF/sub/lib.txt"
echo "added" > "$SELF/new.txt"
sweep self "$SELF"
exit 0
