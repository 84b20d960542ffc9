#!/usr/bin/python3.11
"""Time and peak memory of skiffrelay runs against hostile servers.

    /usr/bin/python3.11 bench/hostile_rss.py [DIST_DIR] [--limit S] [--default]

Runs the shipped launcher (a private copy of DIST_DIR, default build/dist)
once per case against the scripted fault server of tests/servers on a
loopback address (port 21: needs root), with SKIFFRELAY_TIMEOUT=S (default
5; 0 leaves the variable unset, so every case runs under the program's
default limit), and prints one row per case: the printed line, the exit status, the
wall time and the launcher's peak resident set size (from GNU time, which
starts it: a child forked straight from this script would count the
script's own peak as well).  The first rows are a well-behaved server, for
comparison.  --default adds the silent server under the default limit
(about a minute more).  Prints figures only; it asserts nothing.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "servers"))
import fault_ftpd  # noqa: E402
import ftps_servers  # noqa: E402

DIST_FILES = ("skiffrelay", "bin.qar", "modules.qar")
GNU_TIME = "/usr/bin/time"
TARGET_MB = 64.0
# Cases: fault, command, server attributes (and SKIFFRELAY_ variables of
# the run).  The upload is large enough to outlast the socket buffers when
# the server stops reading.  The last listings are the largest the client
# accepts, of names that decode to the widest text: the run that prints
# the longest line, once more with a transcript, which notes that line.
LISTING_NAMES = (4 << 20) // 18   # 17 bytes a name, "|" between
CASES = [
    ("none", "send", {}), ("none", "test", {}), ("none", "tchk", {}),
    ("no-accept", "test", {}), ("silent", "tchk", {}),
    ("auth-stall", "test", {}), ("handshake-stall", "test", {}),
    ("data-tls-stall", "send", {}), ("transfer-stall", "send", {}),
    ("transfer-stall", "tchk", {}), ("data-held", "send", {}),
    ("reply-bomb-greeting", "test", {}), ("reply-bomb-user", "send", {}),
    ("reply-trickle", "test", {}),
    ("listing-bomb", "tchk", {}),
    ("listing-bomb", "tchk", {"listing_bytes": LISTING_NAMES * 19}),
    ("listing-bomb", "tchk", {"listing_bytes": LISTING_NAMES * 19,
                              "SKIFFRELAY_TRACE": "trace.log"}),
]
UPLOAD_BYTES = 64 << 20


def run_once(launcher, args, env, cwd, deadline):
    """Run to the end (killed at deadline); (status, stdout, seconds, KiB)."""
    with tempfile.TemporaryFile() as out, \
            tempfile.NamedTemporaryFile("r") as rss:
        started = time.monotonic()
        proc = subprocess.Popen(
            [GNU_TIME, "-q", "-f", "%M", "-o", rss.name, launcher] + args,
            env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
            stderr=subprocess.DEVNULL)
        try:
            proc.wait(timeout=deadline)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        took = time.monotonic() - started
        out.seek(0)
        line = out.read()
        kib = rss.read().strip()
    return proc.returncode, line, took, int(kib) if kib.isdigit() else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("dist", nargs="?",
                        default=os.path.join(SOURCE_DIR, "build", "dist"))
    parser.add_argument("--limit", type=float, default=5.0)
    parser.add_argument("--default", action="store_true")
    opts = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("hostile_rss: needs root (servers on port 21)")
    if not os.access(GNU_TIME, os.X_OK):
        sys.exit("hostile_rss: %s missing (tools/install-deps.sh)" % GNU_TIME)
    for name in DIST_FILES:
        if not os.path.isfile(os.path.join(opts.dist, name)):
            sys.exit("hostile_rss: %s missing in %s (build first)" %
                     (name, opts.dist))

    scratch = tempfile.mkdtemp(prefix="skiff-hostile-")
    try:
        os.chmod(scratch, 0o755)
        app = os.path.join(scratch, "app")
        tmp = os.path.join(scratch, "tmp")
        os.mkdir(app)
        os.mkdir(tmp)
        for name in DIST_FILES:
            shutil.copy2(os.path.join(opts.dist, name), app)
        upload = os.path.join(scratch, "big.xml")
        with open(upload, "wb") as f:
            f.write(os.urandom(UPLOAD_BYTES))
        certfile, keyfile, _ = ftps_servers.make_certificate(scratch,
                                                             "hostile.test")
        env = dict(os.environ, TMPDIR=tmp)
        env.pop("SKIFFRELAY_TIMEOUT", None)
        limit = opts.limit if opts.limit > 0 else None
        cases = [(f, c, a, limit) for f, c, a in CASES]
        if opts.default:
            cases.append(("silent", "test", {}, None))

        print("skiffrelay against hostile servers: %s" % opts.dist)
        print("%-20s %-5s %-8s %-28s %6s %8s %9s" % (
            "server", "cmd", "limit", "line", "status", "seconds",
            "peak MB"))
        worst = 0.0
        for fault, cmd, attrs, limit in cases:
            root = tempfile.mkdtemp(prefix="root-", dir=scratch)
            address = ftps_servers.free_loopback_address(170, 40)
            server = fault_ftpd.FaultServer(address, fault, root, certfile,
                                            keyfile)
            variables = dict((name, value) for name, value in attrs.items()
                             if name.startswith("SKIFFRELAY_"))
            for name, value in attrs.items():
                if name not in variables:
                    setattr(server, name, value)
            try:
                run_env = dict(env, **variables)
                if limit is not None:
                    run_env["SKIFFRELAY_TIMEOUT"] = "%g" % limit
                last = {"send": upload, "test": "yes", "tchk": "x"}[cmd]
                status, line, took, kib = run_once(
                    os.path.join(app, "skiffrelay"),
                    [cmd, address, "user", "pw", last], run_env, scratch,
                    (limit or 60.0) * 3 + 60)
            finally:
                server.stop()
            text = line.decode("utf-8", "replace").rstrip("\n")
            if len(text) > 28:
                text = "%s... (%d bytes)" % (text[:8], len(line))
            mb = kib / 1024.0
            worst = max(worst, mb)
            print("%-20s %-5s %-8s %-28s %6d %8.1f %9.1f" % (
                fault + (" +trace" if variables else ""), cmd,
                "%g s" % limit if limit else "default", text, status, took,
                mb))
        print("largest peak RSS: %.1f MB (target: under %.0f MB)" %
              (worst, TARGET_MB))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
