#!/usr/bin/env bash
# Signed releases end to end, as an attacker on the path would try them: a
# release published and signed by make_release is tampered with in one way
# per row and offered to an installation that trusts the publisher's key,
# over HTTP (nginx) and over TCP (update_service). In every row the
# installation stays byte-identical and the client is not started. Then the
# good paths: a signed release over TCP, a key rotation over HTTP, and
# HTTPS with a private CA (refused without that CA).
#
# Usage: e2e_signed.sh UPDATE MAKE_RELEASE UPDATE_SERVICE NGINX_LIB
# Exits 77 (skipped) when nginx or the openssl program is missing.
set -u

UPDATER=$1 MAKE_RELEASE=$2 SERVICE=$3 NGINX_LIB=$4
EMU=${UPDATER_EMULATOR:-}
CLIENT=client.sh
[ -n "$EMU" ] && CLIENT=client.bat
# shellcheck source=../../scripts/lib/nginx.sh
. "$NGINX_LIB" || { echo "FAIL: cannot load $NGINX_LIB"; exit 1; }
nginx_available || { echo "SKIP: $NGINX_BIN not installed"; exit 77; }
command -v openssl > /dev/null || { echo "SKIP: the openssl program is not installed"; exit 77; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/e2e_signed.XXXXXX") || exit 1
SERVICE_PID=
stop_service() {
    [ -n "$SERVICE_PID" ] || return 0
    kill "$SERVICE_PID" 2>/dev/null
    wait "$SERVICE_PID" 2>/dev/null
    SERVICE_PID=
}
trap 'stop_service; nginx_stop; rm -rf "$WORK"' EXIT

LAST=
fail() {
    echo "FAIL: $*"
    for f in "$LAST/console.out" "$LAST/log/update.log" "$WORK/service.out"; do
        [ -f "$f" ] && { echo "----- $f"; tail -n 40 "$f"; }
    done
    exit 1
}

run() { "$@" > "$WORK/cmd.out" 2>&1 || { cat "$WORK/cmd.out"; fail "$* failed"; }; }
publish() { run $EMU "$MAKE_RELEASE" "$@"; }
keygen() { $EMU "$MAKE_RELEASE" --keygen "$1" | tr -d '\r'; }
snapshot() { (cd "$1" && find . \( -path ./log -o -path ./temp -o -path ./backup -o -name console.out \) -prune -o -type f -print0 \
                 | sort -z | xargs -0 md5sum); }
md5_of() { printf '%s' "$1" | md5sum | cut -d' ' -f1; }

start_service() {
    stop_service
    # The background start may truncate the file only after the wait below
    # has read the last service's port from it.
    rm -f "$WORK/service.out"
    $EMU "$SERVICE" --release "$1" --port 0 > "$WORK/service.out" 2>&1 &
    SERVICE_PID=$!
    local end=$((SECONDS + 15))
    until grep -qs '^listening ' "$WORK/service.out"; do
        [ "$SECONDS" -ge "$end" ] && fail "update_service did not start on $1"
        sleep 0.2
    done
    PORT=$(tr -d '\r' < "$WORK/service.out" | sed -n 's/^listening .*:\([0-9]*\)$/\1/p' | head -n 1)
}

# system_cfg KEY TRANSPORT ADDRESS [EXTRA]: the installation's configuration;
# ADDRESS is a base URL (http) or a port (tcp).
system_cfg() {
    printf '[Update]\nHostExe=%s\nUpdateExe=update_old\nPublicKey=%s\n%s\n' "$CLIENT" "$1" "${4:-}"
    if [ "$2" = http ]; then
        printf 'URL=%s\nHttpEnable=true\n' "$3"
    else
        printf 'HttpEnable=false\n[Server]\nUpdateServer=127.0.0.1\nUpdatePort=%s\n' "$3"
    fi
    printf '[General]\nVersion=1.0\n[Paths]\nBackup=backup/\nTemp=temp/\nLog=log/\n'
}

# install DIR: version 1.0, which has installed a release of sequence 5.
install() {
    local dir=$1
    rm -rf "$dir"
    mkdir -p "$dir/data" "$dir/update"
    cp "$UPDATER" "$dir/update.exe"
    echo "old a" > "$dir/data/a.txt"
    echo "same b" > "$dir/b.txt"
    echo "sequence=5" > "$dir/release.sequence"
    if [ -n "$EMU" ]; then
        printf '@echo off\r\necho started>>"%%~dp0client_started.txt"\r\n' > "$dir/client.bat"
    else
        printf '#!/bin/sh\necho started >> "%s/client_started.txt"\n' "$dir" > "$dir/client.sh"
        chmod +x "$dir/client.sh"
    fi
    printf '[Version]\nFolder=R1\nVersion=1.0\n' > "$dir/update/update.ini"
    (cd "$dir" && for f in data/a.txt b.txt $CLIENT; do
        printf '%s\t/%s\r\n' "$(md5sum "$f" | cut -d' ' -f1)" "$f"
    done) > "$dir/md5.txt"
}

# update DIR: one console run, bounded in time. The TCP probe allows the
# service 500 ms; on a loaded machine a start that misses it is run again.
update() {
    LAST=$1
    local attempt
    for attempt in 1 2 3; do
        (cd "$1" && QT_QPA_PLATFORM=offscreen timeout 90 $EMU ./update.exe console > console.out 2>&1)
        sed -i 's/\r$//' "$1/console.out"
        grep -qF '"errormsg":"TCP升级服务连接失败"' "$1/console.out" || return 0
        echo "note: the probe missed the service in $1 (attempt $attempt)"
    done
}

# resign_expired TREE KEY: the release's description, signed anew by KEY,
# with an expiry in the past.
resign_expired() {
    local file=$1/R2/release.sig.json
    sed -n 's/.*"payload": *"\([^"]*\)".*/\1/p' "$file" | base64 -d \
        | sed 's/"expires": "[^"]*"/"expires": "2020-01-01T00:00:00Z"/' > "$WORK/payload.json"
    openssl pkeyutl -sign -inkey "$2" -rawin -in "$WORK/payload.json" -out "$WORK/sig.bin" || fail "openssl cannot sign"
    printf '{"format":1,"payload":"%s","signatures":[{"key":"","signature":"%s"}]}\n' \
        "$(base64 -w0 "$WORK/payload.json")" "$(base64 -w0 "$WORK/sig.bin")" > "$file"
}

# set_manifest_line TREE PATH CONTENT: md5.txt describes PATH with CONTENT
# (an empty CONTENT drops the line); update.ini's counts follow.
set_manifest_line() {
    local manifest=$1/R2/md5.txt
    grep -vF "	/$2"$'\r' "$manifest" > "$WORK/md5.new"
    [ -n "$3" ] && printf '%s\t/%s\r\n' "$(md5_of "$3")" "$2" >> "$WORK/md5.new"
    mv "$WORK/md5.new" "$manifest"
    # Only the digits change: a CR LF file (written on Windows) keeps its line ends.
    sed -i -e "s/^ManifestSize=[0-9]*/ManifestSize=$(stat -c %s "$manifest")/" \
        -e "s/^ManifestFiles=[0-9]*/ManifestFiles=$(wc -l < "$manifest")/" "$1/update.ini"
}

# ---- keys and releases -------------------------------------------------------
KEY_A=$(keygen "$WORK/a.key") && KEY_B=$(keygen "$WORK/b.key") && KEY_C=$(keygen "$WORK/c.key") \
    || fail "make_release --keygen failed"
[ "$(stat -c %a "$WORK/a.key")" = 600 ] || [ -n "$EMU" ] || fail "the private key is readable by others"
SRC=$WORK/src
mkdir -p "$SRC/data"
echo "new a" > "$SRC/data/a.txt"
echo "same b" > "$SRC/b.txt"
head -c 300000 /dev/urandom > "$SRC/data/big.bin"
PUB=$WORK/pub
publish --source "$SRC" --version 2.0 --folder R2 --output "$PUB/good" --sign "$WORK/a.key" --sequence 6
publish --source "$SRC" --version 2.0 --folder R2 --output "$PUB/other_key" --sign "$WORK/b.key" --sequence 6
publish --source "$SRC" --version 1.9 --folder R2 --output "$PUB/replay" --sign "$WORK/a.key" --sequence 3
for row in swap_both swap_file expired extra missing longer version; do
    cp -a "$PUB/good" "$PUB/$row"
done
echo "evil a" > "$PUB/swap_both/R2/data/a.txt"
set_manifest_line "$PUB/swap_both" data/a.txt "evil a"
echo "bad a" > "$PUB/swap_file/R2/data/a.txt"
resign_expired "$PUB/expired" "$WORK/a.key"
echo "extra" > "$PUB/extra/R2/extra.dll"
set_manifest_line "$PUB/extra" extra.dll "extra"
# A changed file: one left out that is installed as signed would be accepted.
rm "$PUB/missing/R2/data/a.txt"
set_manifest_line "$PUB/missing" data/a.txt ""
head -c 4000000 /dev/urandom >> "$PUB/longer/R2/data/big.bin"
sed -i 's/^Version=2\.0/Version=2.1/' "$PUB/version/update.ini"

# Row: tree, then what the log must say (an extended regular expression).
ROWS=(
    "swap_both|清单与签名不符|文件校验失败"
    "swap_file|文件校验失败"
    "other_key|更新包签名无效"
    "replay|更新包比已安装的版本旧"
    "expired|更新包签名已过期"
    "extra|与签名不符"
    "missing|与签名不符"
    "longer|超过大小上限|大小 [0-9]+ 字节与签名不符"
    "version|与签名不符"
)
refused() {
    local dir=$1 pattern=$2 what=$3 before
    before=$(snapshot "$dir")
    update "$dir"
    grep -q '"success":true,"update":false' "$dir/console.out" && fail "$what: reported as nothing to update"
    grep -qE "$pattern" "$dir/log/update.log" || fail "$what: the log does not say /$pattern/"
    [ "$(snapshot "$dir")" = "$before" ] || { diff <(echo "$before") <(snapshot "$dir"); fail "$what: the installation changed"; }
    [ ! -e "$dir/client_started.txt" ] || fail "$what: the client was started"
}

nginx_start "$PUB" "$WORK/nginx" || fail "nginx did not start"
for row in "${ROWS[@]}"; do
    tree=${row%%|*} pattern=${row#*|}
    install "$WORK/http_$tree"
    system_cfg "$KEY_A" http "$NGINX_URL$tree/" > "$WORK/http_$tree/system.cfg"
    refused "$WORK/http_$tree" "$pattern" "HTTP $tree"
    [ -n "$EMU" ] && [ -z "${E2E_SIGNED_ALL:-}" ] && continue
    start_service "$PUB/$tree"
    install "$WORK/tcp_$tree"
    system_cfg "$KEY_A" tcp "$PORT" > "$WORK/tcp_$tree/system.cfg"
    refused "$WORK/tcp_$tree" "$pattern" "TCP $tree"
done
stop_service
sleep 1
for dir in "$WORK"/http_* "$WORK"/tcp_*; do
    [ ! -e "$dir/client_started.txt" ] || fail "$dir: the client was started"
done
echo "PASS: every tampered release was refused over HTTP${EMU:+ (TCP rows on Linux)} and TCP, nothing changed"

# installed DIR SEQUENCE VERSION: the update went through.
installed() {
    grep -qxF '{"errormsg":"","success":true,"update":true}' "$1/console.out" \
        || fail "$1: unexpected result $(grep -F '"success"' "$1/console.out")"
    local end=$((SECONDS + 15))
    until [ -f "$1/client_started.txt" ]; do
        [ "$SECONDS" -ge "$end" ] && fail "$1: the client was not started"
        sleep 0.2
    done
    rm -f "$1/client_started.txt"
    [ "$(tr -d '\r' < "$1/data/a.txt")" = "$3" ] || fail "$1: data/a.txt was not replaced"
    grep -qx "sequence=$2" "$1/release.sequence" || fail "$1: the installed sequence is not $2"
    [ ! -e "$1/release.sig.json" ] || fail "$1: the description was installed as a file"
}

# ---- a signed release over TCP ----------------------------------------------
start_service "$PUB/good"
install "$WORK/tcp_ok"
system_cfg "$KEY_A" tcp "$PORT" > "$WORK/tcp_ok/system.cfg"
update "$WORK/tcp_ok"
installed "$WORK/tcp_ok" 6 "new a"
cmp -s "$WORK/tcp_ok/data/big.bin" "$SRC/data/big.bin" || fail "TCP: data/big.bin differs"
stop_service
echo "PASS: a signed release over TCP is installed and its sequence recorded"

# ---- key rotation over HTTP --------------------------------------------------
# Release 2.0, signed with the old key A, carries a system.cfg that trusts
# the new key C and points at release 3.0, signed with both keys, so that a
# client still trusting A alone is not stranded.
ROT=$WORK/rot
install "$ROT"
system_cfg "$KEY_A" http "${NGINX_URL}rot2/" > "$ROT/system.cfg"
mkdir -p "$WORK/src3/data"
cp -a "$SRC/." "$WORK/src2/"
system_cfg "$KEY_C,$KEY_A" http "${NGINX_URL}rot3/" > "$WORK/src2/system.cfg"
echo "newer a" > "$WORK/src3/data/a.txt"
echo "same b" > "$WORK/src3/b.txt"
system_cfg "$KEY_C" http "${NGINX_URL}rot3/" > "$WORK/src3/system.cfg"
publish --source "$WORK/src2" --version 2.0 --folder R2 --output "$PUB/rot2" --sign "$WORK/a.key" --sequence 6
publish --source "$WORK/src3" --version 3.0 --folder R3 --output "$PUB/rot3" --sign "$WORK/c.key" --sign "$WORK/a.key" \
    --sequence 7
update "$ROT"
installed "$ROT" 6 "new a"
grep -q "PublicKey=$KEY_C" "$ROT/system.cfg" || fail "rotation: the new system.cfg was not installed"
update "$ROT"
installed "$ROT" 7 "newer a"
LATE=$WORK/rot_late
install "$LATE"
system_cfg "$KEY_A" http "${NGINX_URL}rot3/" > "$LATE/system.cfg"
update "$LATE"
installed "$LATE" 7 "newer a"
ONLY_C=$WORK/rot_only_c
install "$ONLY_C"
system_cfg "$KEY_C" http "${NGINX_URL}rot2/" > "$ONLY_C/system.cfg"
refused "$ONLY_C" "更新包签名无效" "rotation: a release signed by A for a client trusting C only"
echo "PASS: a key rotation: the old key's release brought the new key, the release signed by both followed"
nginx_stop

# ---- HTTPS with a private CA ------------------------------------------------
TLS=$WORK/tls
mkdir -p "$TLS"
(cd "$TLS" \
    && openssl req -x509 -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -keyout ca.key -out ca.pem \
           -days 2 -subj /CN=updater-test-ca \
    && openssl req -nodes -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -keyout server.key -out server.csr \
           -subj /CN=127.0.0.1 \
    && printf 'subjectAltName=IP:127.0.0.1\n' > san.ext \
    && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 \
           -extfile san.ext) > "$WORK/openssl.out" 2>&1 || { cat "$WORK/openssl.out"; fail "no test certificate"; }
NGINX_TLS_CERT=$TLS/server.pem NGINX_TLS_KEY=$TLS/server.key nginx_start "$PUB" "$WORK/nginx-tls" \
    || fail "nginx did not start with TLS"
case $NGINX_URL in https://*) ;; *) fail "nginx does not serve HTTPS: $NGINX_URL" ;; esac
UNTRUSTED=$WORK/https_untrusted
install "$UNTRUSTED"
system_cfg "$KEY_A" http "${NGINX_URL}good/" > "$UNTRUSTED/system.cfg"
refused "$UNTRUSTED" "SSL|TLS|certificate|证书" "HTTPS without the CA"
HTTPS=$WORK/https_ok
install "$HTTPS"
cp "$TLS/ca.pem" "$HTTPS/ca.pem"
system_cfg "$KEY_A" http "${NGINX_URL}good/" "CaCertificates=ca.pem" > "$HTTPS/system.cfg"
update "$HTTPS"
installed "$HTTPS" 6 "new a"
echo "PASS: HTTPS: refused with an unknown CA, installed with the configured one"
exit 0
