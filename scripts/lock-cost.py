#!/usr/bin/env python3
"""The cost of the sharing locks per open on a file system: opens and closes of one file
in FOLDER, bare and with the locks a server takes for a read open that shares everything
(two F_OFD_SETLK marks far beyond the data, two F_OFD_GETLK tests of the conflicting
kinds; the close drops the marks).

    python3 scripts/lock-cost.py FOLDER [OPENS]     (default 2000 opens)
"""
import fcntl
import os
import struct
import sys
import time

BASE, SPAN = 1 << 62, 1 << 32  # where the marks lie, and each kind's range
READ, DENY_READ, OPEN, NAME_CHANGE = 0, 2, 4, 5


def flock(kind, start, length):
    return struct.pack("hh4xqqi4x", kind, os.SEEK_SET, start, length, 0)


def cycle(path, locked):
    fd = os.open(path, os.O_RDONLY)
    if locked:
        for mark in (READ, OPEN):
            fcntl.fcntl(fd, fcntl.F_OFD_SETLK, flock(fcntl.F_RDLCK, BASE + mark * SPAN, 1))
        for kind in (DENY_READ, NAME_CHANGE):
            fcntl.fcntl(fd, fcntl.F_OFD_GETLK, flock(fcntl.F_WRLCK, BASE + kind * SPAN, SPAN))
    os.close(fd)


def main():
    folder, opens = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    path = os.path.join(folder, ".gavo-lock-cost")
    with open(path, "wb") as f:
        f.write(b"x")
    try:
        took = {}
        for locked in (False, True, False, True):  # twice each, the second counts
            start = time.perf_counter()
            for _ in range(opens):
                cycle(path, locked)
            took[locked] = (time.perf_counter() - start) / opens * 1e6
        print(f"{folder}: open+close {took[False]:.1f} us, with the locks {took[True]:.1f} us, "
              f"the locks {took[True] - took[False]:.1f} us per open")
    finally:
        os.unlink(path)


main()
