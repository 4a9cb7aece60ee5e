#!/usr/bin/env python3
"""The cost of the sharing locks per open on a file system: opens and closes of one file
in FOLDER, bare and with the locks a server takes for a read open that shares everything
(one F_OFD_SETLK mark in its kind's region far beyond the data, and the F_OFD_GETLK tests
of the conflicting regions: one over their whole span when nobody else holds the file;
the close drops the mark).

    python3 scripts/lock-cost.py FOLDER [OPENS]     (default 2000 opens)
"""
import fcntl
import os
import struct
import sys
import time

BASE, SPAN = 1 << 62, 1 << 32  # where the regions lie, and each region's length
# Region 0 is the name changes'; the kinds of open (1 read, 2 write, 4 deny read, 8 deny
# write) follow in this order.
ORDER = [15, 14, 12, 13, 11, 10, 2, 6, 4, 5, 7, 3, 1, 9, 8, 0]
READ, DENY_READ = 1, 4


def region(kind):
    return 1 + ORDER.index(kind)


def flock(kind, start, length):
    return struct.pack("hh4xqqi4x", kind, os.SEEK_SET, start, length, 0)


def tested_span():
    """The span from the name-change region to the last region of a kind that denies reading."""
    last = max(region(k) for k in range(16) if k & DENY_READ)
    return BASE, (last + 1) * SPAN


def cycle(path, locked, span):
    fd = os.open(path, os.O_RDONLY)
    if locked:
        fcntl.fcntl(fd, fcntl.F_OFD_SETLK, flock(fcntl.F_RDLCK, BASE + region(READ) * SPAN, 1))
        fcntl.fcntl(fd, fcntl.F_OFD_GETLK, flock(fcntl.F_WRLCK, *span))
    os.close(fd)


def main():
    folder, opens = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    path = os.path.join(folder, ".gavo-lock-cost")
    with open(path, "wb") as f:
        f.write(b"x")
    try:
        took, span = {}, tested_span()
        for locked in (False, True, False, True):  # twice each, the second counts
            start = time.perf_counter()
            for _ in range(opens):
                cycle(path, locked, span)
            took[locked] = (time.perf_counter() - start) / opens * 1e6
        print(f"{folder}: open+close {took[False]:.1f} us, with the locks {took[True]:.1f} us, "
              f"the locks {took[True] - took[False]:.1f} us per open")
    finally:
        os.unlink(path)


main()
