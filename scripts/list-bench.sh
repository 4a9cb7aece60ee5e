#!/usr/bin/env bash
# Times `gavo ls` of one large folder against one or more file servers, alternating them
# run by run, and prints each server's median time and the growth of its peak resident
# memory during the listing, beside the first server's. See docs/performance.md.
#   bash scripts/list-bench.sh --names 100000 --runs 3      # this tree's server
#   bash scripts/list-bench.sh --runs 5 SERVER-BEFORE SERVER-AFTER  # two builds compared
# Builds this tree's server and tool in build-bench/ when no server is given or the tool
# is missing there.
set -euo pipefail
cd "$(dirname "$0")/.."
names=100000
runs=3
servers=()
while [ $# -gt 0 ]; do
  case "$1" in
    --names) names=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) servers+=("$1"); shift ;;
  esac
done
tool=build-bench/tools/gavo
if [ ${#servers[@]} -eq 0 ] || [ ! -x "$tool" ]; then
  bash scripts/deps.sh
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVO_BUILD_TESTS=OFF \
    -DGAVO_BUILD_BENCH=ON >/dev/null
  cmake --build build-bench -j "$(nproc)" --target gavo gavo-server >/dev/null
fi
[ ${#servers[@]} -gt 0 ] || servers=(build-bench/server/gavo-server)

work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The folder: `names` empty files, each name 32 bytes.
mkdir -p "$work/root/big" "$work/logs"
(cd "$work/root/big" && seq -f 'listed-name-%020.0f' 1 "$names" | xargs touch)

peak_kib() { sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }

# One run against server $1: appends seconds and the peak memory's growth in KiB to the
# lines of that server in $work/results.
run_once() {
  rm -rf "$work/state"
  "$1" --listen 127.0.0.1:0 --root "$work/root" --state "$work/state" 2> "$work/server.log" &
  server_pid=$!
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' "$work/server.log" | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$work/server.log" >&2; echo "the server did not start" >&2; exit 1; }
  printf '[Config]\nCTRL_MODE=2\nHOST_NAME=127.0.0.1\nHOST_PORT=%s\n' "$port" > "$work/gavo.ini"
  local idle start end count
  idle=$(peak_kib "$server_pid")
  start=$(date +%s.%N)
  count=$("$tool" --ini "$work/gavo.ini" --log-dir "$work/logs" ls big | wc -l)
  end=$(date +%s.%N)
  [ "$count" -eq "$names" ] || { echo "listed $count names, not $names" >&2; exit 1; }
  echo "$1 $(awk "BEGIN {print $end - $start}") $(( $(peak_kib "$server_pid") - idle ))" \
    >> "$work/results"
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=""
}

for _ in $(seq "$runs"); do
  for s in "${servers[@]}"; do run_once "$s"; done
done
# The median of column $2 of server $1's lines.
median() { awk -v s="$1" '$1 == s {print $'"$2"'}' "$work/results" | sort -g |
  awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
base=""
printf '%-60s %10s %8s %10s\n' "server ($names names, $runs runs)" "median s" "ratio" "peak +KiB"
for s in "${servers[@]}"; do
  t=$(median "$s" 2)
  [ -n "$base" ] || base=$t
  printf '%-60s %10.3f %7.3fx %10s\n' "$s" "$t" "$(awk "BEGIN {print $t / $base}")" \
    "$(median "$s" 3)"
done
