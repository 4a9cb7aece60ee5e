#!/usr/bin/env bash
# The SIGKILL loop run long: writers store records and files on gavo-server while it is
# killed at random moments and restarted on the same port, root and state; at the end
# every acknowledged record and file is looked for (tests/server_kill_loop_test.cpp).
#
#   bash scripts/kill-loop.sh [kills] [store...]
#
# kills: number of SIGKILLs per store (default 300). Stores: sqlite, no-sync (SQLite with
# --no-sync), postgres (a throw-away PostgreSQL cluster; skipped when the server programs
# are not installed). Default: all three. Set GAVO_KILL_SEED to repeat a run's random
# draws (where each kill falls still depends on the scheduling). Builds in build/; prints the figures of each store and fails when any
# acknowledged record or file was lost, duplicated or misdirected.
set -euo pipefail

kills=${1:-300}
shift || true
stores=("$@")
[ ${#stores[@]} -gt 0 ] || stores=(sqlite no-sync postgres)

root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j2 --target server_kill_loop_test gavo-server >/dev/null

status=0
for store in "${stores[@]}"; do
    case "$store" in
      sqlite) env=(GAVO_KILL_NO_SYNC=0) ;;
      no-sync) env=(GAVO_KILL_NO_SYNC=1) ;;
      postgres)
        if ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
            echo "postgres: PostgreSQL server programs not installed; skipped"
            continue
        fi
        env=(GAVO_KILL_STORE=postgres) ;;
      *) echo "unknown store '$store' (sqlite, no-sync, postgres)" >&2; exit 2 ;;
    esac
    log=$root/build/kill-loop-$store.log
    start=$(date +%s)
    if ! env "${env[@]}" GAVO_KILLS="$kills" "$root/build/tests/server_kill_loop_test" \
        >"$log" 2>&1; then
        status=1
        echo "$store: FAILED (log: $log)"
    fi
    grep "^kill loop:" "$log" || true
    echo "kill loop: $(( $(date +%s) - start )) s"
done
exit $status
