"""Upload throughput of `skiffrelay send` next to curl, against vsftpd.

Usage: app_upload_bench.py [SIZE_MB [ROUNDS]]     (defaults 256 and 3)

Starts a vsftpd FTPS server on loopback (needs root), uploads one random
file of SIZE_MB megabytes ROUNDS times with each client and prints, per
round, the whole run's wall time and the transfer rate vsftpd itself logged
for the upload.  The whole run of skiffrelay includes its fixed 0.6 s pause
before the rename and the interpreter start.  SKIFF_APP_CMD selects the
frozen launcher as in tests/app; by default the script runs unfrozen.
Prints figures only; it asserts nothing.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "servers"))
import ftps_servers  # noqa: E402


def app_command():
    cmd = os.environ.get("SKIFF_APP_CMD", "")
    if not cmd:
        return ["/usr/bin/python3.11",
                os.path.join(SOURCE_DIR, "embedded", "app", "skiffrelay.py")]
    if not os.path.isabs(cmd):
        cmd = os.path.join(SOURCE_DIR, cmd)
    return [cmd]


def last_upload_rate(server):
    """MB/s of the newest upload in vsftpd's log (its own measurement)."""
    rates = re.findall(r"OK UPLOAD: .*, (\d+) bytes, ([\d.]+)Kbyte/sec",
                       server.protocol_log())
    return float(rates[-1][1]) * 1024 / 1e6 if rates else 0.0


def timed(argv, cwd):
    start = time.perf_counter()
    done = subprocess.run(argv, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=600)
    return time.perf_counter() - start, done.stdout.decode().strip()


def main(argv):
    size_mb = int(argv[1]) if len(argv) > 1 else 256
    rounds = int(argv[2]) if len(argv) > 2 else 3
    try:
        server = ftps_servers.start_server("vsftpd")
    except ftps_servers.ServerUnavailable as e:
        print("skipped: %s" % e)
        return 0
    work = tempfile.mkdtemp(prefix="skiff-bench-")
    try:
        path = os.path.join(work, "upload.bin")
        with open(path, "wb") as f:
            for _ in range(size_mb):
                f.write(os.urandom(1000 * 1000))
        print("file: %d MB, server: vsftpd on %s" % (size_mb, server.address))
        print("%-10s %5s %10s %14s" % ("client", "round", "wall s",
                                       "server MB/s"))
        url = "ftp://%s:%s@%s/curl.bin" % (server.user, server.password,
                                           server.address)
        for r in range(1, rounds + 1):
            wall, out = timed(app_command() + [
                "send", server.address, server.user, server.password,
                path], work)
            print("%-10s %5d %10.2f %14.1f  %s" % (
                "skiffrelay", r, wall, last_upload_rate(server), out))
            wall, out = timed(["curl", "-sS", "--ssl-reqd", "-k", "-T", path,
                               url], work)
            print("%-10s %5d %10.2f %14.1f  %s" % (
                "curl", r, wall, last_upload_rate(server), out or "ok"))
            for name in os.listdir(server.root):
                os.unlink(os.path.join(server.root, name))
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
