#!/usr/bin/env bash
# Runs every benchmark scenario and prints one table, each figure beside its baseline
# from the same run, with the ratio; the JSON goes beside it (gavo-bench.json).
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
exec "$dir/bench/gavo_bench" "$@"
