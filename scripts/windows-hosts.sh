#!/usr/bin/env bash
# Windows hosts under Wine against the real Linux gavo-server on loopback (called by
# scripts/windows.sh, which builds both and starts the Wine prefix):
#   scripts/windows-hosts.sh LINUX_BUILD WINDOWS_BUILD mingw32|mingw64
# 1. examples/quickstart.cpp as a Windows program: files and records stored and read back.
# 2. examples/c_host.c as a Windows program, through the plain C interface: working mode 1
#    and working mode 2 against the server.
# 3. tests/windows/restart_host.cpp as a Windows program and as a Linux one, each through a
#    server restart (reconnection) and a server that stays away (fall-back to local
#    files): what they print must be the same, and so must their error logs once the
#    documented differences are set aside (dates, the server's port, CR LF line ends,
#    socket error numbers: Winsock's on Windows, errno on Linux).
set -euo pipefail
cd "$(dirname "$0")/.."
linux=$1 windows=$2 target=$3
case "$target" in
  mingw32) wine=wine ;;
  *) wine=/usr/lib/wine/wine64 ;;
esac
work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || { kill -TERM "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; }
  if [ -n "${KEEP_WORK:-}" ]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

printf 'events = line\n' > "$work/tables.conf"
# Starts the server on $port (0: a free one, then kept for restarts).
port=0
start_server() {
  : > "$work/server.log"
  "$linux/server/gavo-server" --listen "127.0.0.1:$port" --root "$work/root" \
    --state "$work/state" --tables "$work/tables.conf" 2>> "$work/server.log" &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q ' port [0-9]* ' "$work/server.log" && break
    sleep 0.1
  done
  port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n 1)
  [ -n "$port" ] || { cat "$work/server.log"; fail "the server did not start"; }
}
stop_server() {
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
}
# A host folder: the program, the DLLs it needs, and a gavo.ini for the server.
make_host() {
  local name=$1 program=$2
  mkdir -p "$work/$name"
  cp "$program" "$work/$name/"
  if [[ $program == *.exe ]]; then
    cp "$windows"/*.dll "$work/$name/"
    printf '[Config]\r\nCTRL_MODE=2\r\nHOST_NAME=127.0.0.1\r\nHOST_PORT=%s\r\n' "$port" \
      > "$work/$name/gavo.ini"
  else
    cp -P "$linux"/libGAVO_Client.so* "$work/$name/"
    printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" \
      > "$work/$name/gavo.ini"
  fi
}
records() {
  sqlite3 "$work/state/tables.db" \
    "SELECT CAST(record AS TEXT) FROM gavo_records WHERE table_name = 'events' ORDER BY seq;"
}

echo "-- the example host (quickstart.exe) under Wine, working mode 2"
start_server
make_host quickstart "$windows/gavo_example.exe"
# A Windows program's standard output is a text stream: its lines end in CR LF.
(cd "$work/quickstart" && $wine ./gavo_example.exe) | tr -d '\r' > "$work/quickstart.out"
cat "$work/quickstart.out"
grep -q '^Read back 23 bytes: hello from GAVO_Client$' "$work/quickstart.out" || fail "read back"
[ "$(grep -c '^Record written: ' "$work/quickstart.out")" = 3 ] || fail "records written"
[ "$(cat "$work/root/quickstart/kept/hello.txt")" = "hello from GAVO_Client" ] || fail "stored file"
[ "$(records | tr '\n' '|')" = "host started|stored hello.txt|host stopping|" ] || fail "records"
grep -q $'NFile_Init:\xb4\xf2\xbf\xaa\xb4\xe6\xb5\xb5\xc1\xac\xbd\xd3,0,\xb3\xc9\xb9\xa6\r$' \
  "$work/quickstart/gavo_nfile_err.log" || fail "the archive channel's start-up line (CR LF)"
stop_server

# Runs restart_host in folder $1 with runner $2 (empty for a Linux program) through a
# restart and a stop of the server.
run_restart_host() {
  local folder=$work/$1 runner=$2 program
  program=$(ls "$folder" | grep '^restart_host')
  start_server
  (cd "$folder" && LD_LIBRARY_PATH="$folder" $runner "./$program" 2>&1 | tr -d '\r' > "$folder/out.txt") &
  local host=$!
  wait_for() {
    for _ in $(seq 600); do [ -e "$folder/$1" ] && return 0; sleep 0.1; done
    fail "$1 never came from $program"
  }
  wait_for ready1
  stop_server
  start_server
  touch "$folder/go1"
  wait_for ready2
  stop_server
  touch "$folder/go2"
  wait "$host" || fail "$program exited with $?"
  echo "   $program done ($SECONDS s)"
}
# An error log with the documented differences set aside.
normalised_log() {
  tr -d '\r' < "$1" |
    sed -E 's/[0-9]{4}-[0-9]{1,2}-[0-9]{1,2} [0-9]{1,2}:[0-9]{1,2}:[0-9]{1,2},/DATE,/;
            s/(HOST_PORT,0,)[0-9]+/\1PORT/; s/SocketError[0-9]+/SocketError(N)/'
}

echo "-- the C host (c_host.exe) under Wine, working modes 1 and 2"
start_server
make_host c_host "$windows/c_host.exe"
printf '[Config]\r\nCTRL_MODE=1\r\nBASE_DIR=files\r\n' > "$work/c_host/local.ini"
(cd "$work/c_host" && $wine ./c_host.exe local.ini 1 && $wine ./c_host.exe gavo.ini 2) |
  tr -d '\r' || fail "c_host.exe"
stop_server

echo "-- restart_host on Linux, then restart_host.exe under Wine"
g++ -std=c++17 -Iinclude tests/windows/restart_host.cpp -o "$work/restart_host" \
  -L"$linux" -lGAVO_Client -Wl,-rpath,'$ORIGIN'
make_host linux-host "$work/restart_host"
run_restart_host linux-host ""
make_host wine-host "$windows/restart_host.exe"
run_restart_host wine-host "$wine"
echo "   Linux                                         | Windows under Wine"
paste -d'|' <(cut -c1-47 "$work/linux-host/out.txt") "$work/wine-host/out.txt" |
  awk -F'|' '{ printf "   %-47s| %s\n", $1, $2 }'
diff "$work/linux-host/out.txt" "$work/wine-host/out.txt" || fail "the hosts printed differently"
grep -q '^IsExist reconnected: 1$' "$work/wine-host/out.txt" || fail "no reconnection"
grep -q '^local.txt: open 0 wrote 34, open 0 read 34 ' "$work/wine-host/out.txt" ||
  fail "no fall-back to local files"
grep -q '^NFile_Init without a server: 0$' "$work/wine-host/out.txt" || fail "a start-up without server"
[ -f "$work/wine-host/local.txt" ] || fail "local.txt not beside the host"
diff <(normalised_log "$work/linux-host/gavo_nfile_err.log") \
  <(normalised_log "$work/wine-host/gavo_nfile_err.log") || fail "the error logs differ"
echo "   socket errors: Linux $(grep -o 'SocketError[0-9]*' "$work/linux-host/gavo_nfile_err.log" |
  sort -u | tr '\n' ' ')| Windows $(grep -o 'SocketError[0-9]*' \
  "$work/wine-host/gavo_nfile_err.log" | sort -u | tr '\n' ' ')"
grep -q $'\r$' "$work/wine-host/gavo_nfile_err.log" || fail "the Windows error log has no CR LF"
grep -q $'^SocketError10061\r$' "$work/wine-host/gavo_nfile_err.log" ||
  fail "no SocketError10061 (connection refused) in the Windows error log"
echo "-- the error log of restart_host.exe (as UTF-8):"
iconv -f CP936 -t UTF-8 "$work/wine-host/gavo_nfile_err.log" | tr -d '\r'
echo
if [ -f "$work/wine-host/netf_Log.Log" ]; then
  echo "-- the trace log of restart_host.exe:"
  tr -d '\r' < "$work/wine-host/netf_Log.Log"
fi
echo "Windows hosts passed"
