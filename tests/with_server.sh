#!/bin/sh
# Runs a host against a real file server: starts SERVER on a free loopback port with a
# temporary root and one table ("events = line"), writes an INI file for working mode 2,
# runs COMMAND with each argument @INI@ replaced by that file's path, then stops the server.
# Exits with COMMAND's status, or 1 when the server does not start or stop cleanly.
#
# Usage: tests/with_server.sh SERVER COMMAND [ARG...]
set -eu
server_bin=$1
shift
work=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
printf 'events = line\n' > "$work/tables.conf"
"$server_bin" --listen 127.0.0.1:0 --root "$work/root" --state "$work/state" \
    --tables "$work/tables.conf" 2> "$work/server.log" &
pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log" >&2; echo "with_server: no server" >&2; exit 1; }
ini=$work/gavo.ini
printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" > "$ini"

for arg do
    shift
    [ "$arg" = @INI@ ] && arg=$ini
    set -- "$@" "$arg"
done
status=0
"$@" || status=$?
kill -TERM "$pid"
wait "$pid" || { cat "$work/server.log" >&2; echo "with_server: unclean stop" >&2; exit 1; }
pid=""
exit "$status"
