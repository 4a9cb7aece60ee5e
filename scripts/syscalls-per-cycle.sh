#!/usr/bin/env bash
# Counts the server's system calls per small-file cycle (open with create, write 1 KiB,
# close), with one client unless told: runs scenario 4 of the benchmark against
# gavo-server under `strace -f`, then, for each server the run started (--no-sync, root
# in RAM, and sync), divides its calls by the cycles (its file creations), leaving out
# the first and last few cycles (start-up and end).
#   bash scripts/syscalls-per-cycle.sh              # build-bench/, as scripts/bench.sh makes it
#   bash scripts/syscalls-per-cycle.sh build-bench 8  # 8 clients at once
# Needs strace. The figure is for the docs; strace slows the server, so the cycle times
# of this run mean nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-bench}
clients=${2:-1}
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
if [ ! -x "$dir/server/gavo-server" ] || [ ! -x "$dir/bench/gavo_bench" ]; then
  echo "build $dir first: see scripts/bench.sh" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
server=$(realpath "$dir/server/gavo-server")
# The benchmark stops its server with SIGTERM, which strace would not pass on: the
# wrapper passes it to the server, and strace ends with it.
cat >"$work/server.sh" <<EOF
#!/usr/bin/env bash
strace -f -o "$work/trace.\$\$" "$server" "\$@" &
tracer=\$!
trap 'pkill -TERM -P \$tracer' TERM INT
wait \$tracer || wait \$tracer
EOF
chmod +x "$work/server.sh"
"$dir/bench/gavo_bench" --only 4 --conns "$clients" --reps 1 --seconds 1 --server "$work/server.sh" \
  --json "$work/bench.json" >/dev/null 2>&1 || true
for trace in "$work"/trace.*; do
  mode=$(head -1 "$trace" | grep -q -- '--no-sync' && echo "--no-sync" || echo "sync")
  # Every thread counts: with syncing, fsyncs move a request to a thread of its own.
  awk -v mode="$mode" '
    {
      call = $2; sub(/\(.*/, "", call)
      if (call == "<..." || call == "+++" || call == "---") next  # resumed, exit, signal
      calls[++n] = call
      if (call == "openat2" && /O_CREAT/) opens[++k] = n
    }
    END {
      if (k < 20) { printf "%s: too few cycles (%d)\n", mode, k; exit }
      first = opens[5]; last = opens[k - 4]; cycles = k - 9
      for (i = first; i < last; i++) per[calls[i]]++
      total = 0; line = ""
      for (c in per) { total += per[c]; line = line sprintf(" %s %.2f", c, per[c] / cycles) }
      printf "%s: %.2f system calls per cycle over %d cycles:%s\n", mode, total / cycles, cycles, line
    }' "$trace"
done
