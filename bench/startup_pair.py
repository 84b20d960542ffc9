#!/usr/bin/python3.11
"""Start-up of two commands side by side: wall time, CPU time and bytes
written, medians over alternated runs.

Usage: startup_pair.py [--runs N] [--warmup N] [--json] -- CMD_A... -- CMD_B...

Runs A and B in turn (A B A B ...), so that whatever else the machine does
falls on both alike, each with standard streams on /dev/null. For each run
it takes the wall time from spawn to exit, the CPU time (user + system) the
kernel accounts to the process and its reaped children, and the bytes the
process wrote through write calls ("wchar" of /proc/PID/io, read while the
exited process still waits to be reaped; an in-kernel copy counts there
too). Prints one line per command: median wall ms, median CPU ms, median
bytes written, and for each command after the first the median of its
per-round ratios to the first (wall, CPU): the two runs of a round are
next to each other in time, so that ratio holds still while the machine's
speed drifts over minutes. With --json, one JSON list instead.
"""

import json
import os
import statistics
import sys
import time


def _written(pid):
    """wchar of an exited, not yet reaped process; -1 when unreadable."""
    try:
        with open("/proc/%d/io" % pid) as f:
            for line in f:
                if line.startswith("wchar:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def run_once(argv):
    """(wall ms, CPU ms, bytes written) of one run of argv."""
    devnull = os.open(os.devnull, os.O_RDWR)
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 0),
                                           (os.POSIX_SPAWN_DUP2, devnull, 1),
                                           (os.POSIX_SPAWN_DUP2, devnull, 2)])
    finally:
        os.close(devnull)
    # Exited but left unreaped, so that its /proc entry can still be read.
    os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
    wall = (time.perf_counter() - start) * 1000.0
    written = _written(pid)
    _, _, usage = os.wait4(pid, 0)
    cpu = (usage.ru_utime + usage.ru_stime) * 1000.0
    return wall, cpu, written


def measure(commands, runs, warmup):
    """{index: [(wall, cpu, written)]} over alternated runs."""
    for _ in range(warmup):
        for argv in commands:
            run_once(argv)
    results = {i: [] for i in range(len(commands))}
    for _ in range(runs):
        for i, argv in enumerate(commands):
            results[i].append(run_once(argv))
    return results


def medians(samples):
    return [statistics.median(s[k] for s in samples) for k in range(3)]


def paired_ratios(samples, base):
    """Medians of samples' wall and CPU over base's, round by round."""
    return [statistics.median(s[k] / b[k] for s, b in zip(samples, base)
                              if b[k] > 0) for k in range(2)]


def parse(argv):
    runs, warmup, as_json = 40, 3, False
    while argv and argv[0] != "--":
        option = argv.pop(0)
        if option == "--runs":
            runs = int(argv.pop(0))
        elif option == "--warmup":
            warmup = int(argv.pop(0))
        elif option == "--json":
            as_json = True
        else:
            raise SystemExit("startup_pair.py: unknown option %s" % option)
    commands = []
    while argv:
        argv.pop(0)  # the "--" before each command
        command = []
        while argv and argv[0] != "--":
            command.append(argv.pop(0))
        if not command:
            raise SystemExit("startup_pair.py: empty command")
        commands.append(command)
    if len(commands) < 1:
        raise SystemExit(__doc__)
    return runs, warmup, as_json, commands


def main(argv):
    runs, warmup, as_json, commands = parse(list(argv))
    results = measure(commands, runs, warmup)
    rows = [medians(results[i]) + (paired_ratios(results[i], results[0])
                                   if i else [1.0, 1.0])
            for i in range(len(commands))]
    if as_json:
        json.dump([{"wall_ms": w, "cpu_ms": c, "written": b,
                    "wall_ratio": rw, "cpu_ratio": rc}
                   for w, c, b, rw, rc in rows], sys.stdout)
        sys.stdout.write("\n")
    else:
        for (w, c, b, rw, rc), command in zip(rows, commands):
            print("%8.1f %8.1f %10d %6.2f %6.2f  %s" % (
                w, c, b, rw, rc, " ".join(command)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
