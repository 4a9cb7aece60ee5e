#!/usr/bin/env bash
# Runs every benchmark scenario and prints one table, each figure beside its baseline
# from the same run, with the ratio; the JSON goes beside it (gavo-bench.json). With
# scenario 4 it then counts the system calls of one client's small-file cycle (strace).
#   bash scripts/bench.sh                         # the full run, a few minutes
#   bash scripts/bench.sh --reps 5 --bulk-mib 64  # options go to gavo_bench (--help)
# Installs what it needs: the build packages (scripts/deps.sh), nginx for the HTTP peer
# and libcurl4-openssl-dev for the harness's HTTP client. See docs/performance.md.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
extra=()
for p in nginx libcurl4-openssl-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || extra+=("$p")
done
if [ ${#extra[@]} -gt 0 ]; then
  echo "Installing: ${extra[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${extra[@]}" >/dev/null
fi
dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVO_BUILD_TESTS=OFF \
  -DGAVO_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target gavo_bench gavo-server
"$dir/bench/gavo_bench" "$@"
# Scenario 4's goal of at most 11 system calls per small-file cycle with one client,
# counted under strace (scripts/syscalls-per-cycle.sh) after the timed runs.
only=1,2,3,4,5,6
for ((i = 1; i <= $#; i++)); do
  if [ "${!i}" = --only ] && [ $i -lt $# ]; then j=$((i + 1)); only=${!j}; fi
done
case ",$only," in *,4,*) ;; *) exit 0 ;; esac
if ! command -v strace >/dev/null; then
  echo "4  system calls per cycle, 1 client: not counted (strace is not installed)"
  exit 0
fi
bash scripts/syscalls-per-cycle.sh "$dir" 1 | awk '
  { sub(/:$/, "", $1) }
  $2 ~ /^[0-9.]+$/ {
    printf "4  system calls per small-file cycle, 1 client, %s server: %s (goal <= 11: %s)\n",
      $1, $2, ($2 <= 11 ? "met" : "short")
    next
  }
  { print "4  system calls per small-file cycle, 1 client, " $0 }'
