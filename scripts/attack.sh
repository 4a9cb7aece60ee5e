#!/usr/bin/env bash
# Well-behaved hosts' latency, and the server's memory and descriptors, while other
# loopback addresses attack gavo-server: a quiet phase, each attack alone, then all at
# once (about 80 s). See docs/performance.md, "Under attack".
#   bash scripts/attack.sh                        # 8 s phases, 4 well-behaved clients
#   bash scripts/attack.sh --seconds 4 --clients 8
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGAVO_BUILD_TESTS=OFF \
  -DGAVO_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target attack_bench gavo-server
exec "$dir/bench/attack_bench" "$@"
