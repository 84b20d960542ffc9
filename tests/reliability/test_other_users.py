"""Another local user against a run's work directory.

A user who can rename entries where a run keeps its work directory could
exchange that directory for one of their own (and have their runtime
library loaded) or for a link (and have the run delete files elsewhere).
Such temporary directories are passed over; and whatever a path names by
the time a run or a sweep removes files, the removal goes only to the
directory it opened.  Root only: other users, mounts, chown.
"""

import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

from rel_helpers import (LAUNCHER, NOBODY, ReliabilityCase, require_root,
                         wait_until, work_dir_of)

# Exchanges two names (renameat2 with RENAME_EXCHANGE) again and again
# until the deadline: argv[1], argv[2], seconds.
FLIPPER = """
import ctypes, sys, time
libc = ctypes.CDLL(None, use_errno=True)
a, b = sys.argv[1].encode(), sys.argv[2].encode()
end = time.monotonic() + float(sys.argv[3])
while time.monotonic() < end:
    for _ in range(200):
        libc.renameat2(-100, a, -100, b, 2)
"""


class OtherUserTest(ReliabilityCase):
    def setUp(self):
        require_root(self)
        ReliabilityCase.setUp(self)
        self.precious = os.path.join(self.base, "precious")
        os.mkdir(self.precious, 0o700)
        for name in ("a.txt", "b.txt", "c.txt", "d.txt", "e.txt"):
            with open(os.path.join(self.precious, name), "w") as f:
                f.write(name)

    def assertPreciousIntact(self):
        self.assertEqual(sorted(os.listdir(self.precious)),
                         ["a.txt", "b.txt", "c.txt", "d.txt", "e.txt"])

    def test_unsafe_temporary_directories_are_passed_over(self):
        # Each candidate open to another user: TMPDIR below a directory of
        # theirs, /tmp writable by all and /var/tmp by a group without the
        # sticky bit (tmpfs mounts in a private mount namespace), and the
        # executable's folder owned by them.  Nothing is made in any, and
        # the line names each with its reason.
        if not shutil.which("unshare"):
            self.skipTest("unshare (util-linux) not installed")
        if subprocess.run(["unshare", "-m", "true"], timeout=30).returncode:
            self.skipTest("unshare -m not permitted here")
        theirs = os.path.join(self.base, "theirs")
        os.mkdir(theirs, 0o755)
        os.chown(theirs, NOBODY, NOBODY)
        os.mkdir(os.path.join(theirs, "tmp"), 0o755)
        for name in os.listdir(self.app) + [""]:
            os.chown(os.path.join(self.app, name), NOBODY, NOBODY)
        # /mnt stands for the test folder, which lies below the /tmp that
        # the mount covers.
        script = ("mount --bind %s /mnt && "
                  "mount -t tmpfs -o mode=0777 skiff-rel /tmp && "
                  "mount -t tmpfs -o mode=0770 skiff-rel /var/tmp && "
                  "exec /mnt/app/%s" % (self.base, LAUNCHER))
        env = self.env("/mnt/theirs/tmp")
        done = subprocess.run(["unshare", "-m", "sh", "-c", script], env=env,
                              cwd=self.cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=60)
        renames = "other users can rename entries in "
        self.assertEqual((done.returncode, done.stdout, done.stderr), (
            1, b"", b"# Error: no temporary directory can hold a run ("
            b"/mnt/theirs/tmp: " + renames.encode() +
            b"/mnt/theirs (owned by uid 65534); "
            b"/tmp: " + renames.encode() +
            b"it (others may write, no sticky bit); "
            b"/var/tmp: " + renames.encode() +
            b"it (its group may write, no sticky bit); "
            b"/mnt/app: " + renames.encode() +
            b"it (owned by uid 65534)); set TMPDIR to one that does\r\n"))
        self.assertEqual(os.listdir(os.path.join(theirs, "tmp")), [])
        self.assertEqual(sorted(os.listdir(self.app)),
                         ["bin.qar", "modules.qar", LAUNCHER])

    def test_run_removes_only_the_directory_it_made(self):
        # While a run waits for a server's greeting, its work directory is
        # moved away and a link to another directory put in its place
        # (here by root: no other user can do it any more).  At its end
        # the run empties the directory it made, wherever that is now,
        # and leaves the link and what it points to alone.
        listener = socket.socket()
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(RUN_WAIT)
        env = self.env()
        env["SKIFFRELAY_TIMEOUT"] = "20"
        proc = self.start(["test", "127.0.0.1:%d" % listener.getsockname()[1],
                           "user", "secret", "yes"], env=env)
        conn, _ = listener.accept()  # the main script runs: all extracted
        self.addCleanup(conn.close)
        work_dir = os.path.join(self.tmp, work_dir_of(proc.pid))
        moved = os.path.join(self.tmp, "moved")
        os.rename(work_dir, moved)
        os.symlink(self.precious, work_dir)
        self.assertGreater(len(os.listdir(moved)), 10)  # the extracted files
        conn.close()  # no greeting: the command fails at once
        done = self.finish(proc)
        self.assertEqual((done.returncode, done.stdout, done.stderr),
                         (1, b"Error opening target\n", b""))
        self.assertPreciousIntact()
        self.assertEqual(os.readlink(work_dir), self.precious)
        self.assertEqual(os.listdir(moved), [])

    def test_sweep_never_follows_an_exchanged_directory(self):
        # In a directory anyone may rename entries in, another user keeps
        # exchanging a stale work directory with a link to a directory of
        # ours while sweeps run: no sweep deletes anything through the
        # link.
        shared = os.path.join(self.base, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o777)  # no sticky bit
        stale = os.path.join(shared, work_dir_of(999999))
        os.mkdir(stale, 0o700)
        # A lock file that is a directory: stale at any age, and it keeps
        # the directory in place once its files are gone, so that every
        # sweep takes it on again.
        os.mkdir(os.path.join(stale, "__TAV_LOCK__"))
        for name in ("skiffrelay.so", "mod.so"):
            with open(os.path.join(stale, name), "w") as f:
                f.write(name)
        decoy = os.path.join(shared, "decoy")
        os.symlink(self.precious, decoy)
        flipper = subprocess.Popen(
            [sys.executable, "-c", FLIPPER, stale, decoy, "20"],
            user=NOBODY, group=NOBODY, extra_groups=[])
        self.addCleanup(flipper.wait, 30)
        self.addCleanup(flipper.kill)
        sweep = [self.launcher(), "--remove_temp_files",
                 os.path.join(shared, work_dir_of(1))]
        deadline = time.monotonic() + 15
        sweeps = 0
        while (sweeps < 200 and time.monotonic() < deadline and
               len(os.listdir(self.precious)) == 5):
            subprocess.run(sweep, timeout=30, stdin=subprocess.DEVNULL)
            sweeps += 1
        self.assertPreciousIntact()


RUN_WAIT = 60.0

if __name__ == "__main__":
    unittest.main()
