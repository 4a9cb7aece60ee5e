#!/usr/bin/env python3
"""Where a client and a server spend the wall time of a transfer: which of them runs on
each core, who waits runnable while a core idles, and how long both run at once. Reads
the text of `perf sched timehist` (one line per switch: time, CPU, task, wait, runnable
wait, run time, in ms).

    perf sched record -a -o sched.data -- COMMAND
    perf sched timehist -i sched.data > sched.txt
    python3 scripts/sched-overlap.py sched.txt CLIENT SERVER [FROM TO]

CLIENT and SERVER are regular expressions on the task column, e.g. 'gavo\\[4753\\]' and
'gavo-server\\[[0-9]+/3871\\]' (every thread of process 3871). The window is FROM to TO
(seconds as printed by perf), by default the client's first to last switch.
"""
import bisect
import collections
import re
import sys

STEP = 1e-5  # the timeline is sampled every 10 us


def main(path, client, server, t0=None, t1=None):
    client, server = re.compile(client), re.compile(server)
    spans = collections.defaultdict(list)  # cpu -> (start, end, who)
    waits = []  # (cpu, runnable from, running from)
    seen = []
    for line in open(path):
        f = line.split()
        if len(f) != 6 or not re.match(r"^\d+\.\d+$", f[0]):
            continue
        end, cpu, task = float(f[0]), int(f[1].strip("[]")), f[2]
        _, delay, run = (float(x) / 1000 for x in f[3:6])
        who = "idle" if task == "<idle>" else "other"
        if client.search(task):
            who = "client"
            seen.append(end)
        elif server.search(task):
            who = "server"
        spans[cpu].append((end - run, end, who))
        if who in ("client", "server"):
            waits.append((cpu, end - run - delay, end - run))
    if not seen:
        sys.exit("the client never ran")
    t0 = seen[0] if t0 is None else t0
    t1 = seen[-1] if t1 is None else t1
    cpus = sorted(spans)
    index = {c: (sorted(spans[c]), sorted(s[0] for s in spans[c])) for c in cpus}

    def doing(cpu, t):
        lst, starts = index[cpu]
        i = bisect.bisect_right(starts, t) - 1
        return lst[i][2] if i >= 0 and lst[i][0] <= t < lst[i][1] else "other"

    states = collections.Counter()
    t = t0
    while t < t1:
        states[" + ".join(sorted(doing(c, t) for c in cpus))] += STEP
        t += STEP
    # Runnable client or server while another core idles (each core's idle time once).
    idle = {c: sorted(s[:2] for s in spans[c] if s[2] == "idle") for c in cpus}
    idle_starts = {c: [x for x, _ in idle[c]] for c in cpus}
    idle_other = 0.0
    for cpu, a, b in waits:
        a, b = max(a, t0), min(b, t1)
        for other in (c for c in cpus if c != cpu):
            i = max(0, bisect.bisect_right(idle_starts[other], a) - 1)
            for x, y in idle[other][i:]:
                if x >= b:
                    break
                idle_other += max(0.0, min(b, y) - max(a, x))
    print(f"window {(t1 - t0) * 1e3:.1f} ms")
    for what, s in states.most_common():
        print(f"  {what:24s} {s * 1e3:7.1f} ms  {s / (t1 - t0):4.0%}")
    print(f"runnable while another core idled: {idle_other * 1e3:.1f} ms")


if __name__ == "__main__":
    if len(sys.argv) not in (4, 6):
        sys.exit(__doc__)
    bounds = [float(x) for x in sys.argv[4:6]]
    main(*sys.argv[1:4], *bounds)
