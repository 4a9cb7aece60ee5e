#!/usr/bin/env bash
# Builds the library, the file server and the example host, then runs the example in working
# mode 1 (files under a local base folder) and in working mode 2 (against a file server on a
# free loopback port with a temporary root), showing the error logs and what landed where.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target gavo_example gavo-server
work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Each host folder holds its own copy of the program, its gavo.ini and its logs.
make_host() {
  mkdir -p "$work/$1"
  cp build/gavo_example "$work/$1/"
  cp -P build/libGAVO_Client.so* "$work/$1/"
}
run_host() {
  local status=0
  LD_LIBRARY_PATH="$work/$1" "$work/$1/gavo_example" || status=$?
  echo "-- error log of this host ($1/gavo_nfile_err.log, shown as UTF-8):"
  iconv -f CP936 -t UTF-8 "$work/$1/gavo_nfile_err.log"
  echo
  return $status
}

echo "== working mode 1: files under $work/local-host/data"
make_host local-host
printf '[Config]\nCTRL_MODE=1\nBASE_DIR=%s/local-host/data\n' "$work" > "$work/local-host/gavo.ini"
run_host local-host

echo
echo "== working mode 2: a file server on a free loopback port, root $work/root"
printf 'events = line\n' > "$work/tables.conf"   # one table of line records
build/server/gavo-server --listen 127.0.0.1:0 --root "$work/root" --state "$work/state" \
  --tables "$work/tables.conf" 2> "$work/server.log" &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/server.log"; echo "the server did not start" >&2; exit 1; }
make_host remote-host
printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" > "$work/remote-host/gavo.ini"
run_host remote-host
echo "-- what landed under the server's root:"
(cd "$work/root" && find . -mindepth 1 | sort && echo "quickstart/kept/hello.txt holds: $(cat quickstart/kept/hello.txt)")
echo "-- the records of table events, from the server's embedded database:"
sqlite3 -header -column "$work/state/tables.db" \
  "SELECT seq, received_utc, client, CAST(record AS TEXT) AS record FROM gavo_records WHERE table_name = 'events' ORDER BY seq;"
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=""
echo "-- server log:"
cat "$work/server.log"
