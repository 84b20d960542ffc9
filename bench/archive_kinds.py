#!/usr/bin/python3.11
"""Stored (kind 1) against zlib (kind 2) for the archives of a frozen program.

Every member of bin.qar and modules.qar is decoded and written into the work
directory on every run, so the kind of each archive is start-up time. For
each archive in DIST_DIR this rebuilds it in both kinds from its own members
and times `qar extract` (the launcher's extraction code) into a fresh
directory, median of --runs runs, and prints sizes and times side by side.
The process start of qar is in every figure alike.

Usage: archive_kinds.py QAR DIST_DIR [--runs N]
  e.g. bench/archive_kinds.py build/bin/qar build/dist
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def run(args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, timeout=120)


def time_extract(qar, archive, scratch, runs):
    times = []
    for i in range(runs):
        target = os.path.join(scratch, "x%d" % i)
        os.mkdir(target)
        start = time.perf_counter()
        run([qar, "extract", archive, target])
        times.append(time.perf_counter() - start)
        shutil.rmtree(target)
    return statistics.median(times)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("qar")
    parser.add_argument("dist")
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args(argv)
    runs = max(1, min(args.runs, 200))
    print("%-12s %-7s %8s %12s %12s" % ("archive", "kind", "members",
                                        "file bytes", "extract ms"))
    with tempfile.TemporaryDirectory(prefix="archive_kinds.") as scratch:
        for name in ("bin.qar", "modules.qar"):
            source = os.path.join(args.dist, name)
            if not os.path.exists(source):
                print("%-12s missing in %s" % (name, args.dist))
                continue
            members_dir = os.path.join(scratch, "members")
            os.mkdir(members_dir)
            run([args.qar, "extract", source, members_dir])
            files = sorted(os.listdir(members_dir))
            paths = [os.path.join(members_dir, f) for f in files]
            for kind, flag in (("stored", ["--stored"]), ("zlib", [])):
                archive = os.path.join(scratch, kind + "." + name)
                run([args.qar, "create"] + flag + [archive] + paths)
                ms = time_extract(args.qar, archive, scratch, runs) * 1000
                print("%-12s %-7s %8d %12d %12.2f" %
                      (name, kind, len(files), os.path.getsize(archive), ms))
            shutil.rmtree(members_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
