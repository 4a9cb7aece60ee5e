#!/usr/bin/env bash
# CI: the operator's command blocks of docs/server.md and docs/security.md (those marked
# "<!-- ci: NAME -->"), run as written, as root as the documents say, each in a scratch
# folder and bounded in time, against the installed Debian packages: a second server by
# hand, the tables read back with gavo-tables-export and sqlite3, the backup script and
# the restore, a small authority, its files installed, the packaged server over TLS with
# the documented configuration lines, and a host with the documented [TLS] section. A
# block that fails, or that leaves a wrong result, fails CI.
#
# Runs as root after .ci/packages.sh has installed the packages; the packaged server must
# not be running. Usage: .ci/doc-blocks.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
conf=/etc/gavo/server.conf
server=""
cleanup() {
    [ -z "$server" ] || kill "$server" 2>/dev/null || true
    [ ! -f "$work/server.conf" ] || cp "$work/server.conf" "$conf"
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "doc-blocks: $*" >&2; exit 1; }
block() { "$src/.ci/readme-block.sh" "$2" "$1"; }

# Runs block NAME of FILE with bash in FOLDER (default: a scratch folder of its own); its
# output goes to $work/NAME.out.
run_block() {
    local file=$1 name=$2 folder=${3:-$work/scratch-$2}
    echo "doc-blocks: $file: $name"
    block "$file" "$name" > "$work/$name.sh"
    mkdir -p "$folder"
    (cd "$folder" && timeout 120 bash -e -o pipefail "$work/$name.sh") \
        > "$work/$name.out" 2>&1 || { cat "$work/$name.out"; fail "$file, block '$name', failed"; }
}

# Starts the packaged server as its unit does (user, command line), with `args` added,
# and waits for its port; sets $server and $port.
start_server() {
    local unit user command
    unit=$(dpkg -L gavo-server | grep '/systemd/system/gavo-server.service$')
    user=$(sed -n 's/^User=//p' "$unit")
    read -r -a command <<< "$(sed -n 's/^ExecStart=//p' "$unit")"
    (cd / && exec setpriv --reuid="$user" --regid="$user" --init-groups -- \
        "${command[@]}" "$@") 2> "$work/server.log" &
    server=$!
    port=""
    for _ in $(seq 100); do
        port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n1)
        [ -n "$port" ] && return 0
        sleep 0.1
    done
    fail "gavo-server did not start: $(cat "$work/server.log")"
}
stop_server() {
    kill -TERM "$server"
    wait "$server" || fail "gavo-server did not stop cleanly: $(cat "$work/server.log")"
    server=""
}

cp "$conf" "$work/server.conf"
export XDG_STATE_HOME="$work/state"

run_block docs/server.md second-server
grep -q '^listening on [0-9]' "$work/second-server.out" || fail "second-server: no port"

# Records in the service's tables store, for the blocks that read them back.
printf 'events = line\nreadings = fixed:4\n' > /etc/gavo/tables.conf
start_server --listen 127.0.0.1:0 --tables /etc/gavo/tables.conf
printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" > "$work/remote.ini"
mark="doc-blocks-$(date +%s%N)"
echo "$mark" | gavo --ini "$work/remote.ini" record events
printf 'abcd' | gavo --ini "$work/remote.ini" record --record-size 4 readings
stop_server

run_block docs/server.md export
grep -q "\"record_base64\":\"$(printf '%s' "$mark" | base64 -w0)\"" "$work/export.out" \
    || fail "export: the record is missing: $(cat "$work/export.out")"
run_block docs/server.md sqlite-queries
grep -q "|$mark\$" "$work/sqlite-queries.out" || fail "sqlite-queries: the record is missing"
grep -qx '[0-9]*|61626364' "$work/sqlite-queries.out" || fail "sqlite-queries: no readings"
run_block docs/server.md backup
for copy in tables.db root.tar.gz; do
    [ -s "/var/backups/gavo/$copy" ] || fail "backup: no $copy"
done
[ ! -e /var/backups/gavo/tables.db.new ] || fail "backup: the temporary copy remains"
# A backup that cannot read the store fails and keeps the last good copy.
mv /var/lib/gavo/tables.db "$work/tables.db.aside"
if (cd "$work" && timeout 60 sh "$work/backup.sh") > /dev/null 2>&1; then
    fail "backup: succeeded without a tables store"
fi
mv "$work/tables.db.aside" /var/lib/gavo/tables.db
cmp -s <(sqlite3 /var/backups/gavo/tables.db .dump) \
    <(runuser -u gavo -- sqlite3 /var/lib/gavo/tables.db .dump) \
    || fail "backup: the failed run changed the last good copy"
run_block docs/server.md restore
[ "$(stat -c %U /var/lib/gavo/tables.db)" = gavo ] || fail "restore: tables.db is not gavo's"
run_block docs/server.md export
grep -q "$(printf '%s' "$mark" | base64 -w0)" "$work/export.out" || fail "restore lost a record"

# TLS as docs/security.md sets it up, host and server on this machine.
grep -q ' files.example.net$' /etc/hosts || echo '127.0.0.1 files.example.net' >> /etc/hosts
run_block docs/security.md certificates
run_block docs/security.md tls-files "$work/scratch-certificates"
(cd "$work/scratch-certificates" && cp host-a.pem host-a.key ca.pem /etc/gavo/)
block docs/security.md tls-access > /etc/gavo/access.conf
block docs/security.md tls-server >> "$conf"
start_server
[ "$port" = 7100 ] || fail "the TLS server listens on $port, not the documented 7100"
block docs/security.md tls-host > "$work/tls.ini"
head -c 100000 /dev/urandom > "$work/payload"
stored="ci/doc-blocks-$(date +%s%N)"
gavo --ini "$work/tls.ini" put "$work/payload" "$stored"
gavo --ini "$work/tls.ini" cat "$stored" | cmp - "$work/payload" || fail "gavo cat over TLS differs"
grep -q 'CN=host-a: opened (TLSv1.3' "$work/server.log" || fail "no TLS line: $(cat "$work/server.log")"
stop_server
cp "$work/server.conf" "$conf"
echo "doc-blocks: ok"
