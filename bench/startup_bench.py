#!/usr/bin/python3.11
"""Start-up time of a frozen program against the system's interpreter.

Times `probe imports` (launcher: work directory, extraction of bin.qar and
modules.qar, runtime start, framework modules, then
`import os, json, pickle, ssl, zlib`) against
`/usr/bin/python3.11 -c "import os, json, pickle, ssl, zlib"`, with
hyperfine when it is installed (else a plain loop), and prints the median
of each and their ratio.

Usage: startup_bench.py PROBE [--runs N]
  e.g. bench/startup_bench.py build/probe/probe --runs 10
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

IMPORTS = "import os, json, pickle, ssl, zlib"
PYTHON = "/usr/bin/python3.11"


def hyperfine_medians(commands, runs, scratch):
    export = os.path.join(scratch, "hyperfine.json")
    subprocess.run(["hyperfine", "--runs", str(runs), "--warmup", "2",
                    "-N", "--export-json", export] + commands,
                   check=True, timeout=600)
    with open(export) as f:
        results = json.load(f)["results"]
    return [r["median"] for r in results]


def loop_medians(commands, runs):
    medians = []
    for command in commands:
        argv = command.split(" ", 2) if command.startswith(PYTHON) else command.split()
        if command.startswith(PYTHON):
            argv = [PYTHON, "-c", IMPORTS]
        times = []
        for _ in range(runs + 2):
            start = time.perf_counter()
            subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, timeout=60)
            times.append(time.perf_counter() - start)
        medians.append(statistics.median(times[2:]))
    return medians


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("probe")
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args(argv)
    runs = max(3, min(args.runs, 500))
    probe = os.path.abspath(args.probe)
    commands = [probe + " imports", '%s -c "%s"' % (PYTHON, IMPORTS)]
    with tempfile.TemporaryDirectory(prefix="startup_bench.") as scratch:
        # The work directories of the runs go here, not into /tmp.
        os.environ["TMPDIR"] = scratch
        if shutil.which("hyperfine"):
            medians = hyperfine_medians(commands, runs, scratch)
        else:
            medians = loop_medians(commands, runs)
    print("%-55s %10s" % ("command", "median ms"))
    for command, median in zip(commands, medians):
        print("%-55s %10.1f" % (command, median * 1000))
    print("ratio probe / python3.11: %.2f" % (medians[0] / medians[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
