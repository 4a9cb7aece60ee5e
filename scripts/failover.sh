#!/usr/bin/env bash
# The fail-over test run long: gavo-server nodes on one root behind haproxy, writers
# through it, one node after another SIGKILLed, left down until every writer was served
# again, and restarted; at the end every acknowledged record and file is looked for
# (tests/server_failover_test.cpp). Prints the figures: the counts, the time from a kill
# to every host served again, and how soon a killed node's lock is gone.
#
#   bash scripts/failover.sh [kills] [nodes]     (default 40 kills, 3 nodes)
#
# With GAVO_TEST_ROOT_BASE set to mounts of a shared file system ("m1:m2:m3", see
# scripts/cephfs.sh up 3), each node serves the root through its own mount.
set -euo pipefail
kills=${1:-40}
nodes=${2:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j2 --target server_failover_test gavo-server >/dev/null
log=$root/build/failover.log
start=$(date +%s)
status=0
GAVO_KILLS=$kills GAVO_FAILOVER_NODES=$nodes "$root/build/tests/server_failover_test" \
    >"$log" 2>&1 || { status=1; echo "FAILED (log: $log)"; }
grep "^failover:" "$log" || true
echo "failover: $(( $(date +%s) - start )) s"
exit $status
